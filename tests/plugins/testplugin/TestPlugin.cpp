// A scriptable plug-in for end-to-end tests. It records every event it
// receives and answers from a script, so that tests can drive wizard
// answers, declines, aborts and commands without a person.
//
// The script is the file beside the library with the extension ".script":
//   id=Quill.Wizard          the plug-in ID reported by GetPluginInfo
//   minversion=197888        lowest engine version needed (decimal or 0x..)
//   refuse=1                 set the refusal flag
//   nohandler=1              report no message handler
//   log=<file>               append one line per event received
//   answer EV_LOAD=1         answer every EV_LOAD with 1
//   answer EV_SHOWDIALOGS#2=3  answer only the second one with 3
//   result EV_CALCFUNCTION=text  answer the event with a copy of the text in
//                            a block of the engine allocator (CM_ALLOCMEM)
//   command EV_START=CM_SETVARIABLE Name Value
//                            on the event, send that command by name with
//                            the two parameters (numbers stay numbers, other
//                            words are passed as texts) and log its result;
//                            several commands are separated by a word ";"
// The environment variable VX_TEST_PLUGIN_SCRIPT, when set, names the
// script instead (a plug-in packed into a setup file cannot have one
// written beside it before the run).
// Log lines: "<id> <EVENT> <p1> <p2>", texts of events that carry one in
// quotes, "<id> -> <COMMAND> = <result>" for commands sent.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "vxplugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

struct Script {
  std::string id = "Test.Plugin";
  long minVersion = 0;
  bool refuse = false;
  bool noHandler = false;
  std::string log;
  std::map<std::string, long> answers;  // "EV_X" or "EV_X#n"
  std::map<std::string, std::vector<std::string>> commands;
  std::map<std::string, std::string> results;  // event -> text answered
};

Script g_script;
int32_t g_pluginId = 0;
VXSendCommandByNameProc g_sendByName = nullptr;
VXSendCommandProc g_send = nullptr;
std::map<std::string, int> g_seen;

std::string ModulePath() {
#ifdef _WIN32
  HMODULE self = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ModulePath), &self);
  char buf[MAX_PATH];
  DWORD n = ::GetModuleFileNameA(self, buf, MAX_PATH);
  return std::string(buf, n);
#else
  Dl_info info{};
  ::dladdr(reinterpret_cast<void*>(&ModulePath), &info);
  return info.dli_fname ? info.dli_fname : "";
#endif
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> w;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') ++i;
    size_t j = i;
    while (j < s.size() && s[j] != ' ') ++j;
    if (j > i) w.push_back(s.substr(i, j - i));
    i = j;
  }
  return w;
}

// Reads the script afresh: the library may stay loaded from an earlier run
// of the same process, with the state that run left.
void LoadScript() {
  g_script = Script();
  g_seen.clear();
  std::string path = ModulePath();
  size_t dot = path.rfind('.');
  if (dot != std::string::npos) path.resize(dot);
  path += ".script";
#ifdef _WIN32
  char named[MAX_PATH];
  DWORD n = ::GetEnvironmentVariableA("VX_TEST_PLUGIN_SCRIPT", named, MAX_PATH);
  if (n > 0 && n < MAX_PATH) path.assign(named, n);
#else
  if (const char* named = std::getenv("VX_TEST_PLUGIN_SCRIPT"); named && *named) path = named;
#endif
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return;
  char line[1024];
  while (std::fgets(line, sizeof line, f)) {
    std::string l = Trim(line);
    size_t eq = l.find('=');
    if (l.empty() || eq == std::string::npos) continue;
    std::string key = Trim(l.substr(0, eq)), value = Trim(l.substr(eq + 1));
    if (key == "id") g_script.id = value;
    else if (key == "minversion") g_script.minVersion = std::strtol(value.c_str(), nullptr, 0);
    else if (key == "refuse") g_script.refuse = value == "1";
    else if (key == "nohandler") g_script.noHandler = value == "1";
    else if (key == "log") g_script.log = value;
    else if (key.rfind("answer ", 0) == 0) g_script.answers[Trim(key.substr(7))] = std::strtol(value.c_str(), nullptr, 0);
    else if (key.rfind("command ", 0) == 0) g_script.commands[Trim(key.substr(8))] = Words(value);
    else if (key.rfind("result ", 0) == 0) g_script.results[Trim(key.substr(7))] = value;
  }
  std::fclose(f);
}

