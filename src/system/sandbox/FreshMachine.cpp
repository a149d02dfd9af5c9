// SandboxHost, continued: a fresh machine as a new installation of the
// chosen Windows version leaves it. machine.ini, the registry hives and the
// files are made from one description of the system (its folders, its user
// and its environment), so the facts the engine reads through the shell,
// through the process environment and through the registry agree.
#include <vector>

#include "system/kqStrUtils.h"
#include "system/sandbox/RegistryHive.h"
#include "system/sandbox/SandboxHost.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

struct Preset {
  const char* name;
  MachineKind kind;
  uint32_t platform, major, minor, build;
  const char* servicePack;
  const char* productName;
  const char* windows;
  const char* system;
  const char* temp;
  const char* profile;   // the user's profile; "" on the 9x family
  const char* version9x;  // "4.10.2222" ...; "" on the NT family
};

const Preset kPresets[] = {
    {"xp", MachineKind::XP, kPlatformNT, 5, 1, 2600, "Service Pack 2", "Microsoft Windows XP", "C:\\WINDOWS",
     "C:\\WINDOWS\\system32", "C:\\Documents and Settings\\User\\Local Settings\\Temp",
     "C:\\Documents and Settings\\User", ""},
    {"2000", MachineKind::W2000, kPlatformNT, 5, 0, 2195, "Service Pack 4", "Microsoft Windows 2000", "C:\\WINNT",
     "C:\\WINNT\\system32", "C:\\Documents and Settings\\User\\Local Settings\\Temp",
     "C:\\Documents and Settings\\User", ""},
    {"nt4", MachineKind::NT4, kPlatformNT, 4, 0, 1381, "Service Pack 6", "Microsoft Windows NT", "C:\\WINNT",
     "C:\\WINNT\\system32", "C:\\TEMP", "C:\\WINNT\\Profiles\\User", ""},
    {"98", MachineKind::W98, kPlatformWin9x, 4, 10, 0x040A08AE, "", "Microsoft Windows 98", "C:\\WINDOWS",
     "C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\TEMP", "", "4.10.2222"},
    {"95", MachineKind::W95, kPlatformWin9x, 4, 0, 0x040003B6, "", "Microsoft Windows 95", "C:\\WINDOWS",
     "C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\TEMP", "", "4.00.950"},
    {"me", MachineKind::Me, kPlatformWin9x, 4, 90, 0x045A0BB8, "", "Microsoft Windows ME", "C:\\WINDOWS",
     "C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\TEMP", "", "4.90.3000"},
};

constexpr char kUser[] = "User";
constexpr char kComputer[] = "VXMACHINE";
constexpr char kProgramFiles[] = "C:\\Program Files";
constexpr char kCommonFiles[] = "C:\\Program Files\\Common Files";
constexpr char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// A shell folder: its name in machine.ini [ShellFolders] (the shell's own
// identifier) and, when Explorer lists it in the registry, its value name
// under "Shell Folders" (HKCU, or HKLM for the all-users folders).
struct ShellFolder {
  const char* name;
  const char* registryName;
  bool common;
  std::string path;
};

