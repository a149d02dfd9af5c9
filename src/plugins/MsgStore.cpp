#include "plugins/MsgStore.h"

#include "system/kqStrUtils.h"

namespace vx {

namespace {
const char* const kEvents[] = {
    "EV_SETSTARTUPINFO",     "EV_LOAD",          "EV_UNLOAD",          "EV_START",
    "EV_FINISH",             "EV_SHOWDIALOGS",   "EV_LANGUAGECHANGED", "EV_BEFOREINSTALL",
    "EV_AFTERINSTALL",       "EV_BEFOREPROCESSITEMS", "EV_AFTERPROCESSITEMS", "EV_BEFOREPROCESSITEM",
    "EV_AFTERPROCESSITEM",   "EV_PROCESSITEM",   "EV_FILEINSTALLPROGRESS", "EV_FEATURESTATECHANGED",
    "EV_INSTALLTYPECHANGED", "EV_VERSIONCONFLICT", "EV_GETPACKAGE",     "EV_CHECKLAUNCHCONDITIONS",
    "EV_CALCFUNCTION",       "EV_QUERYREBOOT",   "EV_ABORTINSTALL"};
const char* const kCommands[] = {
    "CM_ABORTINSTALL",   "CM_SUSPENDINSTALL",  "CM_RESUMEINSTALL",   "CM_PARSETEXT",
    "CM_GETLANGUAGE",    "CM_SETLANGUAGE",     "CM_GETVARIABLE",     "CM_SETVARIABLE",
    "CM_GETFEATURE",     "CM_GETFEATURESTATE", "CM_SETFEATURESTATE", "CM_GETINSTALLTYPE",
    "CM_SETINSTALLTYPE", "CM_SETPASSWORD",     "CM_GETPCPARAM",      "CM_GETPCGROUPNAMES",
    "CM_GETPCPARAMNAMES", "CM_GETPCCUSTOMCONFIG", "CM_CALCEXPRESSION", "CM_CALCBOOLEXPRESSION",
    "CM_REGISTERFUNCTION", "CM_ALLOCMEM",      "CM_FREEMEM",         "CM_ADDLOGRECORD",
    "CM_GETINSTALLICON", "CM_ISPASSWORDVALID", "CM_CALCACTIONS"};
}  // namespace

TMsgStore::TMsgStore() {
  int32_t n = 1;
  for (const char* name : kEvents) AddMessage(n++, name);
  n = 256;
  for (const char* name : kCommands) AddMessage(n++, name);
}

std::string TMsgStore::NameOf(int32_t number) const {
  for (const auto& e : entries_)
    if (e.second == number) return e.first;
  return std::string();
}

int32_t TMsgStore::NumberOf(const std::string& name) const {
  for (const auto& e : entries_)
    if (SameText(e.first, name)) return e.second;
  return 0;
}

void TMsgStore::AddMessage(int32_t number, const std::string& name) { entries_.emplace_back(name, number); }

int32_t TMsgStore::Register(const std::string& name) {
  if (int32_t n = NumberOf(name)) return n;
  AddMessage(++lastNumber_, name);
  return lastNumber_;
}

}  // namespace vx