void Log(const std::string& text) {
  if (g_script.log.empty()) return;
  if (std::FILE* f = std::fopen(g_script.log.c_str(), "ab")) {
    std::fprintf(f, "%s %s\n", g_script.id.c_str(), text.c_str());
    std::fclose(f);
  }
}

bool CarriesText(int32_t id) {
  return id == EV_LANGUAGECHANGED || id == EV_FEATURESTATECHANGED || id == EV_INSTALLTYPECHANGED ||
         id == EV_VERSIONCONFLICT || id == EV_GETPACKAGE;
}

vx_param Param(const std::string& word) {
  char* end = nullptr;
  long n = std::strtol(word.c_str(), &end, 0);
  if (!word.empty() && *end == 0) return vx_param(n);
  return reinterpret_cast<vx_param>(word.c_str());
}

vx_param VXAPI Handler(int32_t msgId, const char* msgName, vx_param p1, vx_param p2) {
  std::string name = msgName ? msgName : "";
  char buf[128];
  std::snprintf(buf, sizeof buf, " %ld %ld", long(p1), long(p2));
  std::string line = name + (CarriesText(msgId) && p1 ? "" : buf);
  if (msgId == EV_SETSTARTUPINFO) {
    const VXStartupInfo* s = reinterpret_cast<const VXStartupInfo*>(p1);
    g_pluginId = s->pluginId;
    g_sendByName = s->sendCommandByName;
    g_send = s->sendCommand;
    std::snprintf(buf, sizeof buf, " version=0x%X engine=0x%X id=%d", unsigned(s->recordVersion),
                  unsigned(s->engineVersion), int(s->pluginId));
    line = name + buf + " config=\"" + s->configFile + "\"";
  } else if (msgId == EV_CALCFUNCTION && p1) {
    const VXCallBlock* c = reinterpret_cast<const VXCallBlock*>(p1);
    line = name + " " + std::to_string(c->functionId) + " " + c->name + "(";
    const char* arg = c->firstArgument;
    for (int32_t i = 0; i < c->argumentCount; ++i, arg += std::strlen(arg) + 1) line += (i ? "," : "") + std::string(arg);
    line += ")";
  } else if (CarriesText(msgId) && p1) {
    std::snprintf(buf, sizeof buf, " %ld", long(p2));
    line += " \"" + std::string(reinterpret_cast<const char*>(p1)) + "\"" + (msgId == EV_GETPACKAGE ? "" : buf);
  }
  Log(line);
  int n = ++g_seen[name];
  auto cmd = g_script.commands.find(name + "#" + std::to_string(n));
  if (cmd == g_script.commands.end()) cmd = g_script.commands.find(name);
  if (cmd != g_script.commands.end() && g_sendByName) {
    // Several commands on one event are separated by a word ";".
    std::vector<std::string> w;
    auto send = [&] {
      if (w.empty()) return;
      vx_param r = g_sendByName(g_pluginId, w[0].c_str(), w.size() > 1 ? Param(w[1]) : 0,
                                w.size() > 2 ? Param(w[2]) : 0, 0);
      Log("-> " + w[0] + " = " + std::to_string(long(r)));
      w.clear();
    };
    for (const std::string& word : cmd->second) {
      if (word == ";") send();
      else w.push_back(word);
    }
    send();
  }
  auto text = g_script.results.find(name);
  if (text != g_script.results.end() && g_send) {
    vx_param block = g_send(g_pluginId, CM_ALLOCMEM, vx_param(text->second.size() + 1), 0, 0);
    if (block) std::memcpy(reinterpret_cast<char*>(block), text->second.c_str(), text->second.size() + 1);
    return block;
  }
  auto a = g_script.answers.find(name + "#" + std::to_string(n));
  if (a == g_script.answers.end()) a = g_script.answers.find(name);
  return a == g_script.answers.end() ? 0 : vx_param(a->second);
}

}  // namespace

extern "C" VXEXPORT void VXAPI GetPluginInfo(VXPluginInfo* info) {
  LoadScript();
  info->minEngineVersion = int32_t(g_script.minVersion);
  std::snprintf(info->pluginId, sizeof info->pluginId, "%s", g_script.id.c_str());
  info->refuse = g_script.refuse ? 1 : 0;
  info->handler = g_script.noHandler ? nullptr : &Handler;
}