std::vector<ShellFolder> ShellFolders(const Preset& p) {
  std::string win = p.windows;
  bool nt = p.platform == kPlatformNT;
  std::string user = nt ? std::string(p.profile) : win;
  std::string common = nt ? ExtractFileDir(p.profile) + "\\All Users" : "";
  std::string startMenu = user + "\\Start Menu";
  std::vector<ShellFolder> list = {
      {"Desktop", nullptr, false, user + "\\Desktop"},
      {"DesktopDirectory", "Desktop", false, user + "\\Desktop"},
      {"Programs", "Programs", false, startMenu + "\\Programs"},
      {"Personal", "Personal", false, nt ? user + "\\My Documents" : "C:\\My Documents"},
      {"Favorites", "Favorites", false, user + "\\Favorites"},
      {"Startup", "Startup", false, startMenu + "\\Programs\\Startup"},
      {"Recent", "Recent", false, user + "\\Recent"},
      {"SendTo", "SendTo", false, user + "\\SendTo"},
      {"StartMenu", "Start Menu", false, startMenu},
      {"NetHood", "NetHood", false, user + "\\NetHood"},
      {"Fonts", "Fonts", false, win + "\\Fonts"},
      {"Templates", "Templates", false, nt ? user + "\\Templates" : win + "\\ShellNew"},
      {"AppData", "AppData", false, user + "\\Application Data"},
      {"Windows", nullptr, false, win},
      {"System", nullptr, false, p.system},
      {"ProgramFiles", nullptr, false, kProgramFiles},
      {"ProgramFilesCommon", nullptr, false, kCommonFiles}};
  if (nt) {
    // The 9x family has no all-users folders.
    list.push_back({"LocalAppData", "Local AppData", false, user + "\\Local Settings\\Application Data"});
    list.push_back({"CommonStartMenu", "Common Start Menu", true, common + "\\Start Menu"});
    list.push_back({"CommonPrograms", "Common Programs", true, common + "\\Start Menu\\Programs"});
    list.push_back({"CommonStartup", "Common Startup", true, common + "\\Start Menu\\Programs\\Startup"});
    list.push_back({"CommonDesktopDirectory", "Common Desktop", true, common + "\\Desktop"});
    list.push_back({"CommonAppData", "Common AppData", true, common + "\\Application Data"});
    list.push_back({"CommonDocuments", "Common Documents", true, common + "\\Documents"});
  }
  return list;
}

