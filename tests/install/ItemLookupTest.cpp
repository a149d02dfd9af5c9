// The item of a packed file: the indexed lookup against the plain item-by-item
// rule, the packed-name split and the destination of an item's file.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database/VXClasses.h"
#include "install/ItemLookup.h"
#include "support/FakeExpressions.h"
#include "system/kqStrUtils.h"

using namespace vx;

namespace {

struct ItemSpec {
  std::string src;
  bool external = false;
  bool remove = false;
  std::string condition;  // "0" is false under FakeExpressions
};

TvxComponent& AddComponent(TvxMainDatabase& db, const std::string& id, const std::vector<ItemSpec>& items) {
  TvxComponent& c = *db.Components->AddNew();
  c.SetID(id);
  for (const ItemSpec& s : items) {
    TvxFile& f = *c.Files->AddNew();
    f.Src = s.src;
    f.Dst = "%AppDir%\\" + s.src;
    if (s.external) f.Flags.Include(TvxFlag::external);
    if (s.remove) f.Action = TvxInstallAction::remove;
    f.Condition = s.condition;
  }
  return c;
}

// The position of the found item in its component, -1 for none.
int Position(const TvxComponent& c, const TvxFile* item) { return item ? c.Files->IndexOf(item) : -1; }

class ItemLookupTest : public ::testing::Test {
 protected:
  void SetUp() override { db.Expressions = &expressions; }

  // The item both lookups find (they must agree), as its position.
  int Find(const TvxComponent& c, const std::string& relative, bool externalPass = false) {
    const ItemAvailable available = [](const TvxFile& f) { return IsAvailable(&f); };
    int linear = Position(c, LinearFindItem(c, relative, externalPass, available));
    int indexed = Position(c, ItemIndex(c).Find(relative, externalPass));
    EXPECT_EQ(indexed, linear) << "relative name " << relative;
    return indexed;
  }

