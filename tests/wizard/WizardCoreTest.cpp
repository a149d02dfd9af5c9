// The wizard's page logic against a fake engine that answers the SDK's
// commands: page flow forward and back, validation, the feature tree, texts
// from a language file and the progress model.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Wizard.h"

namespace {

struct FakeFeature {
  std::string id, name, parent;
  bool required = false;
  bool on = false;
};

// The engine as the SDK shows it, small enough to reason about.
struct FakeEngine {
  std::map<std::string, std::string> vars;
  std::map<std::string, std::string> config;  // "group/name" -> value
  std::map<std::string, std::string> files;   // path -> bytes
  std::vector<FakeFeature> features;
  std::vector<std::pair<std::string, bool>> types;  // id, custom
  std::string activeType;
  std::string password;  // "" when the setup asks for none
  bool passwordOk = false;
  std::string folderInfo;  // the CM_GETFOLDERINFO answer, "" for none
  std::vector<std::string> log;
  int aborts = 0;
  std::string lastFolderAsked;

  int Index(const std::string& id) const {
    for (size_t i = 0; i < features.size(); ++i)
      if (features[i].id == id) return int(i);
    return -1;
  }
  // Switching a feature switches its whole subtree; a required feature
  // stays on.
  void Set(int i, bool on) {
    if (!on && features[size_t(i)].required) return;
    features[size_t(i)].on = on;
    for (size_t c = 0; c < features.size(); ++c)
      if (features[c].parent == features[size_t(i)].id) Set(int(c), on);
  }
  int State(int i) const {
    if (!features[size_t(i)].on) return 0;
    for (size_t c = 0; c < features.size(); ++c)
      if (features[c].parent == features[size_t(i)].id && State(int(c)) != 1) return 2;
    return 1;
  }
};

FakeEngine* g_engine = nullptr;

vx_param Put(const std::string& text, vx_param buffer) {
  if (text.empty()) return 0;
  if (!buffer) return vx_param(text.size() + 1);
  std::memcpy(reinterpret_cast<char*>(buffer), text.c_str(), text.size() + 1);
  return 0;
}

template <class Record>
vx_param PutRecord(const Record& header, const std::vector<std::string>& texts, std::vector<const char**> slots,
                   vx_param buffer) {
  size_t size = sizeof(Record);
  for (const auto& t : texts) size += t.size() + 1;
  if (!buffer) return vx_param(size);
  char* base = reinterpret_cast<char*>(buffer);
  char* p = base + sizeof(Record);
  for (size_t i = 0; i < texts.size(); ++i) {
    std::memcpy(p, texts[i].c_str(), texts[i].size() + 1);
    if (slots[i]) *slots[i] = p;
    p += texts[i].size() + 1;
  }
  std::memcpy(base, &header, sizeof header);
  return 0;
}

std::string S(vx_param p) { return p ? reinterpret_cast<const char*>(p) : ""; }

vx_param VXAPI FakeSend(int32_t, int32_t msg, vx_param p1, vx_param p2, int32_t) {
  FakeEngine& e = *g_engine;
  switch (msg) {
    case CM_GETVARIABLE: return e.vars.count(S(p1)) ? Put(e.vars[S(p1)], p2) : 0;
    case CM_SETVARIABLE: e.vars[S(p1)] = S(p2); e.log.push_back("set " + S(p1) + "=" + S(p2)); return 0;
    case CM_PARSETEXT: {
      std::string t = S(p1), out;
      for (size_t i = 0; i < t.size(); ++i) {
        size_t end = t[i] == '%' ? t.find('%', i + 1) : std::string::npos;
        if (end != std::string::npos && e.vars.count(t.substr(i + 1, end - i - 1))) {
          out += e.vars[t.substr(i + 1, end - i - 1)];
          i = end;
        } else {
          out += t[i];
        }
      }
      return Put(out, p2);
    }
    case CM_GETPCPARAM: {
      const char* const* r = reinterpret_cast<const char* const*>(p1);
      auto it = e.config.find(std::string(r[0]) + "/" + r[1]);
      return Put(it == e.config.end() ? r[2] : it->second, p2);
    }
    case CM_GETFEATURE: {
      int i = S(p1).empty() ? (e.features.empty() ? -1 : 0) : e.Index(S(p1));
      if (i < 0) return 0;
      const FakeFeature& f = e.features[size_t(i)];
      VXFeatureRecord r{};
      r.required = f.required ? -1 : 0;
      std::vector<std::string> texts = {f.id, f.name, "About " + f.name};
      std::vector<const char**> slots = {&r.id, &r.name, &r.description};
      if (!f.parent.empty()) texts.push_back(f.parent), slots.push_back(&r.parentId);
      // The fake lists features in depth-first order already.
      if (size_t(i) + 1 < e.features.size()) texts.push_back(e.features[size_t(i) + 1].id), slots.push_back(&r.nextId);
      return PutRecord(r, texts, slots, p2);
    }
    case CM_GETFEATURESTATE: { int i = e.Index(S(p1)); return i < 0 ? 0 : e.State(i); }
    case CM_SETFEATURESTATE: {
      int i = e.Index(S(p1));
      if (i < 0) return -1;
      e.Set(i, p2 == 1);
      return (e.State(i) != 0) == (p2 == 1) ? 0 : -1;
    }
    case CM_GETINSTALLTYPE: {
      size_t i = 0;
      if (!S(p1).empty()) {
        while (i < e.types.size() && e.types[i].first != S(p1)) ++i;
      }
      if (i >= e.types.size()) return 0;
      VXInstallTypeRecord r{};
      r.custom = e.types[i].second ? -1 : 0;
      std::vector<std::string> texts = {e.types[i].first, e.types[i].first + " type", ""};
      std::vector<const char**> slots = {&r.id, &r.name, &r.description};
      if (i + 1 < e.types.size()) texts.push_back(e.types[i + 1].first), slots.push_back(&r.nextId);
      return PutRecord(r, texts, slots, p2);
    }
    case CM_SETINSTALLTYPE:
      for (auto& t : e.types)
        if (t.first == S(p1)) {
          e.activeType = t.first;
          // The fake's types: "Full" selects everything, "Minimal" nothing.
          for (size_t f = 0; f < e.features.size(); ++f)
            if (e.features[f].parent.empty()) e.Set(int(f), t.first == "Full");
          return 0;
        }
      return -1;
    case CM_CALCEXPRESSION: {
      std::string r = S(p1) == "ActiveInstallType" ? e.activeType : "";
      char* block = new char[r.size() + 1];
      std::memcpy(block, r.c_str(), r.size() + 1);
      return reinterpret_cast<vx_param>(block);
    }
    case CM_FREEMEM: delete[] reinterpret_cast<char*>(p1); return 0;
    case CM_SETPASSWORD:
      e.log.push_back("password " + S(p1));
      if (S(p1) != e.password) return 1;
      e.passwordOk = true;
      return 0;
    case CM_ISPASSWORDVALID: return e.password.empty() || e.passwordOk ? 0 : 1;
    case CM_ABORTINSTALL: ++e.aborts; return 0;
    default: return 0;
  }
}

vx_param VXAPI FakeSendByName(int32_t, const char* name, vx_param p1, vx_param p2, int32_t) {
  FakeEngine& e = *g_engine;
  if (std::string(name) == "CM_READFILE") {
    auto it = e.files.find(S(p1));
    if (it == e.files.end() || it->second.empty()) return 0;
    if (!p2) return vx_param(it->second.size() + 1);
    std::memcpy(reinterpret_cast<char*>(p2), it->second.data(), it->second.size());
    reinterpret_cast<char*>(p2)[it->second.size()] = 0;
    return 0;
  }
  if (std::string(name) == "CM_GETFOLDERINFO") {
    e.lastFolderAsked = S(p1);
    return Put(e.folderInfo, p2);
  }
  return 0;
}

class WizardCore : public ::testing::Test {
 protected:
  void SetUp() override {
    g_engine = &engine;
    engine.vars = {{"AppName", "Quill"}, {"InstallPath", "%ProgramFiles%\\Quill"},
                   {"ProgramFiles", "C:\\Program Files"}};
    engine.folderInfo = "drive=1\r\nexists=0\r\ncreatable=1\r\nblocked=0\r\nfree=1000000000\r\n";
  }
  void TearDown() override { g_engine = nullptr; }
  vxwiz::Wizard& Load(const std::string& configFile = "C:\\T\\plugins\\0\\wizard.ini") {
    wizard = std::make_unique<vxwiz::Wizard>(link);
    wizard->Load(configFile, "ENU");
    return *wizard;
  }
  void AddTree(int tops, int children) {
    for (int t = 0; t < tops; ++t) {
      engine.features.push_back({"F" + std::to_string(t), "Feature " + std::to_string(t), "", t == 0, true});
      for (int c = 0; c < children; ++c)
        engine.features.push_back({"F" + std::to_string(t) + "." + std::to_string(c), "Part " + std::to_string(c),
                                   "F" + std::to_string(t), false, true});
    }
  }

