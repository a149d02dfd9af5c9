#include "Wizard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace vxwiz {

namespace {

// Built-in English: every text a front end shows, by key.
const std::pair<const char*, const char*> kEnglish[] = {
    {"Title", "%AppName% Setup"},
    {"Welcome", "Welcome to the setup of %AppName%. It installs %AppName% on this computer."},
    {"License", "Please read the licence agreement."},
    {"LicenseAccept", "I accept the licence agreement"},
    {"LicenseNotAccepted", "You must accept the licence agreement to install %AppName%."},
    {"LicenseTooLarge", "(The licence text is too large to show; it was cut.)"},
    {"Destination", "Setup installs %AppName% into this folder."},
    {"DestEmpty", "Please enter a destination folder."},
    {"DestTooLong", "The folder name is too long: at most {1} characters."},
    {"DestNotAbsolute", "Please enter a full path that starts with a drive letter, such as C:\\Program Files\\{1}."},
    {"DestBadChar", "The folder name contains a character that is not allowed: {1}"},
    {"DestRoot", "Please choose a folder, not the root of drive {1}."},
    {"DestNoDrive", "Drive {1} does not exist."},
    {"DestBlocked", "The folder {1} cannot be created: a file of that name is in the way."},
    {"DestReadOnly", "The folder {1} cannot be created: the drive or folder is read-only."},
    {"DestNoSpace", "There is not enough free space on drive {1}: {2} needed, {3} free."},
    {"DestSpace", "Space needed: {1}. Free space: {2}."},
    {"InstallType", "Choose the type of installation."},
    {"Features", "Choose the features to install."},
    {"FeatureRequired", "The feature \"{1}\" is required and cannot be left out."},
    {"FeatureRefused", "The feature \"{1}\" cannot be changed."},
    {"NoFeatures", "Please choose at least one feature."},
    {"FeatureSize", "Size: {1}"},
    {"Password", "This setup is protected by a password. Please enter it."},
    {"PasswordWrong", "The password is not correct."},
    {"Ready", "Setup is ready to install %AppName%."},
    {"ReadyFolder", "Destination folder: {1}"},
    {"ReadyType", "Type of installation: {1}"},
    {"ReadyFeatures", "Features: {1}"},
    {"Progress", "Installing %AppName%..."},
    {"ProgressFile", "Copying {1}"},
    {"QuitQuestion", "Do you want to quit setup? Nothing will be installed."},
    {"CancelQuestion", "Do you want to cancel the installation? Everything installed so far is removed."},
    {"Cancelled", "The installation was cancelled."},
    {"ConflictQuestion",
     "The existing file {1} is newer than the one setup would install. Keep the existing file?"},
    {"ConflictKeep", "Keep the existing file"},
    {"ConflictOverwrite", "Overwrite it"},
    {"ConflictKeepAll", "Keep all newer files"},
    {"ConflictOverwriteAll", "Overwrite all newer files"},
    {"PackageMissing", "Setup needs the file {1}. Enter the folder that holds it (empty to cancel)."},
    {"PackageFolderTooLong", "The folder name is too long."},
    {"Finish", "%AppName% has been installed."},
    {"FinishFailed", "%AppName% was not installed."},
    {"Launch", "Launch %AppName% now"},
    {"RestartQuestion", "The computer must be restarted to finish the installation. Restart now?"},
    {"Next", "Next"},
    {"Back", "Back"},
    {"Cancel", "Cancel"},
    {"Install", "Install"},
    {"FinishButton", "Finish"},
    {"Browse", "Browse..."},
    {"OK", "OK"},
    {"Yes", "Yes"},
    {"No", "No"},
};

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Page names as the configuration writes them.
const std::pair<const char*, Page> kPageNames[] = {
    {"welcome", Page::Welcome},         {"license", Page::License},   {"licence", Page::License},
    {"destination", Page::Destination}, {"installtype", Page::InstallType}, {"features", Page::Features},
    {"password", Page::Password},       {"ready", Page::Ready},
};

constexpr size_t kMaxFolder = 200;         // leaves room for the files below it
constexpr size_t kMaxLicense = 1 << 20;    // more is cut
constexpr size_t kMaxPackageFolder = 259;  // the engine's buffer, with its zero

}  // namespace

// --- Texts ---------------------------------------------------------------------------

Texts::Texts() {
  for (const auto& [key, text] : kEnglish) texts_[Lower(key)] = text;
}

