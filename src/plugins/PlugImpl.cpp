#include "plugins/PlugImpl.h"

#include <cstdlib>
#include <cstring>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "database/kqIniFile.h"
#include "database/kqXMLParser.h"
#include "expr/Evaluator.h"
#include "expr/Functions.h"
#include "plugins/PluginCalls.h"
#include "plugins/VXPlugins.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"

namespace vx {

char* AllocPluginText(const std::string& text) {
  char* block = static_cast<char*>(EngineAllocMem(text.size() + 1));
  if (block) std::memcpy(block, text.c_str(), text.size() + 1);
  return block;
}

namespace {

const char* Text(vx_param p) { return p ? reinterpret_cast<const char*>(p) : ""; }

// Buffer protocol: nothing for an empty text, the size needed for a null
// buffer, else the text with its zero copied into the buffer.
vx_param PutText(const std::string& text, vx_param buffer) {
  if (text.empty()) return 0;
  if (!buffer) return vx_param(text.size() + 1);
  std::memcpy(reinterpret_cast<char*>(buffer), text.c_str(), text.size() + 1);
  return 0;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? "\r\n" : "") + lines[i];
  return out;
}

// Writes a record of address fields followed by texts. `fields` are the
// header's slots: for each, an index into `texts` (or -1 for a null
// address) or, when `number` is set, a 32-bit number.
struct RecordField {
  bool number = false;
  int32_t value = 0;  // the number, or the index of the text
};

vx_param PutRecord(const std::vector<RecordField>& fields, const std::vector<std::string>& texts,
                   vx_param buffer) {
  size_t header = 0;
  for (const RecordField& f : fields) header += f.number ? 4 : sizeof(void*);
  size_t size = header;
  for (const std::string& t : texts) size += t.size() + 1;
  if (!buffer) return vx_param(size);
  char* base = reinterpret_cast<char*>(buffer);
  std::memset(base, 0, size);
  std::vector<char*> where;
  char* p = base + header;
  for (const std::string& t : texts) {
    std::memcpy(p, t.c_str(), t.size() + 1);
    where.push_back(p);
    p += t.size() + 1;
  }
  char* h = base;
  for (const RecordField& f : fields) {
    if (f.number) {
      std::memcpy(h, &f.value, 4);
      h += 4;
    } else {
      char* address = f.value >= 0 ? where[size_t(f.value)] : nullptr;
      std::memcpy(h, &address, sizeof address);
      h += sizeof address;
    }
  }
  return 0;
}

RecordField Addr(int index) { return RecordField{false, index}; }
RecordField Num(int32_t value) { return RecordField{true, value}; }

vx_param LanguageRecord(PluginServices& services, const std::string& code, vx_param buffer) {
  auto list = services.LanguageNames();
  for (size_t i = 0; i < list.size(); ++i) {
    if (!code.empty() && !SameText(list[i].first, code)) continue;
    std::vector<std::string> texts = {list[i].first, list[i].second};
    bool hasNext = i + 1 < list.size();
    if (hasNext) texts.push_back(list[i + 1].first);
    // The size counts the next identifier's real length, so codes longer
    // than three letters cannot overrun the caller's buffer.
    return PutRecord({Addr(0), Addr(1), Addr(hasNext ? 2 : -1)}, texts, buffer);
  }
  return 0;
}

vx_param FeatureRecord(TvxMainDatabase& db, TXMLObject* varDb, const std::string& id, vx_param buffer) {
  if (!db.Features) return 0;
  TvxFeature *parent = nullptr, *next = nullptr;
  TvxFeature* f = db.Features->FindFeature(id, parent, next);
  if (!f) return 0;
  std::vector<std::string> texts = {f->ID, ExpandString(varDb, f->Name), ExpandString(varDb, f->Description)};
  int parentIndex = -1, nextIndex = -1;
  if (parent) {
    parentIndex = int(texts.size());
    texts.push_back(parent->ID);
  }
  if (next) {
    nextIndex = int(texts.size());
    texts.push_back(next->ID);
  }
  return PutRecord({Addr(0), Addr(1), Addr(2), Num(f->Required ? -1 : 0), Addr(parentIndex), Addr(nextIndex)},
                   texts, buffer);
}

vx_param InstallTypeRecord(TvxMainDatabase& db, TXMLObject* varDb, const std::string& id, vx_param buffer) {
  if (!db.InstallTypes) return 0;
  TvxInstallType* next = nullptr;
  TvxInstallType* t = db.InstallTypes->FindInstallType(id, next);
  if (!t) return 0;
  std::vector<std::string> texts = {t->ID, ExpandString(varDb, t->Name), ExpandString(varDb, t->Description)};
  int nextIndex = -1;
  if (next) {
    nextIndex = int(texts.size());
    texts.push_back(next->ID);
  }
  return PutRecord({Addr(0), Addr(1), Addr(2), Num(t->Custom ? -1 : 0), Addr(nextIndex)}, texts, buffer);
}

// --- Files and folders, asked by name -------------------------------------------

constexpr const char* kReadFileCommand = "CM_READFILE";
constexpr const char* kFolderInfoCommand = "CM_GETFOLDERINFO";
constexpr int64_t kMaxReadFile = int64_t(16) << 20;

// CM_READFILE: the bytes of a file of the machine (a relative name counts
// from the main package's folder, so "lng\ENU.lng" is a language file) with
// the buffer protocol; 0 for a missing, empty or larger than 16 MiB file.
vx_param ReadFileCommand(TvxMainDatabase* main, const std::string& name, vx_param buffer) {
  std::string path = name;
  bool relative = !path.empty() && path[0] != '\\' && path.find(':') == std::string::npos;
  if (relative && main && main->Packages && main->Packages->Count() > 0) {
    std::string folder = (*main->Packages)[0].TempPath;
    for (int i = 0; i < main->Packages->Count(); ++i)
      if ((*main->Packages)[i].Main) folder = (*main->Packages)[i].TempPath;
    path = folder + path;
  }
  int64_t size = FileSize(path);
  if (size <= 0 || size > kMaxReadFile) return 0;
  std::string bytes;
  if (!ReadWholeFile(path, bytes) || bytes.empty()) return 0;
  if (!buffer) return vx_param(bytes.size() + 1);
  std::memcpy(reinterpret_cast<char*>(buffer), bytes.data(), bytes.size());
  reinterpret_cast<char*>(buffer)[bytes.size()] = 0;
  return 0;
}

// CM_GETFOLDERINFO: what a destination folder would meet, as lines
// "name=value": drive (its root exists), exists (the folder is there),
// creatable (it exists or the nearest existing folder above it takes a new
// folder: proved by making and removing one), blocked (a file of the path's
// name is in the way), free (bytes free there).
std::string FolderInfoText(const std::string& folder) {
  Host& host = CurrentHost();
  if (folder.size() < 3 || folder[1] != ':' || folder[2] != '\\') return "drive=0\r\n";
  std::string root = folder.substr(0, 3);
  bool drive = FolderExists(root);
  std::string path = folder;
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  bool exists = drive && FolderExists(path);
  std::string above = path;
  bool blocked = false;
  while (drive && above.size() > 3 && !FolderExists(above)) {
    if (FileExists(above)) blocked = true;
    above = ExtractFilePath(above);
    while (above.size() > 3 && above.back() == '\\') above.pop_back();
  }
  bool creatable = exists;
  if (drive && !exists && !blocked) {
    std::string probe = IncludeTrailingBackslash(above) + UniqueName(IncludeTrailingBackslash(above), "vx", "");
    creatable = host.MakeFolder(probe);
    if (creatable) host.RemoveFolder(probe);
  }
  uint64_t free = 0;
  if (drive && !host.DiskFreeBytes(IncludeTrailingBackslash(above), free)) free = uint64_t(DiskFreeKB(above)) << 10;
  return "drive=" + std::to_string(drive ? 1 : 0) + "\r\nexists=" + std::to_string(exists ? 1 : 0) +
         "\r\ncreatable=" + std::to_string(creatable ? 1 : 0) + "\r\nblocked=" + std::to_string(blocked ? 1 : 0) +
         "\r\nfree=" + std::to_string(free) + "\r\n";
}

// --- Plug-in configuration ------------------------------------------------------

vx_param ConfigParam(TPlugin& p, vx_param request, vx_param buffer) {
  if (!request) return 0;
  const char* const* parts = reinterpret_cast<const char* const*>(request);
  std::string group = Text(vx_param(parts[0])), name = Text(vx_param(parts[1])), def = Text(vx_param(parts[2]));
  std::string value = def;
  if (!p.ConfigFile.empty()) {
    TkqIniFile ini(p.ConfigFile, true);
    value = ini.ReadString(group, name, def);
  } else if (p.Config) {
    value = p.Config->GetParam(group, name, def);
  }
  return PutText(value, buffer);
}

vx_param ConfigGroups(TPlugin& p, vx_param buffer) {
  std::vector<std::string> names;
  if (!p.ConfigFile.empty()) {
    TkqIniFile ini(p.ConfigFile, true);
    ini.ReadSections(names);
  } else if (p.Config) {
    p.Config->GetGroupNames(names);
  }
  return PutText(JoinLines(names), buffer);
}

vx_param ConfigNames(TPlugin& p, const std::string& group, vx_param buffer) {
  // Answers only for an entry with a simple configuration, even when the
  // plug-in reads a configuration file.
  if (!p.Config) return 0;
  std::vector<std::string> names;
  if (!p.ConfigFile.empty()) {
    TkqIniFile ini(p.ConfigFile, true);
    ini.ReadSection(group, names);
  } else {
    p.Config->GetParamNames(group, names);
  }
  return PutText(JoinLines(names), buffer);
}

}  // namespace

