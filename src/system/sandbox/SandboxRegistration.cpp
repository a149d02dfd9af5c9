// SandboxHost, registration of servers and type libraries.
//
// The machine runs no Windows code, so what a server does when it registers
// itself is described to the machine instead:
//
//   [Servers]        server file name or full Windows path = description
//   [TypeLibraries]  file name or full Windows path = description
//
// A description is the Windows path of a REGEDIT4 file on the machine (what
// registering writes into the registry), "fail" (the server's
// DllRegisterServer fails with E_FAIL; a type library's RegisterTypeLib
// fails with TYPE_E_REGISTRYACCESS) or "none" (the server exports no
// DllRegisterServer). A REGEDIT4 file "<server>.reg" beside a server (for
// "C:\App\x.dll" the file "C:\App\x.dll.reg") describes it when machine.ini
// does not. Registering applies the description with the machine's own
// rights (no administrator: no HKLM); unregistering deletes the values it
// names and then each key it names that is left empty, innermost first.
//
// A server module loads when it is a complete PE image; a program (no DLL
// mark) or a DLL without a description loads but exports nothing. A local server (a program) asked
// with "/REGSERVER" or "/UNREGSERVER" through WinExec applies its
// description before WinExec returns; other command lines start a program
// of the machine as CreateProcess does.
#include <algorithm>
#include <string>
#include <vector>

#include "system/PeImage.h"
#include "system/RunLog.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxHost.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

constexpr uint32_t kErrorModNotFound = 126;
constexpr int32_t kEAccessDenied = int32_t(0x80070005u);

const struct {
  const char* name;
  RegKey root;
} kRoots[] = {
    {"HKEY_LOCAL_MACHINE", kHKeyLocalMachine},
    {"HKEY_CURRENT_USER", kHKeyCurrentUser},
    {"HKEY_CLASSES_ROOT", kHKeyClassesRoot},
    {"HKEY_USERS", kHKeyUsers},
};

// The keys a REGEDIT4 text names in its [section] lines, as (root, sub key);
// deletions ("[-key]") and keys of unknown roots are left out.
std::vector<std::pair<RegKey, std::string>> NamedKeys(const std::string& text) {
  std::vector<std::pair<RegKey, std::string>> keys;
  for (std::string line : SplitString(text, '\n')) {
    line = Trim(line);
    if (line.size() < 3 || line.front() != '[' || line.back() != ']' || line[1] == '-') continue;
    std::string path = line.substr(1, line.size() - 2);
    size_t slash = path.find('\\');
    std::string rootName = path.substr(0, slash);
    for (const auto& r : kRoots)
      if (SameText(rootName, r.name)) keys.push_back({r.root, slash == std::string::npos ? "" : path.substr(slash + 1)});
  }
  return keys;
}

// Every key of a parsed tree below `node` with its values, as full sub
// key paths.
void CollectKeys(const RegNode& node, const std::string& path,
                 std::vector<std::pair<std::string, const RegNode*>>& out) {
  for (const auto& child : node.keys) {
    std::string sub = path.empty() ? child->name : path + "\\" + child->name;
    out.push_back({sub, child.get()});
    CollectKeys(*child, sub, out);
  }
}

}  // namespace

std::string SandboxHost::RegistrationDescription(const std::string& section, const std::string& windowsPath) {
  std::string description = Fact(section, windowsPath);
  if (description.empty()) description = Fact(section, ExtractFileName(windowsPath));
  std::string text;
  if (description.empty()) {
    // A description beside the server.
    if (section != "Servers") return "";
    std::string native = NativePath(windowsPath + ".reg");
    if (native.empty() || !NativeReadFile(native, text)) return "";
    return text;
  }
  description = Trim(description);
  if (SameText(description, "fail") || SameText(description, "none")) return LowerCase(description);
  std::string native = NativePath(description);
  // A description that cannot be read is a server that cannot register.
  if (native.empty() || !NativeReadFile(native, text)) return "fail";
  return text;
}