  vxtest::FakeExpressions expressions;
  TvxMainDatabase db;
};

TEST_F(ItemLookupTest, ExactNamesIgnoreCaseAndCompareWithTheAddedDot) {
  TvxComponent& c = AddComponent(db, "C", {{"readme.txt"}, {"LICENSE"}, {"sub\\Setup.ini"}, {"notes."}});
  EXPECT_EQ(Find(c, "README.TXT"), 0);
  EXPECT_EQ(Find(c, "license"), 1);
  EXPECT_EQ(Find(c, "license."), 1);  // the name without extension gets its dot anyway
  EXPECT_EQ(Find(c, "notes"), 3);
  EXPECT_EQ(Find(c, "SUB\\setup.INI"), 2);
  EXPECT_EQ(Find(c, "setup.ini"), -1);  // the folder belongs to the name
  EXPECT_EQ(Find(c, "other\\setup.ini"), -1);
  EXPECT_EQ(Find(c, "license.txt"), -1);
  EXPECT_EQ(Find(c, "readme.tx"), -1);
}

TEST_F(ItemLookupTest, WildcardsMatchTheFileMaskBelowTheirFolder) {
  TvxComponent& c = AddComponent(db, "C", {{"sub\\*.*"}, {"*.dll"}, {"a?c.txt"}, {"bin\\*"}, {"s?b\\*.txt"}});
  // "sub\*.*" takes its folder and the folders below it, names without
  // extension included, but not a folder that only starts the same way.
  EXPECT_EQ(Find(c, "sub\\x"), 0);
  EXPECT_EQ(Find(c, "SUB\\deep\\y.dat"), 0);
  EXPECT_EQ(Find(c, "subway\\y.dll"), 1);
  // A mask at the top takes every folder.
  EXPECT_EQ(Find(c, "x.DLL"), 1);
  EXPECT_EQ(Find(c, "lib\\deep\\x.dll"), 1);
  EXPECT_EQ(Find(c, "x.dllx"), -1);
  EXPECT_EQ(Find(c, "ABC.txt"), 2);
  EXPECT_EQ(Find(c, "other\\a_c.txt"), 2);
  EXPECT_EQ(Find(c, "ac.txt"), -1);
  // "bin\*" becomes "bin\*.": names without extension only.
  EXPECT_EQ(Find(c, "bin\\tool"), 3);
  EXPECT_EQ(Find(c, "bin\\tool.exe"), -1);
  // Wildcards in the folder part are compared as they stand.
  EXPECT_EQ(Find(c, "s?b\\a.txt"), 4);
  EXPECT_EQ(Find(c, "sab\\a.txt"), -1);
}

TEST_F(ItemLookupTest, ItemsOutsideThePassOrWithAFalseConditionGiveWayToLaterOnes) {
  TvxComponent& c = AddComponent(db, "C",
                                 {{"a.txt", false, false, "0"},
                                  {"*.txt", true},
                                  {"A.TXT", false, true},
                                  {"*.txt"},
                                  {"a.txt"},
                                  {"b.txt", true},
                                  {"b.txt"}});
  EXPECT_EQ(Find(c, "a.txt"), 3);  // the false, external and removed items are passed over
  EXPECT_EQ(Find(c, "a.txt", true), 1);
  EXPECT_EQ(Find(c, "b.txt", true), 1);  // the earlier wildcard item wins over the exact one
  c.Files->operator[](1).Condition = "0";
  EXPECT_EQ(Find(c, "b.txt", true), 5);
  c.Files->operator[](3).Condition = "0";
  EXPECT_EQ(Find(c, "a.txt"), 4);
  EXPECT_EQ(Find(c, "b.txt"), 6);
  c.Files->operator[](4).Condition = "0";
  EXPECT_EQ(Find(c, "a.txt"), -1);
}

TEST_F(ItemLookupTest, ConditionsAreAskedAtEachLookupAndOnlyOfCandidates) {
  TvxComponent& c = AddComponent(db, "C", {{"a.txt"}, {"a.txt"}, {"x.txt"}, {"*.dat"}});
  ItemIndex index(c);
  std::unordered_set<int> off;
  std::vector<int> asked;
  const ItemAvailable available = [&](const TvxFile& f) {
    int pos = c.Files->IndexOf(&f);
    asked.push_back(pos);
    return !off.count(pos);
  };
  EXPECT_EQ(Position(c, index.Find("a.txt", false, available)), 0);
  off.insert(0);  // a condition that changes between two files
  EXPECT_EQ(Position(c, index.Find("a.txt", false, available)), 1);
  off.insert(1);
  EXPECT_EQ(Position(c, index.Find("a.txt", false, available)), -1);
  EXPECT_EQ(asked, (std::vector<int>{0, 0, 1, 0, 1}));
  asked.clear();
  EXPECT_EQ(Position(c, index.Find("q.dat", false, available)), 3);
  EXPECT_EQ(asked, std::vector<int>{3});
}

TEST_F(ItemLookupTest, LookupInALargeComponentAsksOnlyTheMatchingItems) {
  std::vector<ItemSpec> items;
  for (int i = 0; i < 10000; ++i) items.push_back({"files\\f" + std::to_string(i) + ".dat"});
  items.push_back({"files\\f5000.dat"});
  items.push_back({"other\\*.*"});
  items.push_back({"files\\*.log"});
  TvxComponent& c = AddComponent(db, "Big", items);
  ItemIndex index(c);
  int asked = 0;
  bool answer = true;
  const ItemAvailable available = [&](const TvxFile&) {
    ++asked;
    return answer;
  };
  EXPECT_EQ(Position(c, index.Find("FILES\\f5000.dat", false, available)), 5000);
  EXPECT_EQ(asked, 1);
  asked = 0;
  answer = false;
  EXPECT_EQ(Position(c, index.Find("files\\f5000.dat", false, available)), -1);
  EXPECT_EQ(asked, 2);  // the two items of that name
  asked = 0;
  answer = true;
  EXPECT_EQ(Position(c, index.Find("files\\missing.dat", false, available)), -1);
  EXPECT_EQ(Position(c, index.Find("files\\x.log", false, available)), 10002);
  EXPECT_EQ(asked, 1);
}

TEST(PackedNameTest, SplitsComponentAndRelativeName) {
  PackedName p;
  ASSERT_TRUE(ParsePackedName("DATA\\Comp1\\sub\\a.txt", p));
  EXPECT_EQ(p.componentID, "Comp1");
  EXPECT_EQ(p.relative, "sub\\a.txt");
  ASSERT_TRUE(ParsePackedName("data\\C\\readme", p));
  EXPECT_EQ(p.relative, "readme");  // the dot is added only for matching
  EXPECT_EQ(DottedName(p.relative), "readme.");
  EXPECT_EQ(DottedName("sub.d\\readme"), "sub.d\\readme.");
  EXPECT_EQ(DottedName("a.txt"), "a.txt");
  EXPECT_FALSE(ParsePackedName("data\\Comp1", p));
  EXPECT_FALSE(ParsePackedName("dat\\C\\a.txt", p));
  EXPECT_FALSE(ParsePackedName("data/C/a.txt", p));
  EXPECT_FALSE(ParsePackedName("plugins\\0\\a.dll", p));
}

TEST_F(ItemLookupTest, ComponentsAreFoundByIDAsTheProjectFindsThem) {
  AddComponent(db, "Main", {{"a.txt"}});
  AddComponent(db, "\xC0ux", {{"b.txt"}});  // Cyrillic capital A folds to 0xE0
  AddComponent(db, "MAIN", {{"a.txt"}});   // a second component of the same ID is never used
  ComponentItemIndexes indexes(*db.Components);
  for (const char* id : {"main", "Main", "\xE0UX", "\xC0ux", "none", ""})
    EXPECT_EQ(indexes.FindComponent(id), db.Components->FindByID(id)) << id;

  TvxComponent& first = (*db.Components)[0];
  EXPECT_EQ(indexes.FindItem("Data\\MAIN\\A.TXT", false), &(*first.Files)[0]);
  EXPECT_EQ(indexes.FindItem("data\\\xE0UX\\b.txt", false), &(*(*db.Components)[1].Files)[0]);
  EXPECT_EQ(indexes.FindItem("data\\none\\a.txt", false), nullptr);
  EXPECT_EQ(indexes.FindItem("data\\main", false), nullptr);
  EXPECT_EQ(indexes.IndexOf("main"), indexes.IndexOf("MAIN"));  // built once
  (*first.Files)[0].Condition = "0";
  EXPECT_EQ(indexes.FindItem("data\\main\\a.txt", false), nullptr);
}

// --- The index against the plain rule on generated projects ----------------------------------

class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}
  uint32_t Below(uint32_t n) { return uint32_t(rng_() % n); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }
  template <class T>
  const T& Pick(const std::vector<T>& v) { return v[Below(uint32_t(v.size()))]; }

  std::string Folder() { return Pick(folders_); }
  std::string Name() { return Pick(bases_) + Pick(exts_); }
  std::string Src() {
    if (Chance(60)) return Folder() + Name();
    if (Chance(50)) return Pick(wildcards_);
    return Folder() + Pick(masks_);
  }
  // A relative name: often one made from a Src (wildcards filled in), so
  // that lookups hit; otherwise from the vocabulary or matching nothing.
  std::string Relative(const std::vector<std::string>& srcs) {
    uint32_t kind = Below(10);
    if (kind < 5 && !srcs.empty()) {
      std::string s = Pick(srcs), r;
      if (Chance(30)) r = Folder();
      for (char ch : s) {
        if (ch == '*') r += Pick(std::vector<std::string>{"", "q", "ab", "x.y"});
        else if (ch == '?') r += char('a' + Below(3));
        else r += Chance(20) ? UpCaseAscii(ch) : ch;
      }
      return r;
    }
    if (kind < 9) return Folder() + Name();
    return "nowhere\\z" + std::to_string(Below(1000)) + ".bin";
  }

 private:
  std::mt19937 rng_;
  std::vector<std::string> folders_{"", "", "sub\\", "SUB\\", "sub\\deep\\", "Sub\\Deep\\x\\", "subway\\", "other\\"};
  std::vector<std::string> bases_{"a", "abc", "ABC", "a1c", "readme", "Setup", "x"};
  std::vector<std::string> exts_{"", "", ".txt", ".dll", ".DLL", ".", ".tx"};
  std::vector<std::string> wildcards_{"*.dll",   "*.*",      "*",        "sub\\*.*", "SUB\\*.txt", "sub\\deep\\*.*",
                                      "a?c.txt", "sub\\a?c.*", "?",     "*.",       "other\\*",   "s?b\\*.*"};
  std::vector<std::string> masks_{"*.dll", "*.*", "*", "a?c.*", "*.tx?", "?e*", "*c"};
};

