#include "install/ItemLookup.h"

#include <climits>

#include "database/kqXMLParser.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

constexpr std::string_view kDataPrefix = "data\\";

// The delimiters that end the folder part of a path (as ExtractFilePath
// has them).
bool EndsFolder(char c) { return c == '\\' || c == '/' || c == ':'; }

bool InPass(const TvxFile& item, bool externalPass) {
  return item.Action != TvxInstallAction::remove && item.Flags.Contains(TvxFlag::external) == externalPass;
}

}  // namespace

bool HasWildcard(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

std::string DottedName(std::string_view name) {
  std::string r(name);
  if (ExtractFileExt(name).empty()) r += '.';
  return r;
}

bool ParsePackedName(std::string_view packed, PackedName& out) {
  if (!StartsWithText(packed, kDataPrefix)) return false;
  size_t slash = packed.find('\\', kDataPrefix.size());
  if (slash == std::string_view::npos) return false;
  out.componentID.assign(packed.substr(kDataPrefix.size(), slash - kDataPrefix.size()));
  out.relative.assign(packed.substr(slash + 1));
  return true;
}

bool SrcMatches(std::string_view src, std::string_view relative) {
  std::string s = DottedName(src), n = DottedName(relative);
  if (!HasWildcard(src)) return SameText(s, n);
  return MatchesPattern(ExtractFileName(n), ExtractFileName(s)) && StartsWithText(ExtractFilePath(n), ExtractFilePath(s));
}

TvxFile* LinearFindItem(const TvxComponent& component, std::string_view relative, bool externalPass,
                        const ItemAvailable& available) {
  if (!component.Files) return nullptr;
  const TvxFiles& files = *component.Files;
  for (int i = 0; i < files.Count(); ++i) {
    TvxFile& item = files[i];
    if (!available(item) || !InPass(item, externalPass)) continue;
    if (SrcMatches(item.Src, relative)) return &item;
  }
  return nullptr;
}

// --- ItemIndex -------------------------------------------------------------------------

ItemIndex::ItemIndex(const TvxComponent& component) {
  if (!component.Files) return;
  const TvxFiles& files = *component.Files;
  items_.reserve(size_t(files.Count()));
  for (int i = 0; i < files.Count(); ++i) {
    TvxFile& item = files[i];
    items_.push_back(&item);
    // Removals are never the item of a file; the flag decides the pass
    // once and for all.
    if (item.Action == TvxInstallAction::remove) continue;
    PassItems& pass = passes_[item.Flags.Contains(TvxFlag::external) ? 1 : 0];
    std::string src = DottedName(item.Src);
    if (HasWildcard(item.Src))
      pass.wildcards[UpperCase(ExtractFilePath(src))].push_back(WildcardItem{i, ExtractFileName(src)});
    else
      pass.exact[UpperCase(src)].push_back(i);
  }
}

TvxFile* ItemIndex::Find(std::string_view relative, bool externalPass, const ItemAvailable& available) const {
  const PassItems& pass = passes_[externalPass ? 1 : 0];
  const std::string name = UpperCase(DottedName(relative));

  // Items whose Src is the name itself.
  const std::vector<int>* exact = nullptr;
  if (auto it = pass.exact.find(name); it != pass.exact.end()) exact = &it->second;
  size_t nextExact = 0;

  // Wildcard items whose folder the name lies in: their folder part is a
  // prefix of the name's folder part that ends at a delimiter (or is
  // empty), so only those prefixes need looking up.
  struct Cursor {
    const WildcardItem* at;
    const WildcardItem* end;
    bool checked;  // `at` is known to match the file part
  };
  std::vector<Cursor> cursors;
  const std::string folder = ExtractFilePath(name);
  const std::string fileName = ExtractFileName(name);
  if (!pass.wildcards.empty()) {
    for (size_t len = 0; len <= folder.size(); ++len) {
      if (len > 0 && !EndsFolder(folder[len - 1])) continue;
      auto it = pass.wildcards.find(folder.substr(0, len));
      if (it != pass.wildcards.end())
        cursors.push_back(Cursor{it->second.data(), it->second.data() + it->second.size(), false});
    }
  }

  // Merge the candidates in item order; the first whose condition holds wins.
  for (;;) {
    int best = INT_MAX;
    Cursor* bestCursor = nullptr;
    for (Cursor& c : cursors) {
      while (!c.checked && c.at != c.end) {
        if (MatchesPattern(fileName, c.at->mask)) c.checked = true;
        else ++c.at;
      }
      if (c.at != c.end && c.at->order < best) {
        best = c.at->order;
        bestCursor = &c;
      }
    }
    if (exact && nextExact < exact->size() && (*exact)[nextExact] < best) {
      best = (*exact)[nextExact];
      bestCursor = nullptr;
    }
    if (best == INT_MAX) return nullptr;
    if (bestCursor) {
      ++bestCursor->at;
      bestCursor->checked = false;
    } else {
      ++nextExact;
    }
    TvxFile* item = items_[size_t(best)];
    if (available(*item)) return item;
  }
}

TvxFile* ItemIndex::Find(std::string_view relative, bool externalPass) const {
  return Find(relative, externalPass, [](const TvxFile& item) { return IsAvailable(&item); });
}

// --- ComponentItemIndexes ---------------------------------------------------------------

ComponentItemIndexes::ComponentItemIndexes(const TvxComponents& components) {
  // Components are found by ID as the project list finds them: the first
  // whose ID is equal after Windows-1251 lower-casing.
  for (int i = 0; i < components.Count(); ++i) {
    TvxComponent& c = components[i];
    byID_.emplace(XMLLowerCase(c.ID()), &c);
  }
}

TvxComponent* ComponentItemIndexes::FindComponent(std::string_view id) const {
  auto it = byID_.find(XMLLowerCase(id));
  return it == byID_.end() ? nullptr : it->second;
}

const ItemIndex* ComponentItemIndexes::IndexOf(std::string_view id) {
  TvxComponent* component = FindComponent(id);
  if (!component) return nullptr;
  std::unique_ptr<ItemIndex>& index = indexes_[component];
  if (!index) index = std::make_unique<ItemIndex>(*component);
  return index.get();
}

TvxFile* ComponentItemIndexes::FindItem(std::string_view packedName, bool externalPass,
                                        const ItemAvailable& available) {
  PackedName parts;
  if (!ParsePackedName(packedName, parts)) return nullptr;
  const ItemIndex* index = IndexOf(parts.componentID);
  return index ? index->Find(parts.relative, externalPass, available) : nullptr;
}

TvxFile* ComponentItemIndexes::FindItem(std::string_view packedName, bool externalPass) {
  return FindItem(packedName, externalPass, [](const TvxFile& item) { return IsAvailable(&item); });
}

// --- Destination ----------------------------------------------------------------------------

ItemTarget ItemDestination(std::string_view src, std::string_view dst, std::string_view source) {
  std::string destination;
  if (HasWildcard(src) || HasWildcard(dst)) {
    // The part of the source below the folder of Src keeps its place below
    // the folder of Dst. A source outside that folder (Src expanded to
    // another folder than the one it was matched with) keeps only its name:
    // cutting a prefix that is not there would give a mangled path.
    std::string srcFolder = ExtractFilePath(src);
    std::string_view rest = source;
    if (StartsWithText(rest, srcFolder)) rest.remove_prefix(srcFolder.size());
    else rest = source.substr(ExtractFilePath(source).size());
    destination = ExtractFilePath(dst) + std::string(rest);
  } else {
    destination.assign(dst);
  }
  ItemTarget target;
  target.fileName = ExtractFileName(destination);
  if (target.fileName.empty()) target.fileName = ExtractFileName(src);
  target.path = ExtractFilePath(destination) + target.fileName;
  return target;
}

}  // namespace vx