// --- Entry points ------------------------------------------------------------------

namespace {

// What a command answers when it fails: the setters that report -1 or 1
// for a refused value do so, every other command answers "nothing".
vx_param FailureResult(int32_t msgId) {
  switch (msgId) {
    case CM_SETFEATURESTATE:
    case CM_SETINSTALLTYPE:
      return -1;
    case CM_SETPASSWORD:
    case CM_ISPASSWORDVALID:
      return 1;
    default:
      return 0;
  }
}

// Runs the body of an entry point. Nothing may unwind into the plug-in,
// which may be built with another compiler or none that knows C++: a
// failure is kept for the engine's own frames and the entry answers
// `failure`.
// Without an active list (no run) every entry answers its failure result.
template <class Body>
vx_param AtBoundary(vx_param failure, Body&& body) {
  TPluginList* plugins = TPluginList::Active();
  if (!plugins) return failure;
  try {
    return body(*plugins);
  } catch (...) {
    try {
      plugins->DeferFailure(std::current_exception());
    } catch (...) {
    }
    return failure;
  }
}

vx_param RunCommand(TPluginList& plugins, int32_t pluginId, int32_t msgId, vx_param param1, vx_param param2,
                    int32_t broadcast);

}  // namespace

int32_t VXAPI GetMessageID(int32_t, const char* name) {
  return int32_t(
      AtBoundary(0, [&](TPluginList& plugins) { return vx_param(plugins.Store().Register(Text(vx_param(name)))); }));
}

