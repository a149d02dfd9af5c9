// vxbuild: turns a project file and its source folder into a setup file
// (engine stub, cabinet, trailer) and one ".vxp" file per further package.
// The project file format is described in docs/vxbuild.md.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CabWriter.h"
#include "ProjectCheck.h"
#include "ProjectSchema.h"
#include "Output.h"
#include "database/VXClasses.h"
#include "database/kqXMLParser.h"
#include "format/FormatKeys.h"
#include "package/FileDigest.h"
#include "package/Package.h"
#include "package/PackageCrypt.h"
#include "system/ByteReader.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"

namespace fs = std::filesystem;
using namespace vx;

namespace {

struct BuildError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) throw BuildError("cannot read \"" + p.string() + "\"");
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string Attr(const TXMLTag& tag, const std::string& name, const std::string& def = "") {
  for (const std::string& a : tag.Attributes) {
    size_t eq = a.find('=');
    if (eq != std::string::npos && SameText(a.substr(0, eq), name)) return a.substr(eq + 1);
  }
  return def;
}
bool BoolAttr(const TXMLTag& tag, const std::string& name) { return Attr(tag, name, "0") == "1"; }

const TXMLTag* Child(const TXMLTag& tag, const std::string& name) {
  for (auto& c : tag.Children)
    if (c->Kind == TXMLTagKind::Element && c->Name == name) return c.get();
  return nullptr;
}