// The process environment of a program the user starts, in the order
// Windows lists it (by name).
std::vector<std::pair<std::string, std::string>> Environment(const Preset& p) {
  std::string win = p.windows;
  if (p.platform != kPlatformNT)
    return {{"CMDLINE", "WIN"},
            {"COMSPEC", win + "\\COMMAND.COM"},
            {"PATH", win + ";" + win + "\\COMMAND"},
            {"PROMPT", "$p$g"},
            {"TEMP", p.temp},
            {"TMP", p.temp},
            {"winbootdir", win},
            {"windir", win}};
  bool nt4 = p.major < 5;
  std::string profile = p.profile;
  std::vector<std::pair<std::string, std::string>> env;
  if (!nt4) env.push_back({"ALLUSERSPROFILE", ExtractFileDir(profile) + "\\All Users"});
  if (!nt4) env.push_back({"APPDATA", profile + "\\Application Data"});
  if (!nt4) env.push_back({"CommonProgramFiles", kCommonFiles});
  env.push_back({"COMPUTERNAME", kComputer});
  env.push_back({"ComSpec", std::string(p.system) + "\\cmd.exe"});
  env.push_back({"HOMEDRIVE", "C:"});
  env.push_back({"HOMEPATH", profile.substr(2)});
  env.push_back({"NUMBER_OF_PROCESSORS", "1"});
  env.push_back({"OS", "Windows_NT"});
  env.push_back({"Path", nt4 ? std::string(p.system) + ";" + win
                             : std::string(p.system) + ";" + win + ";" + p.system + "\\Wbem"});
  env.push_back({"PATHEXT", nt4 ? ".COM;.EXE;.BAT;.CMD" : ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH"});
  env.push_back({"PROCESSOR_ARCHITECTURE", "x86"});
  if (!nt4) env.push_back({"ProgramFiles", kProgramFiles});
  env.push_back({"SystemDrive", "C:"});
  env.push_back({"SystemRoot", win});
  env.push_back({"TEMP", p.temp});
  env.push_back({"TMP", p.temp});
  env.push_back({"USERDOMAIN", kComputer});
  env.push_back({"USERNAME", kUser});
  env.push_back({"USERPROFILE", profile});
  env.push_back({"windir", win});
  return env;
}

std::string Sz(const std::string& text) { return text + '\0'; }

// The key below `root` at a backslash-separated path, created as needed.
RegNode& Key(RegNode& root, const std::string& path) {
  RegNode* node = &root;
  for (const std::string& part : SplitString(path, '\\'))
    if (!part.empty()) node = node->AddKey(part);
  return *node;
}

// `path` with its leading `prefix` replaced by `%variable%` (the form the
// "User Shell Folders" keys keep), or unchanged.
std::string Unexpand(const std::string& path, const std::string& prefix, const char* variable) {
  if (prefix.empty() || path.size() < prefix.size() || !SameText(path.substr(0, prefix.size()), prefix)) return path;
  return "%" + std::string(variable) + "%" + path.substr(prefix.size());
}

void FillLocalMachine(const Preset& p, const std::vector<ShellFolder>& folders, RegNode& hklm) {
  bool nt = p.platform == kPlatformNT;
  std::string win = p.windows;
  RegNode& cv = Key(hklm, kCurrentVersion);
  cv.SetValue("ProgramFilesDir", kRegSz, Sz(kProgramFiles));
  cv.SetValue("CommonFilesDir", kRegSz, Sz(kCommonFiles));
  if (nt) {
    cv.SetValue("DevicePath", kRegExpandSz, Sz("%SystemRoot%\\inf"));
    cv.SetValue("MediaPathUnexpanded", kRegExpandSz, Sz("%SystemRoot%\\Media"));
    if (p.major >= 5) cv.SetValue("ProgramFilesPath", kRegExpandSz, Sz("%ProgramFiles%"));
  } else {
    cv.SetValue("DevicePath", kRegSz, Sz(win + "\\INF"));
    cv.SetValue("MediaPath", kRegSz, Sz(win + "\\MEDIA"));
    cv.SetValue("ProductName", kRegSz, Sz(p.productName));
    cv.SetValue("Version", kRegSz, Sz(std::string(p.productName).substr(10)));
    cv.SetValue("VersionNumber", kRegSz, Sz(p.version9x));
    cv.SetValue("SystemRoot", kRegSz, Sz(win));
    cv.SetValue("RegisteredOwner", kRegSz, Sz(kUser));
    cv.SetValue("RegisteredOrganization", kRegSz, Sz(""));
  }
  RegNode& setup = Key(cv, "Setup");
  setup.SetValue("BootDir", kRegSz, Sz("C:\\"));
  setup.SetValue("SourcePath", kRegSz, Sz(nt ? "D:\\I386" : "D:\\WIN9X"));
  for (const char* key : {"App Paths", "Run", "RunOnce", "SharedDLLs", "Uninstall"}) Key(cv, key);
  if (!nt) Key(cv, "RunServices");

  if (nt) {
    RegNode& shell = Key(cv, "Explorer\\Shell Folders");
    RegNode& userShell = Key(cv, "Explorer\\User Shell Folders");
    std::string common = ExtractFileDir(p.profile) + "\\All Users";
    for (const ShellFolder& f : folders) {
      if (!f.common || !f.registryName) continue;
      shell.SetValue(f.registryName, kRegSz, Sz(f.path));
      userShell.SetValue(f.registryName, kRegExpandSz,
                         Sz(p.major >= 5 ? Unexpand(f.path, common, "ALLUSERSPROFILE") : f.path));
    }
    RegNode& nt4cv = Key(hklm, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
    nt4cv.SetValue("CSDVersion", kRegSz, Sz(p.servicePack));
    nt4cv.SetValue("CurrentBuildNumber", kRegSz, Sz(std::to_string(p.build)));
    nt4cv.SetValue("CurrentType", kRegSz, Sz("Uniprocessor Free"));
    nt4cv.SetValue("CurrentVersion", kRegSz, Sz(Format("%u.%u", p.major, p.minor)));
    nt4cv.SetValue("PathName", kRegSz, Sz(win));
    nt4cv.SetValue("ProductName", kRegSz, Sz(p.productName));
    nt4cv.SetValue("RegisteredOrganization", kRegSz, Sz(""));
    nt4cv.SetValue("RegisteredOwner", kRegSz, Sz(kUser));
    nt4cv.SetValue("SoftwareType", kRegSz, Sz("SYSTEM"));
    nt4cv.SetValue("SystemRoot", kRegSz, Sz(win));
    Key(nt4cv, "Fonts");

    RegNode& env = Key(hklm, "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment");
    env.SetValue("ComSpec", kRegExpandSz, Sz("%SystemRoot%\\system32\\cmd.exe"));
    env.SetValue("NUMBER_OF_PROCESSORS", kRegSz, Sz("1"));
    env.SetValue("OS", kRegSz, Sz("Windows_NT"));
    env.SetValue("Path", kRegExpandSz,
                 Sz(p.major >= 5 ? "%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem"
                                 : "%SystemRoot%\\system32;%SystemRoot%"));
    env.SetValue("PATHEXT", kRegSz,
                 Sz(p.major >= 5 ? ".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH" : ".COM;.EXE;.BAT;.CMD"));
    env.SetValue("PROCESSOR_ARCHITECTURE", kRegSz, Sz("x86"));
    env.SetValue("TEMP", kRegExpandSz, Sz("%SystemRoot%\\TEMP"));
    env.SetValue("TMP", kRegExpandSz, Sz("%SystemRoot%\\TEMP"));
    env.SetValue("windir", kRegExpandSz, Sz("%SystemRoot%"));
    Key(hklm, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName")
        .SetValue("ComputerName", kRegSz, Sz(kComputer));
  } else {
    Key(cv, "Fonts");
    Key(hklm, "System\\CurrentControlSet\\control\\ComputerName\\ComputerName")
        .SetValue("ComputerName", kRegSz, Sz(kComputer));
  }
}

void FillCurrentUser(const Preset& p, const std::vector<ShellFolder>& folders, RegNode& hkcu) {
  bool nt = p.platform == kPlatformNT;
  RegNode& cv = Key(hkcu, "Software\\Microsoft\\Windows\\CurrentVersion");
  RegNode& shell = Key(cv, "Explorer\\Shell Folders");
  RegNode* userShell = nt ? &Key(cv, "Explorer\\User Shell Folders") : nullptr;
  for (const ShellFolder& f : folders) {
    if (f.common || !f.registryName) continue;
    shell.SetValue(f.registryName, kRegSz, Sz(f.path));
    if (userShell && !SameText(f.registryName, "Fonts"))
      userShell->SetValue(f.registryName, kRegExpandSz, Sz(Unexpand(f.path, p.profile, "USERPROFILE")));
  }
  for (const char* key : {"Run", "RunOnce"}) Key(cv, key);
  if (nt) {
    RegNode& env = Key(hkcu, "Environment");
    std::string temp = p.major >= 5 ? "%USERPROFILE%\\Local Settings\\Temp" : "%SystemDrive%\\TEMP";
    env.SetValue("TEMP", kRegExpandSz, Sz(temp));
    env.SetValue("TMP", kRegExpandSz, Sz(temp));
  }
  RegNode& intl = Key(hkcu, "Control Panel\\International");
  intl.SetValue("Locale", kRegSz, Sz("00000409"));
  intl.SetValue("sShortDate", kRegSz, Sz("M/d/yyyy"));
  intl.SetValue("sTimeFormat", kRegSz, Sz("h:mm:ss tt"));
}

// The native path of a path on drive C: of the machine being made.
std::string OnDriveC(const std::string& root, const std::string& windowsPath) {
  std::string rel = windowsPath.substr(3);
  for (char& c : rel)
    if (c == '\\') c = '/';
  return root + "/drive_c/" + rel;
}

bool WriteMachineFile(const std::string& root, const std::string& windowsPath, const std::string& content) {
  std::string native = OnDriveC(root, windowsPath);
  return NativeMakeDirs(native.substr(0, native.rfind('/'))) && NativeWriteFile(native, content);
}

bool MakeMachineFolder(const std::string& root, const std::string& windowsPath) {
  return NativeMakeDirs(OnDriveC(root, windowsPath));
}

}  // namespace

bool SandboxHost::ParseMachineKind(const std::string& text, MachineKind& kind) {
  for (const Preset& p : kPresets)
    if (SameText(text, p.name)) {
      kind = p.kind;
      return true;
    }
  return false;
}

bool SandboxHost::InitMachine(const std::string& root, MachineKind kind) {
  const Preset* p = &kPresets[0];
  for (const Preset& q : kPresets)
    if (q.kind == kind) p = &q;
  const Preset& preset = *p;
  bool nt = preset.platform == kPlatformNT;
  if (!NativeMakeDirs(root + "/drive_c")) return false;
  std::vector<ShellFolder> folders = ShellFolders(preset);

  std::string ini;
  ini += "; Facts of this emulated Windows machine.\r\n";
  ini += "[Machine]\r\n";
  ini += Format("Platform=%s\r\n", nt ? "NT" : "9X");
  ini += Format("Major=%u\r\nMinor=%u\r\nBuild=%u\r\n", preset.major, preset.minor, preset.build);
  ini += Format("ServicePack=%s\r\n", preset.servicePack);
  ini += "Administrator=1\r\nUserLocale=0409\r\nSystemLocale=0409\r\n";
  ini += "\r\n[Folders]\r\n";
  ini += Format("Windows=%s\r\nSystem=%s\r\n", preset.windows, preset.system);
  ini += "Current=C:\\\r\n";
  ini += "\r\n[Environment]\r\n";
  for (const auto& [name, value] : Environment(preset)) ini += name + "=" + value + "\r\n";
  ini += "\r\n[ShellFolders]\r\n";
  for (const ShellFolder& f : folders) ini += std::string(f.name) + "=" + f.path + "\r\n";
  ini += "\r\n[WorkArea]\r\nLeft=0\r\nTop=0\r\nRight=1024\r\nBottom=738\r\n";
  ini += "\r\n[Drives]\r\nZ=/\r\n";
  if (!NativeWriteFile(root + "/machine.ini", ini)) return false;

  RegNode hklm, hkcu;
  FillLocalMachine(preset, folders, hklm);
  FillCurrentUser(preset, folders, hkcu);
  if (!NativeWriteFile(root + "/HKLM.reg", WriteRegedit4(hklm, "HKEY_LOCAL_MACHINE", true)) ||
      !NativeWriteFile(root + "/HKCU.reg", WriteRegedit4(hkcu, "HKEY_CURRENT_USER", true)))
    return false;
  for (const char* hive : {"HKU", "HKCR"})
    if (!NativeWriteFile(root + "/" + hive + ".reg", "REGEDIT4\r\n\r\n")) return false;

  // The command interpreter exists as a file; the machine carries out its
  // simple commands itself (see StartProcess).
  std::string shell = nt ? std::string(preset.system) + "\\cmd.exe" : std::string(preset.windows) + "\\command.com";
  bool ok = WriteMachineFile(root, shell, "") &&
            WriteMachineFile(root, std::string(preset.windows) + "\\win.ini",
                             "[windows]\r\nload=\r\nrun=\r\n\r\n[Desktop]\r\n\r\n[fonts]\r\n\r\n[extensions]\r\n") &&
            WriteMachineFile(root, std::string(preset.windows) + "\\system.ini",
                             "[boot]\r\nshell=Explorer.exe\r\n\r\n[drivers]\r\n");
  // The 9x family keeps persistent environment variables in autoexec.bat.
  if (!nt) ok = ok && WriteMachineFile(root, "C:\\AUTOEXEC.BAT", "SET PATH=" + std::string(preset.windows) + ";" +
                                                                      preset.windows + "\\COMMAND\r\n");
  for (const ShellFolder& f : folders) ok = ok && MakeMachineFolder(root, f.path);
  for (const char* path : {preset.windows, preset.system, preset.temp, kProgramFiles})
    ok = ok && MakeMachineFolder(root, path);
  return ok;
}

}  // namespace vx