vx_param VXAPI SendCommandByName(int32_t pluginId, const char* name, vx_param param1, vx_param param2,
                                 int32_t broadcast) {
  return AtBoundary(0, [&](TPluginList& plugins) {
    int32_t msgId = plugins.Store().Register(Text(vx_param(name)));
    return AtBoundary(FailureResult(msgId), [&](TPluginList& list) {
      return RunCommand(list, pluginId, msgId, param1, param2, broadcast);
    });
  });
}

vx_param VXAPI SendCommand(int32_t pluginId, int32_t msgId, vx_param param1, vx_param param2, int32_t broadcast) {
  return AtBoundary(FailureResult(msgId), [&](TPluginList& plugins) {
    return RunCommand(plugins, pluginId, msgId, param1, param2, broadcast);
  });
}

namespace {

vx_param RunCommand(TPluginList& plugins, int32_t pluginId, int32_t msgId, vx_param param1, vx_param param2,
                    int32_t broadcast) {
  TPlugin* plugin = plugins.FindPlugin(pluginId);
  if (msgId == CM_ALLOCMEM) return param1 < 0 ? 0 : reinterpret_cast<vx_param>(EngineAllocMem(size_t(param1)));
  if (msgId == CM_FREEMEM) {
    EngineFreeMem(reinterpret_cast<void*>(param1));
    return 0;
  }
  // Everything else works on the run.
  PluginServices* services = plugins.Services();
  if (!services) return FailureResult(msgId);
  TvxMainDatabase* main = services->MainDatabase();
  // Variables and expressions: the plug-in's package, else the main database.
  TXMLObject* db = plugin && plugin->Database ? static_cast<TXMLObject*>(plugin->Database) : main;

  switch (msgId) {
    case CM_ABORTINSTALL:
      services->AbortInstall();
      return 0;
    case CM_SUSPENDINSTALL:
      services->SuspendInstall();
      return 0;
    case CM_RESUMEINSTALL:
      services->ResumeInstall();
      return 0;
    case CM_PARSETEXT:
      return db ? PutText(ExpandString(db, Text(param1)), param2) : 0;
    case CM_GETLANGUAGE:
      return LanguageRecord(*services, Text(param1), param2);
    case CM_SETLANGUAGE:
      services->SetLanguage(Text(param1));
      return 0;
    case CM_GETVARIABLE:
      return db ? PutText(GetVariable(db, Text(param1)), param2) : 0;
    case CM_SETVARIABLE:
      if (db) SetVariable(db, Text(param1), Text(param2));
      return 0;
    case CM_GETFEATURE:
      return main ? FeatureRecord(*main, db, Text(param1), param2) : 0;
    case CM_GETFEATURESTATE: {
      TvxFeature* f = main && main->Features ? main->Features->FindFeature(Text(param1)) : nullptr;
      return f ? f->State() : 0;
    }
    case CM_SETFEATURESTATE: {
      if (!main || !main->Features || !main->Features->FindFeature(Text(param1))) return -1;
      return main->SetFeatureSelected(Text(param1), param2 == 1) ? 0 : -1;
    }
    case CM_GETINSTALLTYPE:
      return main ? InstallTypeRecord(*main, db, Text(param1), param2) : 0;
    case CM_SETINSTALLTYPE:
      return main && main->SelectInstallType(Text(param1)) ? 0 : -1;
    case CM_SETPASSWORD:
      return services->SetPassword(Text(param1)) ? 0 : 1;
    case CM_ISPASSWORDVALID:
      return services->PasswordValid() ? 0 : 1;
    case CM_GETPCPARAM:
      return plugin ? ConfigParam(*plugin, param1, param2) : 0;
    case CM_GETPCGROUPNAMES:
      return plugin ? ConfigGroups(*plugin, param1) : 0;
    case CM_GETPCPARAMNAMES:
      return plugin ? ConfigNames(*plugin, Text(param1), param2) : 0;
    case CM_GETPCCUSTOMCONFIG:
      return plugin && plugin->CustomConfig ? PutText(plugin->CustomConfig->GetXML(0), param1) : 0;
    case CM_CALCEXPRESSION:
      return reinterpret_cast<vx_param>(
          AllocPluginText(services->Evaluator().CalcExpression(db, Text(param1), true, param2)));
    case CM_CALCBOOLEXPRESSION:
      return services->Evaluator().CalcBoolExpression(db, Text(param1), true, param2) ? 1 : 0;
    case CM_REGISTERFUNCTION: {
      if (!plugin) return 0;
      int32_t id = services->Evaluator().AddPluginFunction(Text(param1), int32_t(param2),
                                                           TPluginList::FunctionOwner(*plugin));
      return id < 0 ? 0 : id;
    }
    case CM_ADDLOGRECORD:
      services->AddLogRecord(Text(param1), Text(param2));
      return 0;
    case CM_GETINSTALLICON:
      return vx_param(CurrentHost().LoadEngineIcon(param1 != 0));
    case CM_CALCACTIONS: {
      std::string result;
      EvaluateActions(services->Evaluator(), Text(param1), reinterpret_cast<void*>(param2), result);
      return reinterpret_cast<vx_param>(AllocPluginText(result));
    }
    default: {
      // Two services a wizard needs that the numbered commands lack, asked
      // by name: a file's bytes and the facts of a destination folder.
      const std::string name = plugins.Store().NameOf(msgId);
      if (SameText(name, kReadFileCommand)) return ReadFileCommand(main, Text(param1), param2);
      if (SameText(name, kFolderInfoCommand)) return PutText(FolderInfoText(Text(param1)), param2);
    }
      // Any other message goes from the plug-in to all the others.
      if (plugin && !plugins.Store().NameOf(msgId).empty())
        return plugins.Broadcast(pluginId, msgId, broadcast != 0, param1, param2);
      return 0;
  }
}

}  // namespace

}  // namespace vx