void Texts::Load(const std::string& iniText) {
  bool inWizard = false;
  size_t start = 0;
  while (start < iniText.size()) {
    size_t end = iniText.find('\n', start);
    if (end == std::string::npos) end = iniText.size();
    std::string line = Trim(iniText.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      inWizard = Lower(line) == "[wizard]";
      continue;
    }
    size_t eq = line.find('=');
    if (!inWizard || eq == std::string::npos) continue;
    std::string key = Lower(Trim(line.substr(0, eq)));
    std::string value = Trim(line.substr(eq + 1));
    // Only keys the wizard knows, and never an empty text.
    if (texts_.count(key) && !value.empty()) texts_[key] = value;
  }
}

const std::string& Texts::Raw(const std::string& key) const {
  static const std::string empty;
  auto it = texts_.find(Lower(key));
  return it == texts_.end() ? empty : it->second;
}

std::string FormatText(const std::string& text, const std::vector<std::string>& args) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{' && i + 2 < text.size() && text[i + 2] == '}' && text[i + 1] >= '1' && text[i + 1] <= '9') {
      size_t n = size_t(text[i + 1] - '1');
      if (n < args.size()) out += args[n];
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string SizeText(uint64_t bytes) {
  const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = double(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char buffer[64];
  if (unit == 0)
    std::snprintf(buffer, sizeof buffer, "%llu bytes", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[unit]);
  return buffer;
}

const char* PageName(Page page) {
  switch (page) {
    case Page::Welcome: return "Welcome";
    case Page::License: return "License";
    case Page::Destination: return "Destination";
    case Page::InstallType: return "InstallType";
    case Page::Features: return "Features";
    case Page::Password: return "Password";
    case Page::Ready: return "Ready";
    case Page::Done: return "Done";
  }
  return "";
}

// --- Wizard ---------------------------------------------------------------------------

Wizard::Wizard(EngineLink& engine) : engine_(engine) {}

std::string Wizard::Config(const std::string& name, const std::string& def) {
  return Trim(engine_.ConfigParam("Wizard", name, def));
}

void Wizard::Load(const std::string& configFile, const std::string& language) {
  // Pages: the configured list, in the wizard's own order; unknown names are
  // ignored, and an empty or unusable list means every page.
  configured_.clear();
  std::string list = Lower(Config("Pages"));
  size_t start = 0;
  while (start <= list.size() && !list.empty()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string name = Trim(list.substr(start, end - start));
    for (const auto& [text, page] : kPageNames)
      if (name == text && std::find(configured_.begin(), configured_.end(), page) == configured_.end())
        configured_.push_back(page);
    start = end + 1;
  }
  if (configured_.empty())
    configured_ = {Page::Welcome, Page::License, Page::Destination, Page::InstallType,
                   Page::Features, Page::Password, Page::Ready};
  std::sort(configured_.begin(), configured_.end());

  destinationVariable_ = Config("DestinationVariable", "InstallPath");
  if (destinationVariable_.empty()) destinationVariable_ = "InstallPath";
  requiredBytes_ = std::strtoull(Config("RequiredSpaceKB", "0").c_str(), nullptr, 10) * 1024;

  LoadLicense(configFile);
  LoadTexts(language);

  types_ = engine_.InstallTypes();
  std::string active = types_.empty() ? "" : engine_.ActiveInstallType();
  typeIndex_ = types_.empty() ? -1 : 0;
  for (size_t i = 0; i < types_.size(); ++i)
    if (Lower(types_[i].id) == Lower(active)) typeIndex_ = int(i);

  features_.clear();
  for (FeatureInfo& f : engine_.Features()) {
    FeatureRow row;
    row.size = std::strtoull(engine_.ConfigParam("FeatureSizes", f.id, "0").c_str(), nullptr, 10);
    row.info = std::move(f);
    features_.push_back(std::move(row));
  }
  RefreshFeatureStates();
  needsPassword_ = !engine_.PasswordValid();
  Start();
}

void Wizard::LoadTexts(const std::string& language) {
  texts_ = Texts();
  std::string code = language.empty() ? "ENU" : language;
  std::string text;
  if (engine_.ReadFile("lng\\" + code + ".lng", text, size_t(4) << 20)) texts_.Load(text);
}

void Wizard::LoadLicense(const std::string& configFile) {
  license_.clear();
  std::string name = Config("LicenseFile");
  if (name.empty()) return;
  bool absolute = (name.size() >= 2 && name[1] == ':') || name[0] == '\\';
  if (!absolute) {
    size_t slash = configFile.find_last_of("\\/");
    if (slash == std::string::npos) return;  // no configuration file to count from
    name = configFile.substr(0, slash + 1) + name;
  }
  std::string bytes;
  if (!engine_.ReadFile(name, bytes, size_t(16) << 20)) return;
  bool cut = bytes.size() > kMaxLicense;
  if (cut) bytes.resize(kMaxLicense);
  // A licence is text: control bytes other than line breaks and tabs (a
  // binary file named by mistake) are shown as "?", so a terminal never
  // receives escape sequences from it. A file that is plainly no text (a
  // zero byte, or more than one control byte in a hundred) keeps only its
  // ASCII characters: its other bytes are characters of no code page, and
  // some systems' text drawing fails on such runs.
  size_t controls = 0;
  bool binary = false;
  for (char c : bytes) {
    unsigned char u = static_cast<unsigned char>(c);
    binary = binary || u == 0;
    if ((u < 32 && c != '\n' && c != '\r' && c != '\t' && c != '\f') || u == 127) ++controls;
  }
  binary = binary || controls * 100 > bytes.size();
  for (char& c : bytes) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 && c != '\n' && c != '\r' && c != '\t') c = '?';
    if (u == 127 || (binary && u >= 128)) c = '?';
  }
  license_ = bytes;
  if (cut) license_ += "\n" + texts_.Raw("LicenseTooLarge") + "\n";
}