// A Windows-style relative name ("a\b.txt") as a native relative path.
fs::path NativeRel(const std::string& rel) {
  std::string s = rel;
  std::replace(s.begin(), s.end(), '\\', '/');
  return fs::path(s);
}
std::string StoredRel(const fs::path& rel) {
  std::string s = rel.generic_string();
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

// The full name of a TrueType/OpenType font from its name table (name ID 4,
// Windows Unicode names preferred); "" when there is none.
std::string FontName(const std::string& b) {
  auto u16 = [&](size_t o) { return o + 2 <= b.size() ? uint32_t(uint8_t(b[o])) << 8 | uint8_t(b[o + 1]) : 0u; };
  auto u32 = [&](size_t o) { return u16(o) << 16 | u16(o + 2); };
  if (b.size() < 12) return "";
  uint32_t tables = u16(4);
  for (uint32_t i = 0; i < tables; ++i) {
    size_t rec = 12 + 16 * size_t(i);
    if (rec + 16 > b.size()) return "";
    if (b.compare(rec, 4, "name") != 0) continue;
    size_t base = u32(rec + 8);
    uint32_t count = u16(base + 2), strings = base + u16(base + 4);
    std::string mac;
    for (uint32_t n = 0; n < count; ++n) {
      size_t r = base + 6 + 12 * size_t(n);
      if (r + 12 > b.size()) break;
      uint32_t platform = u16(r), nameId = u16(r + 6), len = u16(r + 8), off = u16(r + 10);
      if (nameId != 4 || strings + off + len > b.size()) continue;
      if (platform == 3) {
        std::string out;
        for (uint32_t k = 0; k + 1 < len; k += 2) {
          uint32_t c = u16(strings + off + k);
          out += c < 256 ? char(c) : '?';
        }
        return out;
      }
      if (platform == 1 && mac.empty()) mac = b.substr(strings + off, len);
    }
    return mac;
  }
  return "";
}

std::string VersionOf(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return "";
  ByteReader read = StreamReader(f);
  uint32_t ms = 0, ls = 0;
  if (!ReadVersionResource(read, ms, ls)) return "";
  return Format("%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
}

vxbuild::CabEntry FileEntry(const std::string& name, const fs::path& source) {
  vxbuild::CabEntry e;
  e.name = name;
  e.source = source.string();
  std::error_code ec;
  e.size = fs::file_size(source, ec);
  if (ec) throw BuildError("cannot read \"" + source.string() + "\"");
  if (e.size > 0xFFFFFFFFull) throw BuildError("\"" + source.string() + "\" is larger than 4 GB");
  vxbuild::FileDosTime(e.source, e.date, e.time);
  return e;
}
vxbuild::CabEntry MemoryEntry(const std::string& name, const std::string& bytes) {
  vxbuild::CabEntry e;
  e.name = name;
  e.content = bytes;
  e.fromMemory = true;
  e.size = bytes.size();
  vxbuild::GeneratedDosTime(e.date, e.time);
  return e;
}

// The splash picture as the engine reads it: the bitmap, then its display
// time in seconds and its opacity in percent (32-bit little-endian each).
// The attributes "time" and "opacity" set them; without them a trailer the
// file already has is kept, and a bare bitmap gets 0 seconds, opaque.
std::string SplashPicture(const fs::path& file, const TXMLTag& tag) {
  std::string bytes = ReadFile(file);
  if (bytes.size() < 14 || bytes.compare(0, 2, "BM") != 0)
    throw BuildError("the splash picture \"" + file.string() + "\" is not a bitmap");
  uint32_t bitmapSize = uint8_t(bytes[2]) | uint8_t(bytes[3]) << 8 | uint8_t(bytes[4]) << 16 | uint32_t(uint8_t(bytes[5])) << 24;
  if (bitmapSize < 14 || bitmapSize > bytes.size())
    throw BuildError("the splash picture \"" + file.string() + "\" is damaged (its size field does not fit the file)");
  bool hasTrailer = bytes.size() >= size_t(bitmapSize) + 8;
  auto field = [&](const char* name, size_t at, uint32_t fallback) -> uint32_t {
    std::string text = Attr(tag, name);
    if (text.empty())
      return hasTrailer ? uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8 | uint8_t(bytes[at + 2]) << 16 |
                              uint32_t(uint8_t(bytes[at + 3])) << 24
                        : fallback;
    int32_t value = 0;
    if (!ParseDecimal32(text, value) || value < 0)
      throw BuildError(std::string("the splash attribute ") + name + " must be a number of 0 or more");
    return uint32_t(value);
  };
  uint32_t seconds = field("time", bitmapSize, 0), opacity = field("opacity", size_t(bitmapSize) + 4, 100);
  bytes.resize(bitmapSize);
  for (uint32_t v : {seconds, opacity})
    for (int i = 0; i < 4; ++i) bytes += char(v >> (8 * i));
  return bytes;
}

// Where the databases go in a package's preparation part: right after the
// splash and preparation pictures (and their regions), which come first so
// that the engine can show them before the progress window appears.
size_t AfterPictures(const std::vector<vxbuild::CabEntry>& entries) {
  size_t i = 0;
  while (i < entries.size() && (StartsWithText(entries[i].name, "splash.") || StartsWithText(entries[i].name, "presetup.")))
    ++i;
  return i;
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

struct PackagePlan {
  TvxPackage* package = nullptr;  // in the project database
  std::string id, fileName;
  bool main = false;
  std::vector<vxbuild::CabEntry> presetup, data;
  std::unique_ptr<TvxFileInfos> infos = std::make_unique<TvxFileInfos>();
  uint32_t flags = 0;
  std::string wizardId;  // the plug-in entry of the wizard vxbuild adds
};

struct Options {
  fs::path project, out, stub, source, uninstaller, wizard;
  std::string password, name;
  std::string signCert, signKey, signPass, signTimestamp;  // osslsigncode
  bool haveStub = false, havePassword = false;
  bool check = false, strict = false, anyStub = false, noWizard = false;
};

// Reads and checks the project before anything is written; prints what
// the checks found and stops on errors (and on warnings with --strict).
std::unique_ptr<TXMLTag> LoadChecked(const Options& opt) {
  vxbuild::ProjectCheckOptions o;
  o.project = opt.project;
  o.source = opt.source;
  o.stub = opt.haveStub ? opt.stub : fs::path();
  o.setupName = opt.name;
  o.anyStub = opt.anyStub;
  vxbuild::Diagnostics diags;
  std::unique_ptr<TXMLTag> root = vxbuild::LoadProject(o, diags, opt.strict);
  diags.Print(stderr, opt.strict);
  int errors = diags.ErrorCount() + (opt.strict ? diags.WarningCount() : 0);
  if (!root || errors > 0)
    throw BuildError(std::to_string(errors) + (errors == 1 ? " error" : " errors") + " in the project; nothing was written");
  return root;
}

int Build(const Options& opt) {
  vxbuild::SetGeneratedTimeSource(opt.project.string());
  std::unique_ptr<TXMLTag> checked = LoadChecked(opt);
  TXMLTag& root = *checked;
  if (root.Name != "vx2project") throw BuildError("the project's root element must be \"vx2project\"");
  const TXMLTag* build = Child(root, "build");
  TXMLTag emptyBuild;
  if (!build) build = &emptyBuild;
  fs::path projectDir = opt.project.parent_path();
  fs::path source = !opt.source.empty() ? opt.source : projectDir / NativeRel(Attr(*build, "source", "."));
  fs::path outDir = !opt.out.empty() ? opt.out : projectDir / NativeRel(Attr(*build, "output", "."));
  std::string setupName = !opt.name.empty() ? opt.name : Attr(*build, "name", "setup.exe");
  std::string password = opt.havePassword ? opt.password : Attr(*build, "password");
  fs::path stub = opt.haveStub ? opt.stub : fs::path();
  if (stub.empty() && !Attr(*build, "stub").empty()) stub = projectDir / NativeRel(Attr(*build, "stub"));
  if (stub.empty()) throw BuildError("no engine stub: give --stub or the attribute stub of <build>");
  int level = std::atoi(Attr(*build, "level", "6").c_str());

  TvxMainDatabase db;
  db.Assign(root);

  // Packages: the setup file's own and the further ones.
  std::string mainId = setupName.substr(0, setupName.size() - ExtractFileExt(setupName).size());
  std::vector<PackagePlan> plans;
  PackagePlan mainPlan;
  mainPlan.main = true;
  mainPlan.id = mainId;
  mainPlan.fileName = mainId;
  plans.push_back(std::move(mainPlan));
  for (int i = 0; i < db.Packages->Count(); ++i) {
    auto& p = static_cast<TvxPackage&>(db.Packages->Get(i));
    if (p.Main || SameText(p.ID, mainId)) {
      plans[0].package = &p;
      continue;
    }
    if (p.ID.empty()) throw BuildError("a package without an id");
    PackagePlan plan;
    plan.package = &p;
    plan.id = p.ID;
    plan.fileName = p.FileName.empty() ? p.ID : p.FileName;
    plans.push_back(std::move(plan));
  }
  auto planFor = [&](const std::string& id) -> PackagePlan& {
    if (id.empty()) return plans[0];
    for (auto& p : plans)
      if (SameText(p.id, id)) return p;
    throw BuildError("a component names the unknown package \"" + id + "\"");
  };

  // Build settings of the packages.
  for (auto& c : build->Children) {
    if (c->Kind != TXMLTagKind::Element) continue;
    const TXMLTag& t = *c;
    PackagePlan& plan = planFor(Attr(t, "package"));
    fs::path file = source / NativeRel(Attr(t, "file"));
    if (t.Name == "language") {
      std::string code = Attr(t, "code", file.stem().string());
      plans[0].presetup.push_back(FileEntry("lng\\" + code + ".lng", file));
    } else if (t.Name == "splash" || t.Name == "presetup") {
      plan.presetup.insert(plan.presetup.begin(), t.Name == "splash" ? MemoryEntry("splash.bmp", SplashPicture(file, t))
                                                                     : FileEntry("presetup.bmp", file));
      fs::path rgn = file;
      rgn.replace_extension(".rgn");
      if (fs::exists(rgn)) plan.presetup.insert(plan.presetup.begin() + 1, FileEntry(t.Name + ".rgn", rgn));
    } else if (t.Name == "helper") {
      plans[0].presetup.push_back(FileEntry(file.filename().string(), file));
    } else if (t.Name == "flags") {
      plan.flags = (BoolAttr(t, "scrambled") ? uint32_t(kPackageScrambled) : 0u) |
                   (BoolAttr(t, "noprogress") ? uint32_t(kPackageNoProgress) : 0u) |
                   (BoolAttr(t, "quiet") ? uint32_t(kPackageQuiet) : 0u);
    }
  }

  // The programs that go with the engine: the uninstaller and the default
  // wizard, given by option or lying beside the stub, of the stub's kind.
  std::string stubHead = ReadFile(stub).substr(0, 4);
  bool windowsStub = stubHead.compare(0, 2, "MZ") == 0;
  // A stub that is no program (a test's placeholder) has no companions to
  // look for.
  bool programStub = windowsStub || stubHead == "\x7f" "ELF";
  auto companion = [&](fs::path chosen, const char* beside, const char* what) {
    if (chosen.empty() && programStub && beside) {
      std::error_code ec;
      fs::path dir = stub.parent_path();
      if (!dir.empty() && fs::is_regular_file(dir / beside, ec)) chosen = dir / beside;
    }
    if (!chosen.empty()) {
      std::string head = ReadFile(chosen).substr(0, 4);
      if ((head.compare(0, 2, "MZ") == 0) != windowsStub)
        throw BuildError(std::string("the ") + what + " \"" + chosen.string() + "\" is not a program of the stub's kind (" +
                         (windowsStub ? "Windows" : "native") + ")");
    }
    return chosen;
  };

  // The uninstaller every installation gets, unless the project brings its
  // own as a helper: --uninstaller, the attribute "uninstaller", else the
  // program of the stub's kind beside the stub.
  bool ownUninstaller = false;
  for (const auto& e : plans[0].presetup) ownUninstaller = ownUninstaller || SameText(e.name, "Uninstall.exe");
  if (!ownUninstaller) {
    const char* wanted = windowsStub ? "Uninstall.exe" : "vxuninstall";
    fs::path given = opt.uninstaller;
    if (given.empty() && !Attr(*build, "uninstaller").empty()) given = projectDir / NativeRel(Attr(*build, "uninstaller"));
    fs::path chosen = companion(given, wanted, "uninstaller");
    if (!chosen.empty()) {
      plans[0].presetup.push_back(FileEntry("Uninstall.exe", chosen));
    } else {
      TvxVariable* v = db.Variables ? db.Variables->FindVariable("Uninstall") : nullptr;
      if (v && Trim(v->Value) == "1")
        std::fprintf(stderr,
                     "vxbuild: warning: the project asks for an uninstaller (variable Uninstall) and no \"%s\" lies "
                     "beside the stub; its installations cannot be uninstalled (give --uninstaller FILE)\n",
                     wanted);
    }
  }

  // The wizard of a project that brings no user-interface plug-in of its
  // own: --wizard, else the Windows wizard beside a Windows stub. Native
  // setups get the terminal wizard only when asked (--wizard): a setup on
  // the sandbox machine is mostly run by scripts.
  bool ownPlugins = false;
  for (int i = 0; i < db.Packages->Count(); ++i) {
    auto& p = static_cast<TvxPackage&>(db.Packages->Get(i));
    ownPlugins = ownPlugins || (p.Plugins && p.Plugins->Count() > 0);
  }
  if (ownPlugins && !opt.wizard.empty())
    std::fprintf(stderr, "vxbuild: warning: the project brings its own user-interface plug-in; --wizard is not used\n");
  fs::path wizard;
  if (!ownPlugins && !opt.noWizard) wizard = companion(opt.wizard, windowsStub ? "VXWizard.dll" : nullptr, "wizard");
  if (!wizard.empty()) {
    plans[0].presetup.push_back(FileEntry(windowsStub ? "plugins\\0\\VXWizard.dll" : "plugins\\0\\wizard.dll", wizard));
    plans[0].wizardId = windowsStub ? "VX.WindowsWizard" : "VX.TerminalWizard";
  }

  // Plug-in folders: the attribute "srcfolder" of a package's plug-in entry.
  if (const TXMLTag* packages = Child(root, "packages")) {
    for (auto& pt : packages->Children) {
      if (pt->Kind != TXMLTagKind::Element || pt->Name != "package") continue;
      PackagePlan& plan = (BoolAttr(*pt, "main") || SameText(Attr(*pt, "id"), mainId)) ? plans[0] : planFor(Attr(*pt, "id"));
      const TXMLTag* plugins = Child(*pt, "plugins");
      int index = 0;
      for (auto& pl : plugins ? plugins->Children : emptyBuild.Children) {
        if (pl->Kind != TXMLTagKind::Element || pl->Name != "plugin") continue;
        std::string folder = Attr(*pl, "srcfolder");
        if (!folder.empty()) {
          fs::path dir = source / NativeRel(folder);
          std::vector<fs::path> files;
          for (auto& f : fs::recursive_directory_iterator(dir))
            if (f.is_regular_file()) files.push_back(f.path());
          std::sort(files.begin(), files.end());
          for (auto& f : files)
            plan.presetup.push_back(
                FileEntry("plugins\\" + std::to_string(index) + "\\" + StoredRel(fs::relative(f, dir)), f));
        }
        ++index;
      }
    }
  }

  // Data entries and file records.
  for (int i = 0; i < db.Components->Count(); ++i) {
    auto& comp = static_cast<TvxComponent&>(db.Components->Get(i));
    PackagePlan& plan = planFor(comp.Package);
    std::map<std::string, bool> seen;
    for (int f = 0; f < comp.Files->Count(); ++f) {
      auto& item = static_cast<TvxFile&>(comp.Files->Get(f));
      if (item.Flags.Contains(TvxFlag::external) || item.Action == TvxInstallAction::remove) continue;
      std::vector<std::string> rels;
      if (HasWildcard(item.Src)) {
        fs::path dir = source / NativeRel(ExtractFilePath(item.Src));
        std::string mask = ExtractFileName(item.Src);
        if (fs::is_directory(dir)) {
          for (auto& e : fs::recursive_directory_iterator(dir)) {
            if (!e.is_regular_file()) continue;
            std::string name = e.path().filename().string();
            std::string dotted = ExtractFileExt(name).empty() ? name + "." : name;
            if (MatchesPattern(dotted, mask) || MatchesPattern(name, mask))
              rels.push_back(StoredRel(fs::relative(e.path(), source)));
          }
        }
        std::sort(rels.begin(), rels.end());
      } else if (!item.Src.empty()) {
        rels.push_back(item.Src);
      }
      for (auto& rel : rels) {
        std::string key = LowerCase(rel);
        if (seen[key]) continue;
        seen[key] = true;
        if (!IsSafeEntryName(rel)) throw BuildError("the source name \"" + rel + "\" leaves the source folder");
        fs::path file = source / NativeRel(rel);
        if (!fs::is_regular_file(file)) throw BuildError("missing source file \"" + file.string() + "\"");
        std::string packed = "data\\" + comp.ID() + "\\" + rel;
        plan.data.push_back(FileEntry(packed, file));
        uint32_t crc = 0;
        if (!vxbuild::NativeFileDigest(file, crc)) throw BuildError("cannot read \"" + file.string() + "\"");
        plan.data.back().crc = crc;
        auto info = std::make_unique<TvxFileInfo>(plan.infos.get());
        info->Name = comp.ID() + "\\" + rel;
        info->Size = int32_t(plan.data.back().size);
        info->Version = VersionOf(file);
        info->Crc32c = DigestText(crc);
        std::string ext = LowerCase(ExtractFileExt(rel));
        if (ext == ".ttf" || ext == ".otf" || ext == ".ttc" || item.Flags.Contains(TvxFlag::reg_font))
          info->FontName = FontName(ReadFile(file));
        plan.infos->Add(std::move(info));
      }
    }
  }

  // The package databases: each package with its full components.
  for (auto& plan : plans) {
    TvxPackage pkg;
    pkg.ID = plan.id;
    pkg.FileName = plan.fileName;
    pkg.Main = plan.main;
    if (plan.package) {
      if (plan.package->Plugins) pkg.Plugins->Assign(*plan.package->Plugins);
      if (plan.package->Variables) pkg.Variables->Assign(*plan.package->Variables);
    }
    if (!plan.wizardId.empty()) {
      auto entry = std::make_unique<TvxPlugin>(pkg.Plugins.get());
      entry->ID = plan.wizardId;
      pkg.Plugins->Add(std::move(entry));
    }
    for (int i = 0; i < db.Components->Count(); ++i) {
      auto& comp = static_cast<TvxComponent&>(db.Components->Get(i));
      if (&planFor(comp.Package) != &plan) continue;
      auto copy = std::make_unique<TvxComponent>(pkg.Components.get());
      copy->Assign(comp);
      pkg.Components->Add(std::move(copy));
    }
    pkg.FileInfos->Assign(*plan.infos);
    TXMLTag tag;
    tag.SetName("package");
    pkg.AssignTo(tag);
    plan.presetup.insert(plan.presetup.begin() + ptrdiff_t(AfterPictures(plan.presetup)),
                         MemoryEntry("db.pdb", EncryptDatabase(tag.GetXML(0))));
  }

  // The project database: components without their items, the further
  // packages by name only, the password check hash, no build settings.
  if (!password.empty()) {
    TvxVariable* v = db.Variables->FindVariable("PswCheckHash");
    if (!v) {
      auto nv = std::make_unique<TvxVariable>(db.Variables.get());
      v = nv.get();
      db.Variables->Add(std::move(nv));
      v->Name = "PswCheckHash";
    }
    v->Value = PasswordCheckHash(password);
  }
  TXMLTag project;
  project.SetName("vx2project");
  db.AssignTo(project);
  for (auto& c : project.Children) {
    if (c->Name == "components") {
      for (auto& comp : c->Children) comp->Children.Clear();
    } else if (c->Name == "packages") {
      c->Children.Clear();
      for (size_t i = 1; i < plans.size(); ++i) {
        auto slim = std::make_unique<TXMLTag>();
        slim->SetName("package");
        slim->Attributes = {"filename=" + plans[i].fileName, "id=" + plans[i].id};
        c->Children.Add(std::move(slim));
      }
    }
  }
  plans[0].presetup.insert(plans[0].presetup.begin() + ptrdiff_t(AfterPictures(plans[0].presetup) + 1),
                           MemoryEntry("main.pdb", EncryptDatabase(project.GetXML(0))));

  std::optional<std::array<uint8_t, 32>> key;
  if (!password.empty()) {
    Key256 k = HashText(password);
    key.emplace();
    std::copy(k.begin(), k.end(), key->begin());
  }
  fs::create_directories(outDir);
  std::string stubBytes = ReadFile(stub);
  bool sign = !opt.signCert.empty() || !opt.signKey.empty();
  if (sign && (opt.signCert.empty() || opt.signKey.empty()))
    throw BuildError("signing needs both --sign-cert and --sign-key");
  if (sign && !vxbuild::IsWindowsImage(stub)) throw BuildError("only a setup file with a Windows stub can be signed");
  // Every file is written beside its target first and replaces it only
  // when the whole build has succeeded.
  vxbuild::OutputSet outputs;
  vxbuild::Progress progress;
  std::vector<std::string> summaries;
  for (auto& plan : plans) {
    bool scrambled = plan.flags & kPackageScrambled;
    // The extraction library looks for the cabinet's signature in the
    // first bytes of the file; the stub must not hold it and must leave
    // room for the cabinet there.
    if (plan.main) {
      if (stubBytes.size() + 36 > kPackageCabinetWindow)
        throw BuildError("the engine stub has " + std::to_string(stubBytes.size()) +
                         " bytes; the cabinet must start within the first 524272 bytes of the setup file");
      std::string sig("MSCF\0\0\0\0", 8);
      if (scrambled)
        for (char& ch : sig) ch = char(uint8_t(ch) ^ kScrambleMask);
      if (stubBytes.find(sig) != std::string::npos)
        throw BuildError("the engine stub holds a cabinet signature; the cabinet would not be found");
    }
    fs::path path = outDir / (plan.main ? setupName : plan.fileName + ".vxp");
    std::ofstream* stream = nullptr;
    std::string openError;
    if (!outputs.Open(path, plan.main, stream, openError)) throw BuildError(openError);
    std::ofstream& out = *stream;
    if (plan.main) out.write(stubBytes.data(), std::streamsize(stubBytes.size()));
    std::vector<vxbuild::CabFolder> folders(1);
    folders[0].entries = std::move(plan.presetup);
    if (!plan.data.empty()) {
      folders.emplace_back();
      folders[1].entries = std::move(plan.data);
      folders[1].encrypt = key.has_value();
    }
    vxbuild::CabOptions o;
    o.level = level;
    o.scramble = scrambled;
    o.mask = kScrambleMask;
    o.key = key;
    progress.Start(path.filename().string());
    o.progress = [&progress](uint64_t files, uint64_t bytes) { progress.Update(files, bytes); };
    vxbuild::CabResult r;
    std::string error;
    bool written = vxbuild::WriteCabinet(out, folders, o, r, error);
    progress.Finish();
    if (!written) throw BuildError(path.string() + ": " + error);
    PackageTrailer t;
    t.StubSize = plan.main ? uint32_t(stubBytes.size()) : 0;
    t.TotalSize = uint32_t(uint64_t(out.tellp()) + kPackageTrailerSize);
    t.PresetupSize = uint32_t(r.unpacked[0]);
    t.DataSize = r.unpacked.size() > 1 ? uint32_t(r.unpacked[1]) : 0;
    t.Flags = plan.flags;
    std::string trailer = EncodeTrailer(t);
    out.write(trailer.data(), std::streamsize(trailer.size()));
    if (!outputs.Close(path, error)) throw BuildError(error);
    std::string signature;
    if (plan.main && sign) {
      if (!vxbuild::SignFile(outputs.Temporary(path), opt.signCert, opt.signKey, opt.signPass, opt.signTimestamp, error))
        throw BuildError(path.string() + ": " + error);
      signature = ", signed";
    }
    summaries.push_back(path.string() + ": " + std::to_string(t.TotalSize) + " bytes, preparation " +
                        std::to_string(t.PresetupSize) + ", data " + std::to_string(t.DataSize) + signature);
  }
  std::string error;
  if (!outputs.Commit(error)) throw BuildError(error);
  for (const std::string& line : summaries) std::printf("%s\n", line.c_str());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: vxbuild PROJECT.xml [--stub FILE] [--out DIR] [--source DIR] [--name SETUP.exe]\n"
               "               [--password TEXT] [--uninstaller FILE] [--wizard FILE | --no-wizard]\n"
               "               [--sign-cert CERT --sign-key KEY [--sign-pass TEXT] [--sign-timestamp URL]]\n");
  return 2;
}

int Help() {
  std::printf(
      "usage: vxbuild PROJECT.xml [options]   build the setup file and its packages\n"
      "       vxbuild PROJECT.xml --check     check the project, write nothing\n"
      "       vxbuild --reference | --schema  print the project format (Markdown | XML Schema)\n"
      "\n"
      "  --stub FILE         the engine the setup file starts with\n"
      "  --out DIR           output folder\n"
      "  --source DIR        folder of the files to pack\n"
      "  --name SETUP.exe    file name of the setup file\n"
      "  --password TEXT     encrypt the data with this password\n"
      "  --uninstaller FILE  the uninstaller program to include\n"
      "  --wizard FILE       the wizard to add to a project without user-interface plug-ins\n"
      "                      (default: VXWizard.dll beside a Windows stub; none for a native one)\n"
      "  --no-wizard         add no wizard\n"
      "  --sign-cert CERT --sign-key KEY [--sign-pass TEXT] [--sign-timestamp URL]\n"
      "                      sign a setup file with a Windows stub\n"
      "  --check             only check the project\n"
      "  --strict            treat warnings as errors\n"
      "  --any-stub          accept a stub that is no program (tests of the package layout)\n"
      "  -h, --help          this text\n"
      "\n"
      "Paths given as options are relative to the current folder; paths in the project are\n"
      "relative to the project file (source, output, stub, uninstaller) or to the source\n"
      "folder (files). Exit code 0 success, 1 errors in the project or the build, 2 usage.\n"
      "See docs/vxbuild.md and docs/project-reference.md.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw BuildError(a + " needs a value");
      return argv[++i];
    };
    try {
      if (a == "--stub") opt.stub = value(), opt.haveStub = true;
      else if (a == "--out") opt.out = value();
      else if (a == "--source") opt.source = value();
      else if (a == "--name") opt.name = value();
      else if (a == "--password") opt.password = value(), opt.havePassword = true;
      else if (a == "--uninstaller") opt.uninstaller = value();
      else if (a == "--wizard") opt.wizard = value();
      else if (a == "--no-wizard") opt.noWizard = true;
      else if (a == "--sign-cert") opt.signCert = value();
      else if (a == "--sign-key") opt.signKey = value();
      else if (a == "--sign-pass") opt.signPass = value();
      else if (a == "--sign-timestamp") opt.signTimestamp = value();
      else if (a == "--check") opt.check = true;
      else if (a == "--strict") opt.strict = true;
      else if (a == "--any-stub") opt.anyStub = true;
      else if (a == "-h" || a == "--help") return Help();
      else if (a == "--reference") return std::fputs(vxbuild::ProjectReference().c_str(), stdout) < 0;
      else if (a == "--schema") return std::fputs(vxbuild::ProjectXsd().c_str(), stdout) < 0;
      else if (a.size() > 1 && a[0] == '-') return std::fprintf(stderr, "vxbuild: unknown option \"%s\"\n", a.c_str()), Usage();
      else if (opt.project.empty()) opt.project = a;
      else return std::fprintf(stderr, "vxbuild: a second project file \"%s\"; give one\n", a.c_str()), Usage();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vxbuild: %s\n", e.what());
      return 2;
    }
  }
  if (opt.project.empty()) return Usage();
  if (opt.check) {
    try {
      LoadChecked(opt);
      std::printf("%s: no errors\n", opt.project.string().c_str());
      return 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vxbuild: %s\n", e.what());
      return 1;
    }
  }
  try {
    return Build(opt);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vxbuild: %s\n", e.what());
    return 1;
  }
}
