// The wizard's pages and their logic, without any window or terminal: which
// page comes next, what a page shows, what it accepts. A front end (the
// terminal wizard, a Windows dialog) renders the current page, passes the
// user's input in and calls Next, Back or Cancel; everything it shows comes
// from Text(), so every front end speaks the project's language.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "EngineLink.h"

namespace vxwiz {

// The wizard's texts: built-in English, replaced key by key by the section
// "Wizard" of the project's language file. "{1}", "{2}" stand for the
// arguments; "%Name%" parts are expanded by the engine.
class Texts {
 public:
  Texts();
  // Reads the section "Wizard" of a language file's text (INI form); keys it
  // lacks keep their English text.
  void Load(const std::string& iniText);
  const std::string& Raw(const std::string& key) const;

 private:
  std::map<std::string, std::string> texts_;
};

std::string FormatText(const std::string& text, const std::vector<std::string>& args);
// "1.5 MB" and the like.
std::string SizeText(uint64_t bytes);

enum class Page { Welcome, License, Destination, InstallType, Features, Password, Ready, Done };
const char* PageName(Page page);

struct Outcome {
  bool ok = true;
  std::string message;  // why a page was refused, in the user's language
};

// One line of the feature tree as a front end shows it.
struct FeatureRow {
  FeatureInfo info;
  int state = 0;  // 0 off, 1 on, 2 partly on
  uint64_t size = 0;  // from the configuration's [FeatureSizes], 0 if unknown
};

// The answers to a newer existing file.
enum class ConflictAnswer { KeepNewer = 1, Overwrite = 2, KeepAll = 3, OverwriteAll = 4 };

class Wizard {
 public:
  explicit Wizard(EngineLink& engine);

  // Reads the configuration (group "Wizard" of the plug-in's configuration)
  // and the texts of `language` ("ENU"). `configFile` is the plug-in's
  // configuration file, the base of a relative licence file name.
  void Load(const std::string& configFile, const std::string& language);
  void LoadTexts(const std::string& language);

  // Text of `key` with its arguments, variables expanded.
  std::string Text(const std::string& key, const std::vector<std::string>& args = {});
  bool Silent();

  // --- The pages before the installation ---
  void Start();  // back to the first page that is shown
  Page Current() const { return current_; }
  // The pages this run shows, in order (they depend on the choices made).
  std::vector<Page> Pages();
  bool CanGoBack();
  // Validates the current page and moves on; Page::Done after the last one.
  Outcome Next();
  void Back();

  // Licence.
  const std::string& LicenseText() const { return license_; }
  bool LicenseAccepted() const { return accepted_; }
  void SetLicenseAccepted(bool accepted) { accepted_ = accepted; }

  // Destination.
  std::string Destination();
  void SetDestination(const std::string& folder) {
    destination_ = folder;
    destinationRead_ = true;
  }
  Outcome CheckDestination(const std::string& folder);
  // "Space needed ... free ..." for the drive of `folder`; "" when the
  // engine knows nothing about that drive.
  std::string SpaceLine(const std::string& folder);

  // Install types.
  const std::vector<InstallTypeInfo>& InstallTypes() const { return types_; }
  int SelectedInstallType() const { return typeIndex_; }
  void SelectInstallType(int index);

  // Features.
  const std::vector<FeatureRow>& Features() const { return features_; }
  // Switches a feature (on or partly on becomes off, off becomes on) through
  // the engine and reads the whole tree's states back.
  Outcome ToggleFeature(size_t index);
  void RefreshFeatureStates();

  // Password.
  void SetPassword(const std::string& password) { password_ = password; }

  // Ready: the summary lines.
  std::vector<std::string> Summary();

  // --- During and after the installation ---
  // EV_FILEINSTALLPROGRESS; the overall percentage never goes back.
  void OnProgress(vx_param filePercent, vx_param totalPercent);
  int Percent() const { return percent_; }
  void OnFile(const std::string& path) { currentFile_ = path; }
  const std::string& CurrentFile() const { return currentFile_; }
  void OnStatus(const std::string& text) { status_ = text; }
  const std::string& Status() const { return status_; }
  // The user confirmed Cancel: the engine aborts and rolls back.
  void AbortInstall();
  bool Aborted() const { return aborted_; }

  // A folder typed for a missing package: fits the engine's 260 bytes.
  Outcome CheckPackageFolder(const std::string& folder);

  // Finish page.
  bool OffersLaunch();
  void SetLaunch(bool launch);
  void AnswerRestart(bool restartNow);

 private:
  bool Shown(Page page);
  std::string Config(const std::string& name, const std::string& def = "");
  void LoadLicense(const std::string& configFile);

  EngineLink& engine_;
  Texts texts_;
  std::vector<Page> configured_;
  Page current_ = Page::Welcome;
  std::vector<Page> history_;
  std::string license_;
  bool accepted_ = false;
  std::string destination_;
  bool destinationRead_ = false;
  std::string destinationVariable_ = "InstallPath";
  uint64_t requiredBytes_ = 0;
  std::vector<InstallTypeInfo> types_;
  int typeIndex_ = -1;
  std::vector<FeatureRow> features_;
  std::string password_;
  bool needsPassword_ = false;
  int percent_ = 0;
  std::string currentFile_, status_;
  bool aborted_ = false;
};

}  // namespace vxwiz