std::string Wizard::Text(const std::string& key, const std::vector<std::string>& args) {
  // Variables first, so that an argument (a path with "%") stays as it is.
  return FormatText(engine_.ParseText(texts_.Raw(key)), args);
}

bool Wizard::Silent() { return engine_.Silent(); }

bool Wizard::Shown(Page page) {
  if (std::find(configured_.begin(), configured_.end(), page) == configured_.end()) return false;
  switch (page) {
    case Page::License: return !license_.empty();
    case Page::InstallType: return types_.size() > 1;
    case Page::Features:
      if (features_.empty()) return false;
      // With install types only a custom one lets the user choose.
      return types_.empty() || typeIndex_ < 0 || types_[size_t(typeIndex_)].custom;
    case Page::Password: return needsPassword_;
    default: return true;
  }
}

std::vector<Page> Wizard::Pages() {
  std::vector<Page> out;
  for (Page p : configured_)
    if (Shown(p)) out.push_back(p);
  return out;
}

void Wizard::Start() {
  history_.clear();
  std::vector<Page> pages = Pages();
  current_ = pages.empty() ? Page::Done : pages.front();
}

bool Wizard::CanGoBack() { return !history_.empty(); }

void Wizard::Back() {
  if (history_.empty()) return;
  current_ = history_.back();
  history_.pop_back();
}

Outcome Wizard::Next() {
  Outcome result;
  switch (current_) {
    case Page::License:
      if (!accepted_) return {false, Text("LicenseNotAccepted")};
      break;
    case Page::Destination: {
      std::string folder = Trim(Destination());
      result = CheckDestination(folder);
      if (!result.ok) return result;
      while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
      destination_ = folder;
      engine_.SetVariable(destinationVariable_, folder);
      break;
    }
    case Page::InstallType:
      if (typeIndex_ >= 0 && size_t(typeIndex_) < types_.size()) {
        engine_.SetInstallType(types_[size_t(typeIndex_)].id);
        RefreshFeatureStates();
      }
      break;
    case Page::Features: {
      bool any = std::any_of(features_.begin(), features_.end(), [](const FeatureRow& r) { return r.state != 0; });
      if (!any) return {false, Text("NoFeatures")};
      break;
    }
    case Page::Password:
      if (!engine_.SetPassword(password_)) return {false, Text("PasswordWrong")};
      break;
    default:
      break;
  }
  // The following page is the next one shown after this one: choices on
  // this page (an install type) may hide or show later pages.
  std::vector<Page> pages = Pages();
  Page next = Page::Done;
  for (Page p : pages)
    if (p > current_) {
      next = p;
      break;
    }
  history_.push_back(current_);
  current_ = next;
  return result;
}

std::string Wizard::Destination() {
  if (!destinationRead_) {
    destination_ = engine_.ParseText(engine_.Variable(destinationVariable_));
    destinationRead_ = true;
  }
  return destination_;
}

