#include "engine/Common.h"

#include "database/Variables.h"
#include "expr/Functions.h"
#include "system/LocaleTable.h"
#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

namespace vx {

namespace {

constexpr const char kStringsSection[] = "Strings";

// The abbreviated language name of a locale, upper-cased.
std::string LocaleAbbreviation(Host& host, uint32_t lcid) {
  return UpperCase(host.LocaleText(lcid, kLocaleSAbbrevLangName));
}

// The temporary folder of the main package (with its trailing backslash).
std::string MainPackageFolder(TvxMainDatabase& db) {
  if (!db.Packages || db.Packages->Count() == 0) return "";
  for (int i = 0; i < db.Packages->Count(); ++i)
    if ((*db.Packages)[i].Main) return (*db.Packages)[i].TempPath;
  return (*db.Packages)[0].TempPath;
}

const char* OSVersionName(int kind) {
  switch (kind) {
    case osWin95: return "95";
    case osWin98: return "98";
    case osWinNT: return "NT4";
    case osWin2000: return "2K";
    case osWinMe: return "ME";
    default: return "XP";
  }
}

}  // namespace


std::string JoinParams(const std::vector<std::string>& params) {
  std::string out;
  for (size_t i = 0; i < params.size(); ++i) {
    if (i) out += ' ';
    if (params[i].find(' ') != std::string::npos)
      out += '"' + params[i] + '"';
    else
      out += params[i];
  }
  return out;
}

// --- Session values -------------------------------------------------------------------

void DefineSessionValues(TvxMainDatabase& db, const CommandLine& commandLine, const std::string& engineFile) {
  Host& host = CurrentHost();
  DefineFolderVariables(db);

  // Computed here rather than taken from the per-host cache: the facts are
  // read once per run, and a cache keyed by the host's address can outlive it.
  const TOSInfo os = ComputeOSInfo(host.Version());
  SetSystemVariable(&db, "SystemLangID", LocaleAbbreviation(host, host.SystemLangId()));
  SetSystemVariable(&db, "UserLangID", LocaleAbbreviation(host, host.UserLangId()));
  SetSystemPathVariable(&db, "SourcePath", ExtractFileDir(Trim(engineFile)));
  SetSystemVariable(&db, "OSPlatform", os.IsNT() ? "NT" : "9X");
  SetSystemVariable(&db, "OSVersion", OSVersionName(os.Kind));
  SetSystemVariable(&db, "QuickLaunch", "%ApplicationData%\\Microsoft\\Internet Explorer\\Quick Launch");
  SetSystemVariable(&db, "ParamStr", JoinParams(commandLine.Params()));

  // A value given earlier (project, silent settings, a "/var:" switch) wins.
  SetVariableInt(&db, "SilentMode", GetVariableInt(&db, "SilentMode", commandLine.HasSwitch("s") ? 1 : 0));

  ImportEnvironment(db);
}

void ApplySilentSettings(TvxMainDatabase& db, const TvxSilentSettings* settings, const CommandLine& commandLine) {
  if (settings && settings->Variables) {
    const TvxVariables& vars = *settings->Variables;
    for (int i = 0; i < vars.Count(); ++i) {
      const TvxVariable& v = vars[i];
      if (IsAvailable(&v)) SetVariable(&db, v.Name, v.Value);
    }
  }
  for (const auto& [name, value] : commandLine.VarSwitches())
    if (!name.empty()) SetVariable(&db, name, value);
}

// --- Languages ----------------------------------------------------------------------------

std::string LanguageFilePath(TvxMainDatabase& db, const std::string& code) {
  return MainPackageFolder(db) + "lng\\" + code + ".lng";
}

std::string LanguageFilePath(TvxMainDatabase& db) { return LanguageFilePath(db, GetVariable(&db, "LangID", "ENU")); }

std::string LanguageMessage(TvxMainDatabase& db, int number) {
  return ExpandString(&db, IniReadString(LanguageFilePath(db), kStringsSection, std::to_string(number), ""));
}

void BuildLanguageList(TvxMainDatabase& db, std::vector<TLanguage>& list) {
  list.clear();
  for (const std::string& part : SplitString(UpperCase(GetVariable(&db, "Languages", "ENU")), ',')) {
    std::string code = Trim(part);
    if (!code.empty()) list.push_back({code, ""});
  }

  if (!GetVariableBool(&db, "DontUseWindowsLanguageNames", false)) {
    Host& host = CurrentHost();
    for (uint32_t lcid : host.InstalledLocales()) {
      std::string code = LocaleAbbreviation(host, lcid);
      if (code.empty()) continue;
      for (TLanguage& l : list)
        if (SameText(l.Code, code)) {
          // Several locales may share an abbreviation: the last one wins.
          l.Name = host.LocaleText(lcid, kLocaleSLanguage);
          break;
        }
    }
  }

  for (TLanguage& l : list)
    if (l.Name.empty()) l.Name = IniReadString(LanguageFilePath(db, l.Code), kStringsSection, "LanguageName", l.Code);

  if (list.empty()) list.push_back({"ENU", "English (USA)"});
}

std::string ChooseLanguage(TvxMainDatabase& db, const std::vector<TLanguage>& list) {
  if (!GetVariable(&db, "LangID", "").empty() || list.empty()) return "";
  size_t index = 0;
  if (GetVariableBool(&db, "AutoSelectLanguage", true)) {
    auto find = [&list](const std::string& code) -> long {
      for (size_t i = 0; i < list.size(); ++i)
        if (SameText(list[i].Code, code)) return long(i);
      return -1;
    };
    long i = find(GetVariable(&db, "UserLangID", "ENU"));
    if (i < 0) i = find("ENU");
    index = i < 0 ? 0 : size_t(i);
  }
  return list[index].Code;
}

uint32_t LanguageCharset(const std::string& code) {
  Host& host = CurrentHost();
  for (uint32_t lcid : host.InstalledLocales()) {
    if (!SameText(LocaleAbbreviation(host, lcid), code)) continue;
    uint32_t codePage = uint32_t(StrToIntDef(host.LocaleText(lcid, kLocaleIDefaultAnsiCodePage), 0));
    uint32_t charset = kDefaultCharset;
    return host.CodePageCharset(codePage, charset) ? charset : kDefaultCharset;
  }
  return kDefaultCharset;
}

void SetLanguage(TvxMainDatabase& db, const std::string& code) {
  SetVariable(&db, "LangID", code);
  SetVariableInt(&db, "Charset", int32_t(LanguageCharset(code)));
}

}  // namespace vx
