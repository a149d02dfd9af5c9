#include "engine/EngineStages.h"

#include <algorithm>

#include "database/VXClasses.h"
#include "database/Variables.h"
#include "engine/Common.h"
#include "package/Package.h"
#include "system/RunLog.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"

// The setup file and the further packages: checked, prepared and merged
// into the main database; the components chosen decide which packages are
// needed.
namespace vx {

namespace {

// Shows a failure of the package layer where the run meets it.
void ShowPackageError(RunSession& session, const Status& status) {
  std::string caption, text;
  PackageErrorText(status, caption, text);
  session.GetPrompts().ErrorBox(caption, text);
}

// Prepares the packages; a failure other than the disk space (which has a
// box of its own) is reported by the caller.
bool Prepare(RunSession& session, TvxPackages& packages) {
  Status status = PreparePackages(session, packages);
  if (status.id == kPackageNoDiskSpace) ShowPackageError(session, status);
  return status.ok();
}

}  // namespace

bool EngineStages::OpenSetupFile() {
  TvxMainDatabase& db = session_.Database();
  TvxPackage* main = db.Packages->AddNew();
  main->FullFileName = session_.State().engineFile;
  main->Needed = true;
  main->Main = true;
  if (Status status = CheckPackage(session_, *main); !status) {
    ShowPackageError(session_, status);
    return false;
  }
  if (!Prepare(session_, *db.Packages)) {
    session_.GetPrompts().ShowError(
        "Cannot prepare main package.\rProbably incorrect TMP/TEMP variables or there is no execute permission for "
        "temporary folder.");
    return false;
  }
  if (!LoadPackageDatabase(*main)) return false;
  db.Variables->Clear();
  LoadMainProjectDatabase(db, *main);
  // The silent settings, switches and session values override what the
  // project brought.
  ApplySilentSettings(db, &session_.SilentSettings(), session_.Commands());
  DefineSessionValues(db, session_.Commands(), session_.State().engineFile);
  session_.State().rebootOnFinish = session_.GetBoolVariable("Reboot", false);
  // An unattended run brings the installation password on its command
  // line; it is kept only when it passes the check, like one typed into the
  // wizard, and is never written to the log.
  if (auto password = session_.Commands().FindSwitch("password:*")) {
    bool accepted = session_.SetPassword(RemoveQuotes(password->substr(10)));
    RunLog("step", std::string("password from the command line ") + (accepted ? "accepted" : "refused"));
  }
  RunLog("step", Format("setup file opened: %d package(s), %d component(s)", db.Packages->Count(),
                        db.Components->Count()));
  return true;
}

bool EngineStages::ChooseComponentsAndPackages() {
  TvxComponents& components = *session_.Database().Components;
  if (session_.Database().Features->Count() == 0) {
    for (int i = 0; i < components.Count(); ++i) components[i].Marked = IsAvailable(&components[i]);
  } else {
    bool ok = true;
    ForEachFeature(*session_.Database().Features, [&](TvxFeature& f) {
      if (!ok || !f.Selected || !f.Components) return;
      for (int j = 0; j < f.Components->Count() && ok; ++j) {
        const std::string& id = (*f.Components)[j].ID();
        auto* c = static_cast<TvxComponent*>(components.FindByID(id));
        if (!c) {
          session_.GetPrompts().ErrorBox("Error", Format("Component ID=\"%s\" not found.", id.c_str()));
          ok = false;
        } else if (IsAvailable(c)) {
          c->Marked = true;
        }
      }
    });
    if (!ok) return false;
  }
  std::string baseName = ChangeFileExt(ExtractFileName(session_.State().engineFile), "");
  for (int i = components.Count() - 1; i >= 0; --i) {
    if (!components[i].Marked) components.Delete(i);
    else if (components[i].Package.empty()) components[i].Package = baseName;
  }
  for (int i = 0; i < components.Count(); ++i) {
    auto* package = static_cast<TvxPackage*>(session_.Database().Packages->FindByID(components[i].Package));
    // A renamed setup file ("Setup (1).exe" from a browser) no longer names
    // its own package: the components that fell to it by name are the ones
    // the setup file carries itself.
    if (!package && SameText(components[i].Package, baseName) && session_.Database().Packages->Count() > 0) {
      package = &(*session_.Database().Packages)[0];
      if (package->ID.empty()) package->ID = baseName;
      RunLog("step", "the setup file's own package \"" + package->ID + "\" stands for \"" + baseName + "\"");
      components[i].Package = package->ID;
    }
    if (!package) {
      session_.GetPrompts().ErrorBox("Error",
                                     Format("Can't find package \"%s\" in main database.", components[i].Package.c_str()));
      return false;
    }
    package->Needed = true;
  }
  for (int i = session_.Database().Packages->Count() - 1; i >= 1; --i)
    if (!(*session_.Database().Packages)[i].Needed) session_.Database().Packages->Delete(i);
  if (session_.Database().Packages->Count() > 1 && !PrepareFurtherPackages()) return false;
  MergePackageComponents();
  return true;
}

bool EngineStages::PrepareFurtherPackages() {
  TvxPackages& packages = *session_.Database().Packages;
  for (int i = 1; i < packages.Count(); ++i) {
    // Package files lie beside the setup file, the current folder.
    packages[i].FullFileName = CurrentHost().FullPath(ChangeFileExt(packages[i].FileName, ".vxp"));
    if (Status status = CheckPackage(session_, packages[i]); !status) {
      ShowPackageError(session_, status);
      return false;
    }
  }
  if (!Prepare(session_, packages)) {
    session_.GetPrompts().ErrorBox("Error", "Cannot prepare packages.");
    return false;
  }
  for (int i = 1; i < packages.Count(); ++i)
    if (!LoadPackageDatabase(packages[i])) return false;
  return true;
}

// Each chosen component takes its files and other items from the database
// of the package that carries it, the setup file's own included: without
// this a single-file setup would install components without files.
void EngineStages::MergePackageComponents() {
  TvxPackages& packages = *session_.Database().Packages;
  TvxComponents& components = *session_.Database().Components;
  for (int i = 0; i < components.Count(); ++i) {
    auto* package = static_cast<TvxPackage*>(packages.FindByID(components[i].Package));
    if (!package || !package->Components) continue;
    auto* entry = static_cast<TvxComponent*>(package->Components->FindByID(components[i].ID()));
    if (!entry) continue;
    entry->Package = components[i].Package;
    components[i].Assign(*entry);
  }
}


namespace {

// The files below `folder` with their sizes, relative names in walk order.
void LogFolderFiles(Host& host, const std::string& folder, const std::string& relative) {
  std::vector<FindEntry> entries;
  uint32_t error = 0;
  host.ListFolder(folder + relative, "*", entries, error);
  std::sort(entries.begin(), entries.end(),
            [](const FindEntry& a, const FindEntry& b) { return CompareText(a.name, b.name) < 0; });
  for (const FindEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    if (e.attributes & kAttrDirectory)
      LogFolderFiles(host, folder, relative + e.name + "\\");
    else
      RunLog("prepared", LogQuote(relative + e.name) + " " + std::to_string(e.size));
  }
}

}  // namespace

void EngineStages::LogState() {
  if (!RunLogActive()) return;
  Host& host = CurrentHost();
  for (int i = 0; i < session_.Database().Packages->Count(); ++i) {
    auto& p = static_cast<TvxPackage&>(session_.Database().Packages->Get(i));
    RunLog("package", Format("%s main=%d needed=%d prepared=%d folder=%s", LogQuote(p.FileName).c_str(), int(p.Main),
                             int(p.Needed), int(p.Prepared), LogQuote(p.TempPath).c_str()));
    if (p.Prepared && !p.TempPath.empty()) LogFolderFiles(host, p.TempPath, "");
  }
  RunLog("database", Format("%d component(s), %d feature(s), %d variable(s)", session_.Database().Components->Count(),
                            session_.Database().Features->Count(), session_.Database().Variables->Count()));
  for (int i = 0; i < session_.Database().Variables->Count(); ++i) {
    auto& v = static_cast<TvxVariable&>(session_.Database().Variables->Get(i));
    // Whatever is named like a password stays out of the log, and so does
    // the command line when it carries one.
    bool secret = LowerCase(v.Name).find("password") != std::string::npos ||
                  (SameText(v.Name, "ParamStr") && session_.Commands().HasSwitch("password:*"));
    if (secret) {
      RunLog("variable", v.Name + "=(hidden)");
      continue;
    }
    // The value as stored and, where it differs, as the run uses it.
    std::string value = vx::GetVariable(&session_.Database(), v.Name);
    RunLog("variable", v.Name + "=" + LogQuote(v.Value) + (value == v.Value ? "" : " -> " + LogQuote(value)));
  }
}

}  // namespace vx