Outcome Wizard::CheckDestination(const std::string& input) {
  std::string folder = Trim(input);
  if (folder.empty()) return {false, Text("DestEmpty")};
  if (folder.size() > kMaxFolder) return {false, Text("DestTooLong", {std::to_string(kMaxFolder)})};
  bool onDrive = folder.size() >= 3 && std::isalpha(static_cast<unsigned char>(folder[0])) && folder[1] == ':' &&
                 folder[2] == '\\';
  if (!onDrive) {
    if (folder.size() == 2 && std::isalpha(static_cast<unsigned char>(folder[0])) && folder[1] == ':')
      return {false, Text("DestRoot", {folder})};
    return {false, Text("DestNotAbsolute", {engine_.ParseText("%AppName%")})};
  }
  std::string drive = folder.substr(0, 2);
  if (folder.find_first_not_of('\\', 3) == std::string::npos) return {false, Text("DestRoot", {drive})};
  for (size_t i = 2; i < folder.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(folder[i]);
    if (c < 32 || std::string("<>:\"|?*/").find(char(c)) != std::string::npos)
      return {false, Text("DestBadChar", {c < 32 ? "?" : std::string(1, char(c))})};
  }
  if (folder.find("\\\\") != std::string::npos) return {false, Text("DestBadChar", {"\\"})};
  FolderInfo info = engine_.Folder(folder);
  if (!info.known) return {};  // an engine without folder facts: the copy reports problems
  if (!info.drive) return {false, Text("DestNoDrive", {drive})};
  if (!info.exists && info.blocked) return {false, Text("DestBlocked", {folder})};
  if (!info.exists && !info.creatable) return {false, Text("DestReadOnly", {folder})};
  if (requiredBytes_ > 0 && info.freeBytes < requiredBytes_)
    return {false, Text("DestNoSpace", {drive, SizeText(requiredBytes_), SizeText(info.freeBytes)})};
  return {};
}

std::string Wizard::SpaceLine(const std::string& folder) {
  FolderInfo info = engine_.Folder(Trim(folder));
  if (!info.known || !info.drive) return "";
  return Text("DestSpace", {SizeText(requiredBytes_), SizeText(info.freeBytes)});
}

void Wizard::SelectInstallType(int index) {
  if (index >= 0 && size_t(index) < types_.size()) typeIndex_ = index;
}

void Wizard::RefreshFeatureStates() {
  for (FeatureRow& row : features_) row.state = engine_.FeatureState(row.info.id);
}

Outcome Wizard::ToggleFeature(size_t index) {
  if (index >= features_.size()) return {false, ""};
  FeatureRow& row = features_[index];
  bool on = row.state == 0;
  if (!on && row.info.required) return {false, Text("FeatureRequired", {row.info.name})};
  bool done = engine_.SetFeatureState(row.info.id, on);
  RefreshFeatureStates();
  if (!done) return {false, Text("FeatureRefused", {features_[index].info.name})};
  return {};
}

std::vector<std::string> Wizard::Summary() {
  std::vector<std::string> lines;
  if (std::find(configured_.begin(), configured_.end(), Page::Destination) != configured_.end())
    lines.push_back(Text("ReadyFolder", {Destination()}));
  if (typeIndex_ >= 0 && size_t(typeIndex_) < types_.size())
    lines.push_back(Text("ReadyType", {types_[size_t(typeIndex_)].name}));
  std::string names;
  for (const FeatureRow& row : features_)
    if (row.state != 0 && row.info.depth == 0) names += (names.empty() ? "" : ", ") + row.info.name;
  if (!names.empty()) lines.push_back(Text("ReadyFeatures", {names}));
  return lines;
}

void Wizard::OnProgress(vx_param filePercent, vx_param totalPercent) {
  (void)filePercent;
  int total = int(std::clamp<vx_param>(totalPercent, 0, 100));
  if (total > percent_) percent_ = total;
}

void Wizard::AbortInstall() {
  if (aborted_) return;
  aborted_ = true;
  engine_.AbortInstall();
}

Outcome Wizard::CheckPackageFolder(const std::string& folder) {
  if (Trim(folder).size() > kMaxPackageFolder - 1) return {false, Text("PackageFolderTooLong")};
  return {};
}

bool Wizard::OffersLaunch() { return Config("Launch", "0") == "1"; }

void Wizard::SetLaunch(bool launch) {
  engine_.SetVariable(Config("LaunchVariable", "LaunchApplication"), launch ? "1" : "0");
}

void Wizard::AnswerRestart(bool restartNow) {
  if (!restartNow) engine_.SetVariable("Reboot", "0");
}

}  // namespace vxwiz
