#include "EngineLink.h"

#include <cstdlib>
#include <cstring>

namespace vxwiz {

template <class Call>
std::string EngineLink::Fetch(Call&& call, size_t limit) const {
  vx_param size = call(vx_param(0));
  if (size <= 0 || size_t(size) > limit + 1) return "";
  // One spare byte: a buffer of exactly the reported size, zero-terminated
  // whatever the engine writes.
  std::string buffer(size_t(size) + 1, '\0');
  if (call(reinterpret_cast<vx_param>(&buffer[0])) != 0) return "";
  buffer.resize(size_t(size) - 1);
  return buffer;
}

std::string EngineLink::Variable(const std::string& name) {
  return Fetch([&](vx_param b) { return Send(CM_GETVARIABLE, vx_param(name.c_str()), b); });
}

void EngineLink::SetVariable(const std::string& name, const std::string& value) {
  Send(CM_SETVARIABLE, vx_param(name.c_str()), vx_param(value.c_str()));
}

std::string EngineLink::ParseText(const std::string& text) {
  if (text.find('%') == std::string::npos && text.find('#') == std::string::npos) return text;
  return Fetch([&](vx_param b) { return Send(CM_PARSETEXT, vx_param(text.c_str()), b); });
}

bool EngineLink::CalcBool(const std::string& expression) {
  return Send(CM_CALCBOOLEXPRESSION, vx_param(expression.c_str()), 0) == 1;
}

std::string EngineLink::ConfigParam(const std::string& group, const std::string& name, const std::string& def) {
  const char* request[3] = {group.c_str(), name.c_str(), def.c_str()};
  vx_param size = Send(CM_GETPCPARAM, vx_param(request), 0);
  if (size <= 0) return def.empty() ? "" : def;
  return Fetch([&](vx_param b) { return Send(CM_GETPCPARAM, vx_param(request), b); });
}

std::vector<std::string> EngineLink::ConfigNames(const std::string& group) {
  std::string text = Fetch([&](vx_param b) { return Send(CM_GETPCPARAMNAMES, vx_param(group.c_str()), b); });
  std::vector<std::string> names;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) names.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return names;
}

namespace {
std::string At(const char* p) { return p ? p : ""; }
}  // namespace

std::vector<FeatureInfo> EngineLink::Features() {
  std::vector<FeatureInfo> out;
  std::string id;  // "" asks for the first
  std::vector<std::string> path;  // IDs of the ancestors of the current feature
  // A tree that loops (or is absurdly large) ends the walk instead of hanging.
  for (int guard = 0; guard < 100000; ++guard) {
    vx_param size = Send(CM_GETFEATURE, vx_param(id.c_str()), 0);
    if (size < vx_param(sizeof(VXFeatureRecord))) break;
    std::vector<char> buffer(size_t(size) + 1, 0);
    if (Send(CM_GETFEATURE, vx_param(id.c_str()), vx_param(buffer.data())) != 0) break;
    VXFeatureRecord record;
    std::memcpy(&record, buffer.data(), sizeof record);
    FeatureInfo f;
    f.id = At(record.id);
    f.name = At(record.name);
    f.description = At(record.description);
    f.parentId = At(record.parentId);
    f.required = record.required != 0;
    while (!path.empty() && path.back() != f.parentId) path.pop_back();
    f.depth = int(path.size());
    path.push_back(f.id);
    out.push_back(f);
    if (!record.nextId) break;
    id = record.nextId;
  }
  return out;
}

int EngineLink::FeatureState(const std::string& id) { return int(Send(CM_GETFEATURESTATE, vx_param(id.c_str()), 0)); }

bool EngineLink::SetFeatureState(const std::string& id, bool on) {
  return Send(CM_SETFEATURESTATE, vx_param(id.c_str()), on ? 1 : 0) == 0;
}

std::vector<InstallTypeInfo> EngineLink::InstallTypes() {
  std::vector<InstallTypeInfo> out;
  std::string id;
  for (int guard = 0; guard < 10000; ++guard) {
    vx_param size = Send(CM_GETINSTALLTYPE, vx_param(id.c_str()), 0);
    if (size < vx_param(sizeof(VXInstallTypeRecord))) break;
    std::vector<char> buffer(size_t(size) + 1, 0);
    if (Send(CM_GETINSTALLTYPE, vx_param(id.c_str()), vx_param(buffer.data())) != 0) break;
    VXInstallTypeRecord record;
    std::memcpy(&record, buffer.data(), sizeof record);
    out.push_back({At(record.id), At(record.name), At(record.description), record.custom != 0});
    if (!record.nextId) break;
    id = record.nextId;
  }
  return out;
}

bool EngineLink::SetInstallType(const std::string& id) {
  return Send(CM_SETINSTALLTYPE, vx_param(id.c_str()), 0) == 0;
}

std::string EngineLink::ActiveInstallType() {
  vx_param block = Send(CM_CALCEXPRESSION, vx_param("ActiveInstallType"), 0);
  if (!block) return "";
  std::string id = reinterpret_cast<const char*>(block);
  Send(CM_FREEMEM, block, 0);
  return id;
}

bool EngineLink::SetPassword(const std::string& password) {
  return Send(CM_SETPASSWORD, vx_param(password.c_str()), 0) == 0;
}

bool EngineLink::PasswordValid() { return Send(CM_ISPASSWORDVALID, 0, 0) == 0; }

void EngineLink::AbortInstall() { Send(CM_ABORTINSTALL, 0, 0); }

bool EngineLink::ReadFile(const std::string& path, std::string& bytes, size_t limit) {
  vx_param size = SendByName("CM_READFILE", vx_param(path.c_str()), 0);
  if (size <= 0 || size_t(size) - 1 > limit) return false;
  std::string buffer(size_t(size) + 1, '\0');
  if (SendByName("CM_READFILE", vx_param(path.c_str()), vx_param(&buffer[0])) != 0) return false;
  bytes.assign(buffer.data(), size_t(size) - 1);
  return true;
}

FolderInfo EngineLink::Folder(const std::string& path) {
  FolderInfo info;
  vx_param size = SendByName("CM_GETFOLDERINFO", vx_param(path.c_str()), 0);
  if (size <= 0 || size > 4096) return info;
  std::string text(size_t(size) + 1, '\0');
  if (SendByName("CM_GETFOLDERINFO", vx_param(path.c_str()), vx_param(&text[0])) != 0) return info;
  info.known = true;
  auto value = [&](const char* key) -> std::string {
    std::string k = std::string(key) + "=";
    size_t at = text.find(k);
    if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) return "";
    size_t end = text.find_first_of("\r\n", at);
    return text.substr(at + k.size(), end == std::string::npos ? std::string::npos : end - at - k.size());
  };
  info.drive = value("drive") == "1";
  info.exists = value("exists") == "1";
  info.creatable = value("creatable") == "1";
  info.blocked = value("blocked") == "1";
  info.freeBytes = std::strtoull(value("free").c_str(), nullptr, 10);
  return info;
}

bool EngineLink::Silent() {
  std::string mode = Variable("SilentMode");
  size_t first = mode.find_first_not_of(" \t\r\n");
  return first != std::string::npos && mode.substr(first, mode.find_last_not_of(" \t\r\n") - first + 1) != "0";
}

}  // namespace vxwiz