  FakeEngine engine;
  vxwiz::EngineLink link{7, FakeSend, FakeSendByName};
  std::unique_ptr<vxwiz::Wizard> wizard;
};

using vxwiz::Page;

std::vector<Page> Walk(vxwiz::Wizard& w) {
  std::vector<Page> seen;
  for (int guard = 0; guard < 20 && w.Current() != Page::Done; ++guard) {
    seen.push_back(w.Current());
    if (!w.Next().ok) break;
  }
  return seen;
}

TEST_F(WizardCore, PagesFollowTheProjectAndGoBackAndForth) {
  // Nothing to choose: welcome, destination, ready.
  EXPECT_EQ(Walk(Load()), (std::vector<Page>{Page::Welcome, Page::Destination, Page::Ready}));
  EXPECT_EQ(engine.vars["InstallPath"], "C:\\Program Files\\Quill");

  // A licence, features, two install types, a password: every page. The
  // features page shows only while the custom type is chosen.
  engine.files["C:\\T\\plugins\\0\\eula.txt"] = "Terms.";
  engine.config["Wizard/LicenseFile"] = "eula.txt";
  engine.password = "pw";
  AddTree(2, 2);
  engine.types = {{"Full", false}, {"Custom", true}};
  engine.activeType = "Full";
  vxwiz::Wizard& w = Load();
  EXPECT_EQ(w.Pages(), (std::vector<Page>{Page::Welcome, Page::License, Page::Destination, Page::InstallType,
                                          Page::Password, Page::Ready}));
  EXPECT_FALSE(w.CanGoBack());
  w.Back();  // nothing before the first page
  EXPECT_EQ(w.Current(), Page::Welcome);
  ASSERT_TRUE(w.Next().ok);
  EXPECT_EQ(w.LicenseText(), "Terms.");
  EXPECT_FALSE(w.Next().ok);  // not accepted
  w.SetLicenseAccepted(true);
  ASSERT_TRUE(w.Next().ok);
  ASSERT_TRUE(w.Next().ok);  // destination as preset
  ASSERT_EQ(w.Current(), Page::InstallType);
  w.SelectInstallType(1);
  ASSERT_TRUE(w.Next().ok);
  EXPECT_EQ(engine.activeType, "Custom");
  EXPECT_EQ(w.Current(), Page::Features);
  // Back to the type, the full one again: the features page is gone.
  w.Back();
  EXPECT_EQ(w.Current(), Page::InstallType);
  w.SelectInstallType(0);
  ASSERT_TRUE(w.Next().ok);
  EXPECT_EQ(w.Current(), Page::Password);
  w.SetPassword("wrong");
  vxwiz::Outcome wrong = w.Next();
  EXPECT_FALSE(wrong.ok);
  EXPECT_EQ(wrong.message, "The password is not correct.");
  EXPECT_EQ(w.Current(), Page::Password);
  w.SetPassword("pw");
  ASSERT_TRUE(w.Next().ok);
  EXPECT_EQ(w.Current(), Page::Ready);
  EXPECT_EQ(w.Summary()[0], "Destination folder: C:\\Program Files\\Quill");
  ASSERT_TRUE(w.Next().ok);
  EXPECT_EQ(w.Current(), Page::Done);
  // Back from the end walks the same way home.
  for (int i = 0; i < 10; ++i) w.Back();
  EXPECT_EQ(w.Current(), Page::Welcome);

  // The configuration chooses pages (in the wizard's order, unknown names
  // ignored); a password already given leaves its page out.
  engine.config["Wizard/Pages"] = "ready, bogus ,welcome";
  EXPECT_EQ(Load().Pages(), (std::vector<Page>{Page::Welcome, Page::Ready}));
}

TEST_F(WizardCore, DestinationsAreCheckedWithAReason) {
  vxwiz::Wizard& w = Load();
  struct Case {
    std::string folder, info, message;
  } cases[] = {
      {"", "", "Please enter a destination folder."},
      {"   ", "", "Please enter a destination folder."},
      {"C:\\" + std::string(250, 'a'), "", "The folder name is too long: at most 200 characters."},
      {"Program Files\\Quill", "",
       "Please enter a full path that starts with a drive letter, such as C:\\Program Files\\Quill."},
      {"\\\\server\\share\\q", "",
       "Please enter a full path that starts with a drive letter, such as C:\\Program Files\\Quill."},
      {"C:", "", "Please choose a folder, not the root of drive C:."},
      {"D:\\", "", "Please choose a folder, not the root of drive D:."},
      {"C:\\\\\\", "", "Please choose a folder, not the root of drive C:."},
      {"C:\\a|b", "", "The folder name contains a character that is not allowed: |"},
      {"C:\\a\tb", "", "The folder name contains a character that is not allowed: ?"},
      {"C:\\a\\\\b", "", "The folder name contains a character that is not allowed: \\"},
      {"Q:\\Quill", "drive=0\r\n", "Drive Q: does not exist."},
      {"C:\\x.txt\\Quill", "drive=1\r\nexists=0\r\ncreatable=0\r\nblocked=1\r\n",
       "The folder C:\\x.txt\\Quill cannot be created: a file of that name is in the way."},
      {"Z:\\Quill", "drive=1\r\nexists=0\r\ncreatable=0\r\nblocked=0\r\n",
       "The folder Z:\\Quill cannot be created: the drive or folder is read-only."},
  };
  for (const Case& c : cases) {
    engine.folderInfo = c.info.empty() ? "drive=1\r\nexists=0\r\ncreatable=1\r\nfree=99999999\r\n" : c.info;
    vxwiz::Outcome o = w.CheckDestination(c.folder);
    EXPECT_FALSE(o.ok) << c.folder;
    EXPECT_EQ(o.message, c.message) << c.folder;
  }
  // Free space against the configured need; an existing folder is fine.
  engine.config["Wizard/RequiredSpaceKB"] = "2048";
  vxwiz::Wizard& w2 = Load();
  engine.folderInfo = "drive=1\r\nexists=1\r\ncreatable=1\r\nfree=1048576\r\n";
  EXPECT_EQ(w2.CheckDestination("C:\\Quill").message,
            "There is not enough free space on drive C:: 2.0 MB needed, 1.0 MB free.");
  engine.folderInfo = "drive=1\r\nexists=1\r\ncreatable=1\r\nfree=3145728\r\n";
  EXPECT_TRUE(w2.CheckDestination("C:\\Quill").ok);
  EXPECT_EQ(w2.SpaceLine("C:\\Quill"), "Space needed: 2.0 MB. Free space: 3.0 MB.");
  engine.folderInfo = "drive=0\r\nexists=0\r\ncreatable=0\r\nfree=0\r\n";
  EXPECT_EQ(w2.SpaceLine("Q:\\Quill"), "");  // no drive, no space to tell
  engine.folderInfo = "drive=1\r\nexists=1\r\ncreatable=1\r\nfree=3145728\r\n";
  // A refused folder keeps the page and the variable; a good one with a
  // trailing backslash is stored without it.
  ASSERT_TRUE(w2.Next().ok);  // welcome
  w2.SetDestination("Q:");
  EXPECT_FALSE(w2.Next().ok);
  EXPECT_EQ(w2.Current(), Page::Destination);
  EXPECT_EQ(engine.vars["InstallPath"], "%ProgramFiles%\\Quill");
  w2.SetDestination(" D:\\Apps\\Quill\\ ");
  ASSERT_TRUE(w2.Next().ok);
  EXPECT_EQ(engine.vars["InstallPath"], "D:\\Apps\\Quill");
  EXPECT_EQ(engine.lastFolderAsked, "D:\\Apps\\Quill\\");
  // An engine that cannot tell folder facts leaves the check to the copy.
  engine.folderInfo = "";
  EXPECT_TRUE(w2.CheckDestination("C:\\Quill").ok);
  EXPECT_EQ(w2.SpaceLine("C:\\Quill"), "");
}

TEST_F(WizardCore, FeatureTreeFollowsTheEngine) {
  AddTree(100, 4);  // 500 features
  engine.features[3].required = true;  // F0.2
  vxwiz::Wizard& w = Load();
  ASSERT_EQ(w.Features().size(), 500u);
  EXPECT_EQ(w.Features()[1].info.depth, 1);
  EXPECT_EQ(w.Features()[5].info.depth, 0);
  EXPECT_EQ(w.Features()[499].info.parentId, "F99");
  EXPECT_EQ(w.Pages()[1], Page::Destination);
  EXPECT_EQ(w.Pages()[2], Page::Features);

  // A child off: its parent is partly on; the parent off takes the
  // children; on again brings them back.
  ASSERT_TRUE(w.ToggleFeature(6).ok);  // F1.0
  EXPECT_EQ(w.Features()[6].state, 0);
  EXPECT_EQ(w.Features()[5].state, 2);
  ASSERT_TRUE(w.ToggleFeature(5).ok);  // F1, partly on: off
  EXPECT_EQ(w.Features()[5].state, 0);
  EXPECT_EQ(w.Features()[8].state, 0);
  ASSERT_TRUE(w.ToggleFeature(5).ok);
  EXPECT_EQ(w.Features()[5].state, 1);
  EXPECT_EQ(w.Features()[6].state, 1);
  // A required feature stays; its refusal names it.
  vxwiz::Outcome o = w.ToggleFeature(3);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.message, "The feature \"Part 2\" is required and cannot be left out.");
  EXPECT_EQ(w.Features()[3].state, 1);
  EXPECT_FALSE(w.ToggleFeature(500).ok);