TEST(ItemLookupEquivalenceTest, IndexFindsTheSameItemAsThePlainRule) {
  Generator gen(20240611);
  size_t lookups = 0, hits = 0, skippedByCondition = 0;
  for (int project = 0; project < 12; ++project) {
    TvxMainDatabase db;
    std::vector<std::string> ids;
    for (int ci = 0; ci < 25; ++ci) {
      std::vector<ItemSpec> items(gen.Below(120));
      for (ItemSpec& s : items) {
        s.src = gen.Src();
        s.external = gen.Chance(15);
        s.remove = gen.Chance(10);
      }
      ids.push_back("Comp" + std::to_string(ci));
      AddComponent(db, ids.back(), items);
    }
    ComponentItemIndexes indexes(*db.Components);

    // Conditions change between lookups: each lookup has its own answers,
    // the same for both rules.
    std::unordered_map<const TvxFile*, uint32_t> number;
    uint32_t epoch = 0;
    const ItemAvailable available = [&](const TvxFile& f) {
      auto it = number.emplace(&f, uint32_t(number.size())).first;
      uint32_t h = (it->second * 2654435761u) ^ (epoch * 40503u);
      h ^= h >> 13;
      h *= 0x5bd1e995u;
      return ((h ^ (h >> 15)) & 3) != 0;  // three in four hold
    };
    const ItemAvailable always = [](const TvxFile&) { return true; };

    for (int ci = 0; ci < db.Components->Count(); ++ci) {
      TvxComponent& c = (*db.Components)[ci];
      std::vector<std::string> srcs;
      for (int i = 0; i < c.Files->Count(); ++i) srcs.push_back((*c.Files)[i].Src);
      for (int n = 0; n < 200; ++n) {
        std::string relative = gen.Relative(srcs);
        bool externalPass = gen.Chance(25);
        ++epoch;
        TvxFile* expected = LinearFindItem(c, relative, externalPass, available);
        std::string id = gen.Chance(50) ? c.ID() : UpperCase(c.ID());
        TvxFile* found = indexes.FindItem("data\\" + id + "\\" + relative, externalPass, available);
        ASSERT_EQ(Position(c, found), Position(c, expected))
            << "project " << project << " component " << ci << " name " << relative << " external " << externalPass;
        ++lookups;
        if (expected) ++hits;
        if (expected != LinearFindItem(c, relative, externalPass, always)) ++skippedByCondition;
      }
    }
  }
  // The generated names exercise hits, misses and condition skips alike.
  EXPECT_EQ(lookups, 12u * 25 * 200);
  EXPECT_GT(hits, lookups / 4);
  EXPECT_GT(lookups - hits, lookups / 10);
  EXPECT_GT(skippedByCondition, lookups / 20);
}

