// ItemLookup: which file item of the project a packed file belongs to, and
// where an item's file goes.
//
// A packed file is named "data\" + component ID + "\" + relative name. Its
// item is the first file item of that component, in list order, that is in
// effect for this pass (condition true, not a removal, `external` equal to
// the pass) and whose Src matches the relative name. The plain rule scans
// every item for every file, so a component of many files costs the square
// of its size; the copy uses ItemIndex instead, which finds the same item
// while looking only at the items whose Src can match the name.
//
// Conditions are never cached: a plug-in may change variables between two
// files, so the index is built only from what stays fixed during the copy
// (Src, Action, the `external` flag) and asks the condition of each
// candidate, in item order, at the moment of the lookup.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "database/VXClasses.h"

namespace vx {

// Whether an item's condition holds now (the copy passes the project's
// condition test, IsAvailable).
using ItemAvailable = std::function<bool(const TvxFile&)>;

// Whether the text holds "*" or "?".
bool HasWildcard(std::string_view text);

// The name with "." appended when it has no extension ("readme" becomes
// "readme."), as names and Srcs are compared: "*.*" then also matches a
// name without extension, and "*." only such names.
std::string DottedName(std::string_view name);

// A packed name taken apart.
struct PackedName {
  std::string componentID;
  std::string relative;  // the rest, as stored (without the "." matching adds)
};

// Splits "data\<component ID>\<relative name>". False when the name does
// not start with "data\" (in any case) or has no backslash after the ID.
bool ParsePackedName(std::string_view packed, PackedName& out);

// Whether an item's Src matches a relative name, both dotted. A Src with
// "*" or "?" matches when the name's file part matches the file part of
// Src as a mask and the name's folder part starts with the folder part of
// Src (so "sub\*.dll" also takes "sub\deep\a.dll"); any other Src matches
// only the same name. Case is ignored throughout.
bool SrcMatches(std::string_view src, std::string_view relative);

// The plain rule, item by item: the first item of the component whose
// condition holds, that is not a removal, whose `external` flag equals
// `externalPass` and whose Src matches `relative`; null when none. Kept as
// the reference the index is checked against.
TvxFile* LinearFindItem(const TvxComponent& component, std::string_view relative, bool externalPass,
                        const ItemAvailable& available);

// The file items of one component arranged for lookup by relative name.
// Built once per copy; the component's items must neither change nor go
// away while the index is used. A lookup costs the items whose Src equals
// the name, plus the wildcard items filed under a folder the name lies in,
// whatever the size of the component.
class ItemIndex {
 public:
  explicit ItemIndex(const TvxComponent& component);

  // The same item as LinearFindItem gives; `available` is asked only for
  // items that match the name and fit the pass, in item order, until one
  // holds.
  TvxFile* Find(std::string_view relative, bool externalPass, const ItemAvailable& available) const;
  // As above, with the items' own conditions (IsAvailable).
  TvxFile* Find(std::string_view relative, bool externalPass) const;

 private:
  struct WildcardItem {
    int order;         // index in the component's file list
    std::string mask;  // the file part of the dotted Src
  };
  // The candidates of one pass (package or external).
  struct PassItems {
    // Upper-cased dotted Src -> items with that Src, in item order.
    std::unordered_map<std::string, std::vector<int>> exact;
    // Upper-cased folder part of the dotted Src ("" or ending in a path
    // delimiter) -> wildcard items with that folder, in item order.
    std::unordered_map<std::string, std::vector<WildcardItem>> wildcards;
  };

  std::vector<TvxFile*> items_;  // the component's file items by order
  PassItems passes_[2];          // [0] package pass, [1] external pass
};

// The item indexes of a project's components, found by component ID the
// way the project finds components (the first with that ID, Windows-1251
// case folding) and each built when a packed name first names its
// component. For one copy, on one thread.
class ComponentItemIndexes {
 public:
  explicit ComponentItemIndexes(const TvxComponents& components);

  // The first component with that ID; null when there is none.
  TvxComponent* FindComponent(std::string_view id) const;
  // The index of that component; null when there is none.
  const ItemIndex* IndexOf(std::string_view id);
  // The item of a packed name; null when the name is not a packed name,
  // names no component or no item matches.
  TvxFile* FindItem(std::string_view packedName, bool externalPass, const ItemAvailable& available);
  TvxFile* FindItem(std::string_view packedName, bool externalPass);

 private:
  std::unordered_map<std::string, TvxComponent*> byID_;  // folded ID -> first component
  std::unordered_map<const TvxComponent*, std::unique_ptr<ItemIndex>> indexes_;
};

// Where one file of an item goes.
struct ItemTarget {
  std::string path;      // the file's full destination
  std::string fileName;  // its name part; "." marks a folder entry
  // Only the folder is to be made.
  bool FolderEntry() const { return fileName == "."; }
};

// The destination of a file of an item. `src` and `dst` are the item's Src
// and Dst with variables expanded; `source` is the relative name of a
// packed file (the packed name without "data\", the component ID and its
// backslash) or, in the external pass, the path of the source file.
// When Src or Dst holds a wildcard, the file keeps its place below the
// folder of Src: that folder is cut from `source` and the rest goes below
// the folder of Dst. Otherwise the destination is Dst. A destination
// without a name part takes the name part of Src.
ItemTarget ItemDestination(std::string_view src, std::string_view dst, std::string_view source);

}  // namespace vx