bool SandboxHost::ApplyRegistration(const std::string& description, bool add) {
  bool ok = true;
  for (const auto& r : kRoots) {
    RegNode top;
    ParseRegedit4(description, r.name, top);
    std::vector<std::pair<std::string, const RegNode*>> keys;
    CollectKeys(top, "", keys);
    for (const auto& [sub, node] : keys) {
      if (node->values.empty() && add) {
        RegKey key = 0;
        if (CreateRegKey(r.root, sub, key) != kErrorSuccess) ok = false;
        else CloseRegKey(key);
        continue;
      }
      if (node->values.empty()) continue;
      RegKey key = 0;
      uint32_t opened = add ? CreateRegKey(r.root, sub, key) : OpenRegKey(r.root, sub, true, key);
      if (opened != kErrorSuccess) {
        // Nothing to remove where the key is gone already.
        if (add || opened != kErrorFileNotFound) ok = false;
        continue;
      }
      for (const RegValueEntry& v : node->values) {
        uint32_t result = add ? SetRegValue(key, v.name, v.type, v.data) : DeleteRegValue(key, v.name);
        if (result != kErrorSuccess && (add || result != kErrorFileNotFound)) ok = false;
      }
      CloseRegKey(key);
    }
  }
  if (add) return ok;
  // The keys the description names go when nothing is left in them,
  // innermost first.
  std::vector<std::pair<RegKey, std::string>> named = NamedKeys(description);
  std::stable_sort(named.begin(), named.end(),
                   [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
  for (const auto& [root, sub] : named) {
    if (sub.empty()) continue;
    RegKey key = 0;
    if (OpenRegKey(root, sub, false, key) != kErrorSuccess) continue;
    std::string name;
    bool empty = EnumRegKey(key, 0, name) == kErrorNoMoreItems && EnumRegValue(key, 0, name) == kErrorNoMoreItems;
    CloseRegKey(key);
    if (empty && DeleteRegKey(root, sub) != kErrorSuccess) ok = false;
  }
  return ok;
}

ServerEntryCall SandboxHost::CallServerEntry(const std::string& path, const std::string& probe,
                                             const std::string& entry, int32_t& hresult) {
  std::string windowsPath = FullPath(path);
  std::string native = NativePath(windowsPath);
  std::string image;
  if (native.empty() || NativeIsDir(native) || !NativeReadFile(native, image)) {
    Fail(kErrorModNotFound);
    return ServerEntryCall::NotLoaded;
  }
  ByteReader read = [&image](uint64_t offset, size_t size, std::string& out) {
    out.clear();
    if (offset > image.size()) return false;
    out = image.substr(size_t(offset), size);
    return true;
  };
  PeImage pe;
  if (!ReadPeImage(read, pe) || !pe.SectionsWithin(image.size())) {
    Fail(kErrorBadExeFormat);
    return ServerEntryCall::NotLoaded;
  }
  // A program (an image without the DLL mark) exports nothing.
  if (!(pe.characteristics & kPeFileDll)) return ServerEntryCall::NoExport;
  std::string description = RegistrationDescription("Servers", windowsPath);
  if (description.empty() || description == "none" || !SameText(probe, "DllRegisterServer"))
    return ServerEntryCall::NoExport;
  bool add = SameText(entry, "DllRegisterServer");
  if (!add && !SameText(entry, "DllUnregisterServer")) return ServerEntryCall::EntryMissing;
  if (description == "fail") {
    hresult = kEFail;
  } else {
    hresult = ApplyRegistration(description, add) ? kSOk : kEAccessDenied;
  }
  RunLog("registration", Format("%s %s: 0x%08X", entry.c_str(), LogQuote(windowsPath).c_str(), uint32_t(hresult)));
  return ServerEntryCall::Called;
}

uint32_t SandboxHost::WinExecCommand(const std::string& commandLine, int showCmd) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  if (args.size() == 2 && (SameText(args[1], "/REGSERVER") || SameText(args[1], "/UNREGSERVER"))) {
    std::string windowsPath = FullPath(args[0]);
    std::string native = NativePath(windowsPath);
    std::string description = native.empty() || !NativeExists(native) ? "" : RegistrationDescription("Servers", windowsPath);
    if (!description.empty() && description != "none") {
      // The server registers itself; WinExec only tells that it started.
      if (description != "fail") ApplyRegistration(description, SameText(args[1], "/REGSERVER"));
      RunLog("registration", "started " + LogQuote(commandLine));
      return 33;
    }
  }
  HandleValue process = StartProcess(commandLine, "", showCmd, 0);
  if (!process) {
    uint32_t error = LastError();
    return error == kErrorFileNotFound || error == kErrorPathNotFound ? error : 11;  // ERROR_BAD_FORMAT
  }
  CloseHandle(process);
  return 33;
}

HandleValue SandboxHost::LoadTypeLibrary(const std::string& path, int32_t& hresult) {
  std::string windowsPath = FullPath(path);
  std::string native = NativePath(windowsPath);
  std::string description;
  if (!native.empty() && NativeExists(native) && !NativeIsDir(native))
    description = RegistrationDescription("TypeLibraries", windowsPath);
  if (description.empty() || description == "none") {
    hresult = kTypeECantLoadLibrary;
    return 0;
  }
  hresult = kSOk;
  HandleValue handle;
  {
    std::lock_guard<std::mutex> lock(mutexLock_);
    handle = nextHandle_++;
  }
  std::lock_guard<std::mutex> lock(typeLibLock_);
  typeLibs_[handle] = {windowsPath, description};
  return handle;
}

std::string SandboxHost::TypeLibraryHelpFile(HandleValue library) { return ""; }

int32_t SandboxHost::RegisterTypeLibrary(HandleValue library, const std::string& path, const std::string& helpFolder) {
  std::string description;
  {
    std::lock_guard<std::mutex> lock(typeLibLock_);
    auto it = typeLibs_.find(library);
    if (it == typeLibs_.end()) return int32_t(0x80070057u);  // E_INVALIDARG
    description = it->second.second;
  }
  int32_t hr = description != "fail" && ApplyRegistration(description, true) ? kSOk : kTypeERegistryAccess;
  RunLog("registration", Format("RegisterTypeLib %s: 0x%08X", LogQuote(path).c_str(), uint32_t(hr)));
  return hr;
}

int32_t SandboxHost::UnregisterTypeLibrary(HandleValue library) {
  std::string description, path;
  {
    std::lock_guard<std::mutex> lock(typeLibLock_);
    auto it = typeLibs_.find(library);
    if (it == typeLibs_.end()) return int32_t(0x80070057u);
    path = it->second.first;
    description = it->second.second;
  }
  int32_t hr = description != "fail" && ApplyRegistration(description, false) ? kSOk : kTypeERegistryAccess;
  RunLog("registration", Format("UnRegisterTypeLib %s: 0x%08X", LogQuote(path).c_str(), uint32_t(hr)));
  return hr;
}

void SandboxHost::ReleaseTypeLibrary(HandleValue library) {
  std::lock_guard<std::mutex> lock(typeLibLock_);
  typeLibs_.erase(library);
}

}  // namespace vx