  // Nothing chosen is refused on the page (the required one is under F0,
  // which the fake cannot switch off, so clear the requirement first).
  engine.features[3].required = false;
  engine.features[0].required = false;
  vxwiz::Wizard& w2 = Load();
  for (size_t i = 0; i < w2.Features().size(); ++i) {
    if (w2.Features()[i].info.depth == 0) {
      ASSERT_TRUE(w2.ToggleFeature(i).ok);
    }
  }
  ASSERT_TRUE(w2.Next().ok);
  ASSERT_TRUE(w2.Next().ok);
  ASSERT_EQ(w2.Current(), Page::Features);
  EXPECT_EQ(w2.Next().message, "Please choose at least one feature.");
  ASSERT_TRUE(w2.ToggleFeature(0).ok);
  EXPECT_TRUE(w2.Next().ok);
  EXPECT_EQ(w2.Summary().back(), "Features: Feature 0");
}

TEST_F(WizardCore, TextsComeFromTheLanguageFileWithEnglishBehind) {
  // No language file: English, variables expanded, arguments in place.
  vxwiz::Wizard& w = Load();
  EXPECT_EQ(w.Text("Title"), "Quill Setup");
  EXPECT_EQ(w.Text("DestNoDrive", {"Q:"}), "Drive Q: does not exist.");
  // A file whose section "Wizard" has some texts: those replace English,
  // the rest stay; other sections and unknown keys change nothing.
  engine.files["lng\\DEU.lng"] =
      "[Strings]\r\nLanguageName=Deutsch\r\nTitle=Wrong section\r\n[Wizard]\r\nTitle=%AppName% installieren\r\n"
      "DestNoDrive=Laufwerk {1} fehlt.\r\nUnknownKey=x\r\nWelcome=\r\n";
  w.LoadTexts("DEU");
  EXPECT_EQ(w.Text("Title"), "Quill installieren");
  EXPECT_EQ(w.Text("DestNoDrive", {"Q:"}), "Laufwerk Q: fehlt.");
  EXPECT_EQ(w.Text("Welcome"), "Welcome to the setup of Quill. It installs Quill on this computer.");
  // A language file without the wizard's texts falls back entirely.
  engine.files["lng\\FRA.lng"] = "[Strings]\r\n1=Un\r\n";
  w.LoadTexts("FRA");
  EXPECT_EQ(w.Text("Title"), "Quill Setup");
  EXPECT_EQ(vxwiz::FormatText("{1}-{2}-{3}", {"a", "b"}), "a-b-");
  EXPECT_EQ(vxwiz::SizeText(512), "512 bytes");

  // A binary licence shows no control bytes; a huge one is cut with a note.
  engine.config["Wizard/LicenseFile"] = "C:\\lic.bin";
  engine.files["C:\\lic.bin"] = std::string("A\x1b[2J\x01\x7f\nB", 9);
  EXPECT_EQ(Load().LicenseText(), "A?[2J??\nB");
  // Text in a code page keeps its letters; a file that is plainly no text
  // (a zero byte) keeps only its ASCII characters.
  engine.files["C:\\lic.bin"] = "Gew\xe4" "hr \xfc" "ber alles\r\n";
  EXPECT_EQ(Load().LicenseText(), "Gew\xe4" "hr \xfc" "ber alles\r\n");
  engine.files["C:\\lic.bin"] = std::string("MZ\x90\0\xff\xfeok", 8);
  EXPECT_EQ(Load().LicenseText(), "MZ????ok");
  engine.files["C:\\lic.bin"] = std::string(3u << 20, 'x');
  const std::string& cut = Load().LicenseText();
  EXPECT_LT(cut.size(), (1u << 20) + 200);
  EXPECT_NE(cut.find("too large"), std::string::npos);
  // A licence named relative to a plug-in without a configuration file is
  // not found rather than read from somewhere else.
  engine.config["Wizard/LicenseFile"] = "lic.bin";
  EXPECT_EQ(Load("").LicenseText(), "");
}

TEST_F(WizardCore, ProgressCancelAndAfterwards) {
  vxwiz::Wizard& w = Load();
  w.OnProgress(10, 40);
  w.OnProgress(100, 30);  // never backwards
  EXPECT_EQ(w.Percent(), 40);
  w.OnProgress(0, 250);
  EXPECT_EQ(w.Percent(), 100);
  w.AbortInstall();
  w.AbortInstall();
  EXPECT_EQ(engine.aborts, 1);
  EXPECT_TRUE(w.Aborted());
  EXPECT_FALSE(w.CheckPackageFolder(std::string(300, 'a')).ok);
  EXPECT_TRUE(w.CheckPackageFolder("C:\\Disk2").ok);
  engine.vars["Reboot"] = "1";
  w.AnswerRestart(true);
  EXPECT_EQ(engine.vars["Reboot"], "1");
  w.AnswerRestart(false);
  EXPECT_EQ(engine.vars["Reboot"], "0");
  EXPECT_FALSE(w.Silent());
  engine.vars["SilentMode"] = "1";
  EXPECT_TRUE(w.Silent());
}

}  // namespace