// --- Destination ---------------------------------------------------------------------------------

TEST(ItemDestinationTest, PlainItemsGoToDstAndTakeTheSrcNameForAFolder) {
  ItemTarget t = ItemDestination("docs\\readme.txt", "C:\\App\\Read me.txt", "docs\\readme.txt");
  EXPECT_EQ(t.path, "C:\\App\\Read me.txt");
  EXPECT_EQ(t.fileName, "Read me.txt");
  t = ItemDestination("docs\\readme.txt", "C:\\App\\", "docs\\readme.txt");
  EXPECT_EQ(t.path, "C:\\App\\readme.txt");
  EXPECT_EQ(t.fileName, "readme.txt");
  EXPECT_FALSE(t.FolderEntry());
}

TEST(ItemDestinationTest, WildcardItemsKeepThePlaceBelowTheSrcFolder) {
  // A packed file: the relative name below "sub\" goes below the Dst folder.
  ItemTarget t = ItemDestination("sub\\*.dll", "C:\\App\\lib\\*.*", "SUB\\x\\a.dll");
  EXPECT_EQ(t.path, "C:\\App\\lib\\x\\a.dll");
  EXPECT_EQ(t.fileName, "a.dll");
  // A wildcard in Dst alone is enough.
  EXPECT_EQ(ItemDestination("a.dll", "C:\\App\\*.*", "a.dll").path, "C:\\App\\a.dll");
  // Dst counts by its folder part.
  EXPECT_EQ(ItemDestination("*.dll", "C:\\App\\lib", "x\\a.dll").path, "C:\\App\\x\\a.dll");
  // An external file: its path below the folder of Src.
  EXPECT_EQ(ItemDestination("D:\\media\\sub\\*.dll", "C:\\App\\", "D:\\Media\\sub\\x\\a.dll").path,
            "C:\\App\\x\\a.dll");
  // A folder entry makes only the folder.
  t = ItemDestination("D:\\media\\sub\\*.*", "C:\\App\\*.*", "D:\\media\\sub\\empty\\.");
  EXPECT_TRUE(t.FolderEntry());
  EXPECT_EQ(t.path, "C:\\App\\empty\\.");
  // A source outside the folder of Src keeps only its name.
  EXPECT_EQ(ItemDestination("other\\*.dll", "C:\\App\\", "sub\\x\\a.dll").path, "C:\\App\\a.dll");
  EXPECT_EQ(ItemDestination("E:\\*.dll", "C:\\App\\", "D:\\x\\a.dll").path, "C:\\App\\a.dll");
}

}  // namespace
