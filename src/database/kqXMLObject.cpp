#include "database/kqXMLObject.h"

#include <algorithm>
#include <mutex>

#include "system/kqStrUtils.h"

namespace vx {

// --- Name order --------------------------------------------------------------------

bool PropNameLess(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = (unsigned char)a[i] & 0xDF, y = (unsigned char)b[i] & 0xDF;
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// --- TClassInfo ------------------------------------------------------------------------

namespace {

// Default-constructed objects per class, made on first use: the reference
// for leaving default values out of written XML. Kept outside TClassInfo
// so that class descriptions stay immutable after construction.
struct DefaultsCache {
  std::mutex lock;
  std::vector<std::pair<const TClassInfo*, std::unique_ptr<TXMLObject>>> objects;
};

DefaultsCache& Defaults() {
  static DefaultsCache* cache = new DefaultsCache;  // lives to the end of the process
  return *cache;
}

const TXMLObject& DefaultObject(const TClassInfo& cls) {
  DefaultsCache& cache = Defaults();
  std::lock_guard<std::mutex> guard(cache.lock);
  for (auto& entry : cache.objects)
    if (entry.first == &cls) return *entry.second;
  cache.objects.emplace_back(&cls, cls.Create(nullptr));
  return *cache.objects.back().second;
}

}  // namespace

TClassInfo::TClassInfo(const char* name, const TClassInfo* parent, Factory factory,
                       std::vector<TPropInfo> props)
    : name_(name), parent_(parent), factory_(factory), own_(std::move(props)) {
  std::vector<const TPropInfo*> all;
  if (parent_) {
    for (const TPropInfo* p : parent_->sorted_) {
      bool redeclared = std::any_of(own_.begin(), own_.end(),
                                    [&](const TPropInfo& o) { return XMLSameText(o.Name, p->Name); });
      if (!redeclared) all.push_back(p);
    }
  }
  for (const TPropInfo& p : own_) all.push_back(&p);
  std::stable_sort(all.begin(), all.end(),
                   [](const TPropInfo* a, const TPropInfo* b) { return PropNameLess(a->Name, b->Name); });
  sorted_ = std::move(all);

  for (const TPropInfo* p : sorted_) {
    byName_.emplace_back(XMLLowerCase(p->Name), p);
    if (!p->XMLName.empty()) byXMLName_.emplace_back(XMLLowerCase(p->XMLName), p);
  }
  auto byKey = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::sort(byName_.begin(), byName_.end(), byKey);
  std::sort(byXMLName_.begin(), byXMLName_.end(), byKey);
}

bool TClassInfo::InheritsFrom(const TClassInfo& other) const {
  for (const TClassInfo* c = this; c; c = c->parent_)
    if (c == &other) return true;
  return false;
}

static const TPropInfo* FindIn(const std::vector<std::pair<std::string, const TPropInfo*>>& index,
                               std::string_view name) {
  std::string key = XMLLowerCase(name);
  auto it = std::lower_bound(index.begin(), index.end(), key,
                             [](const auto& entry, const std::string& k) { return entry.first < k; });
  return (it != index.end() && it->first == key) ? it->second : nullptr;
}

const TPropInfo* TClassInfo::FindProperty(std::string_view name) const { return FindIn(byName_, name); }

const TPropInfo* TClassInfo::FindRenamedAttribute(std::string_view xmlName) const {
  return FindIn(byXMLName_, xmlName);
}

bool TPropInfo::IsList() const {
  return ObjectClassFn && ObjectClassFn().InheritsFrom(TXMLObjectList::StaticClass());
}

// --- Text conversion ----------------------------------------------------------------------

bool ParseInteger(std::string_view text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > int64_t(INT32_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = int32_t(v);
  return true;
}

int FindEnumName(const TEnumInfo& info, std::string_view prefix, std::string_view name) {
  std::string wanted(prefix);
  wanted += name;
  for (size_t i = 0; i < info.Names.size(); ++i)
    if (XMLSameText(info.Names[i], wanted)) return int(i);
  return -1;
}

static std::string ShortName(const std::string& name, std::string_view prefix) {
  return name.substr(std::min(prefix.size(), name.size()));
}

std::string PropToText(const TXMLObject& obj, const TPropInfo& prop, std::string_view prefix) {
  switch (prop.Kind) {
    case TPropKind::Integer:
      return std::to_string(int32_t(prop.GetOrd(obj)));
    case TPropKind::Char:
    case TPropKind::WChar: {
      int64_t c = prop.GetOrd(obj);
      if (c == 0) return std::string();
      return std::string(1, c < 256 ? char(c) : '?');
    }
    case TPropKind::Boolean:
      return prop.GetOrd(obj) ? "1" : "0";
    case TPropKind::Enumeration: {
      int64_t v = prop.GetOrd(obj);
      if (v < 0 || size_t(v) >= prop.Enum->Names.size()) return std::string();
      return ShortName(prop.Enum->Names[size_t(v)], prefix);
    }
    case TPropKind::Float: {
      return FormatFloat(prop.GetFloat(obj), 'g', 15);
    }
    case TPropKind::String:
      return prop.GetStr(obj);
    case TPropKind::Set: {
      uint32_t bits = uint32_t(prop.GetOrd(obj));
      std::string out;
      for (size_t i = 0; i < prop.Enum->Names.size() && i < 32; ++i) {
        if (!((bits >> i) & 1u)) continue;
        if (!out.empty()) out += ',';
        out += ShortName(prop.Enum->Names[i], prefix);
      }
      return out;
    }
    case TPropKind::Class:
      break;
  }
  return std::string();
}

void PropFromText(TXMLObject& obj, const TPropInfo& prop, std::string_view text, std::string_view prefix) {
  if (!prop.Writable) return;
  switch (prop.Kind) {
    case TPropKind::Integer: {
      int32_t v = 0;
      if (!ParseInteger(text, v)) v = 0;
      prop.SetOrd(obj, v);
      break;
    }
    case TPropKind::Char:
    case TPropKind::WChar:
      prop.SetOrd(obj, text.empty() ? 0 : (unsigned char)text[0]);
      break;
    case TPropKind::Boolean:
      prop.SetOrd(obj, text == "1" ? 1 : 0);
      break;
    case TPropKind::Enumeration: {
      int v = FindEnumName(*prop.Enum, prefix, text);
      prop.SetOrd(obj, v < 0 ? 0 : v);
      break;
    }
    case TPropKind::Float: {
      double v = 0;
      if (ParseFloat(text, v) != TFloatParse::Ok) v = 0;
      prop.SetFloat(obj, v);
      break;
    }
    case TPropKind::String:
      prop.SetStr(obj, std::string(text));
      break;
    case TPropKind::Set: {
      uint32_t bits = 0;
      for (const std::string& piece : SplitString(text, ',')) {
        int v = FindEnumName(*prop.Enum, prefix, Trim(piece));
        if (v >= 0 && v <= 31) bits |= 1u << unsigned(v);
      }
      prop.SetOrd(obj, bits);
      break;
    }
    case TPropKind::Class:
      break;
  }
}

std::string GetPropText(const TXMLObject& obj, std::string_view propName, std::string_view prefix) {
  const TPropInfo* p = obj.ClassType().FindProperty(propName);
  return p ? PropToText(obj, *p, prefix) : std::string();
}

void SetPropText(TXMLObject& obj, std::string_view propName, std::string_view text, std::string_view prefix) {
  if (const TPropInfo* p = obj.ClassType().FindProperty(propName)) PropFromText(obj, *p, text, prefix);
}

// --- TXMLObject ------------------------------------------------------------------------------

const TClassInfo& TXMLObject::StaticClass() {
  static const TClassInfo info(
      "TXMLObject", nullptr,
      [](TXMLObject* owner) -> std::unique_ptr<TXMLObject> { return std::make_unique<TXMLObject>(owner); }, {});
  return info;
}

const char* TXMLObject::ClassName() const { return ClassType().Name().c_str(); }

void TXMLObject::CreateSubLists(const TClassInfo& cls) {
  for (const TPropInfo& p : cls.OwnProperties())
    if (p.Kind == TPropKind::Class && p.IsList() && !p.GetObject(*this))
      p.SetObject(*this, p.ObjectClass()->Create(this));
}

void TXMLObject::Assign(const TPersistent& source) {
  if (const auto* tag = dynamic_cast<const TXMLTag*>(&source)) {
    if (!Merging) Clear();
    for (const std::string& entry : tag->Attributes) ReadAttribute(entry);
    for (const auto& child : tag->Children)
      if (child->Kind == TXMLTagKind::Element) ReadElement(*child);
  } else if (const auto* obj = dynamic_cast<const TXMLObject*>(&source)) {
    // Copy through the XML form: what the source would not write (defaults,
    // refused items) is not copied.
    TXMLTag tmp;
    obj->AssignTo(tmp);
    Assign(tmp);
  } else {
    TPersistent::Assign(source);
  }
}

void TXMLObject::AssignTo(TPersistent& dest) const {
  auto* tag = dynamic_cast<TXMLTag*>(&dest);
  if (!tag) {
    TPersistent::AssignTo(dest);
    return;
  }
  tag->Kind = TXMLTagKind::Element;
  WriteAttributes(*tag);
  WriteElements(*tag);
}

void TXMLObject::AssignMerge(const TPersistent& source) {
  Merging = true;
  try {
    Assign(source);
  } catch (...) {
    Merging = false;
    throw;
  }
  Merging = false;
}

void TXMLObject::ReadAttribute(const std::string& entry) {
  size_t eq = entry.find('=');
  std::string name = XMLLowerCase(std::string_view(entry).substr(0, eq));
  std::string_view value = eq == std::string::npos ? std::string_view() : std::string_view(entry).substr(eq + 1);
  std::string propName = XMLLowerCase(XMLToPropName(name, false));
  std::string prefix = EnumPrefix(propName);
  SetPropText(*this, propName, value, prefix);
}

void TXMLObject::ReadElement(const TXMLTag& tag) {
  const TPropInfo* p = ClassType().FindProperty(XMLToPropName(tag.Name, true));
  if (!p || p->Kind != TPropKind::Class) return;
  if (p->IsTag()) {
    auto* value = static_cast<TXMLTag*>(p->GetObject(*this));
    if (!value) {
      auto fresh = std::make_unique<TXMLTag>();
      value = fresh.get();
      p->SetObject(*this, std::move(fresh));
    }
    value->Assign(tag);
    return;
  }
  auto* value = static_cast<TXMLObject*>(p->GetObject(*this));
  bool created = false;
  if (!value) {
    std::unique_ptr<TXMLObject> fresh = p->ObjectClass()->Create(this);
    value = fresh.get();
    p->SetObject(*this, std::move(fresh));
    created = true;
  }
  if (value->AcceptRead(tag)) {
    if (Merging)
      value->AssignMerge(tag);
    else
      value->Assign(tag);
  } else if (created) {
    p->SetObject(*this, nullptr);
  }
}

void TXMLObject::WriteAttributes(TXMLTag& tag) const {
  for (const TPropInfo* p : ClassType().Properties())
    if (p->IsSimple()) WriteAttribute(XMLLowerCase(p->Name), tag);
}

void TXMLObject::WriteAttribute(const std::string& propName, TXMLTag& tag) const {
  const TPropInfo* p = ClassType().FindProperty(propName);
  if (!p || !p->IsSimple()) return;
  std::string prefix = EnumPrefix(propName);
  std::string text = PropToText(*this, *p, prefix);
  if (p->Kind != TPropKind::String && !text.empty()) {
    // Values equal to those of a default-constructed object are left out.
    if (PropToText(DefaultObject(ClassType()), *p, prefix) == text) text.clear();
  }
  if (text.empty()) return;
  if (p->Kind == TPropKind::Enumeration || p->Kind == TPropKind::Set) text = XMLLowerCase(text);
  std::string entry = XMLLowerCase(PropToXMLName(propName, false));
  entry += '=';
  entry += text;
  tag.Attributes.push_back(std::move(entry));
}

void TXMLObject::WriteElements(TXMLTag& tag) const {
  for (const TPropInfo* p : ClassType().Properties()) {
    if (p->Kind != TPropKind::Class) continue;
    TPersistent* value = p->GetObject(*this);
    if (!value) continue;
    if (p->IsTag()) {
      auto copy = std::make_unique<TXMLTag>();
      copy->Assign(*value);
      tag.Children.Add(std::move(copy));
      continue;
    }
    auto* obj = static_cast<TXMLObject*>(value);
    if (const auto* list = dynamic_cast<const TXMLObjectList*>(obj); list && list->Count() == 0) continue;
    auto child = std::make_unique<TXMLTag>();
    child->SetName(PropToXMLName(XMLLowerCase(p->Name), true));
    if (obj->AcceptWrite(*child)) {
      obj->AssignTo(*child);
      tag.Children.Add(std::move(child));
    }
  }
}

std::string TXMLObject::XMLToPropName(const std::string& name, bool isElement) const {
  if (!isElement)
    if (const TPropInfo* p = ClassType().FindRenamedAttribute(name)) return p->Name;
  return name;
}

std::string TXMLObject::PropToXMLName(const std::string& name, bool isElement) const {
  if (!isElement)
    if (const TPropInfo* p = ClassType().FindProperty(name); p && !p->XMLName.empty()) return p->XMLName;
  return name;
}

std::string TXMLObject::EnumPrefix(const std::string& propName) const {
  const TPropInfo* p = ClassType().FindProperty(propName);
  return p ? p->EnumPrefix : std::string();
}

bool TXMLObject::AcceptRead(const TXMLTag& tag) { return true; }

bool TXMLObject::AcceptWrite(TXMLTag& tag) const { return true; }

void TXMLObject::Clear() {
  const auto& props = ClassType().Properties();
  for (const TPropInfo* p : props)
    if (p->IsSimple()) PropFromText(*this, *p, std::string_view(), std::string_view());
  for (const TPropInfo* p : props)
    if (p->Kind == TPropKind::Class && p->GetObject(*this)) p->SetObject(*this, nullptr);
  for (const TPropInfo* p : props)
    if (p->Kind == TPropKind::Class && p->IsList()) p->SetObject(*this, p->ObjectClass()->Create(this));
  InitDefaults();
}

bool TXMLObject::LoadFromFile(const std::string& path, const std::string& rootName) {
  TXMLTag tag;
  if (!tag.LoadFromFile(path)) return false;
  // A document without a root element (an empty file, say) is not a
  // successful load: it must not silently empty the object.
  if (tag.Kind != TXMLTagKind::Element || tag.Name.empty()) return false;
  if (!rootName.empty() && !XMLSameText(rootName, tag.Name)) return false;
  Assign(tag);
  return true;
}

bool TXMLObject::SaveToFile(const std::string& path, const std::string& rootName) const {
  if (rootName.empty()) return false;
  TXMLTag tag;
  tag.SetName(rootName);
  AssignTo(tag);
  return tag.SaveToFile(path);
}

void TXMLObject::LoadFromText(std::string_view text, const std::string& rootName) {
  TXMLTag tag;
  tag.Parse(text);
  if (tag.Kind != TXMLTagKind::Element || tag.Name.empty()) return;
  if (!rootName.empty() && !XMLSameText(rootName, tag.Name)) return;
  Assign(tag);
}

// --- TXMLObjectList ------------------------------------------------------------------------------

VX_XML_CLASS_DEF(TXMLObjectList, TXMLObject)

TXMLObject* TXMLObjectList::Add(std::unique_ptr<TXMLObject> item) {
  item->Owner = this;
  items_.push_back(std::move(item));
  return items_.back().get();
}

void TXMLObjectList::Delete(int i) {
  if (i < 0 || i >= Count()) return;
  items_.erase(items_.begin() + i);
}

int TXMLObjectList::IndexOf(const TXMLObject* item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return int(i);
  return -1;
}

int TXMLObjectList::Remove(const TXMLObject* item) {
  int i = IndexOf(item);
  if (i >= 0) Delete(i);
  return i;
}

TXMLObject* TXMLObjectList::FindByProp(std::string_view propName, std::string_view value, bool caseSensitive) const {
  int32_t number = 0;
  const bool isNumber = ParseInteger(value, number);
  const TClassInfo* lastClass = nullptr;
  const TPropInfo* prop = nullptr;
  for (const auto& item : items_) {
    const TClassInfo& cls = item->ClassType();
    if (&cls != lastClass) {
      lastClass = &cls;
      prop = cls.FindProperty(propName);
    }
    if (!prop) continue;
    if (prop->Kind == TPropKind::Integer) {
      if (isNumber && prop->GetOrd(*item) == number) return item.get();
    } else if (prop->Kind == TPropKind::String) {
      std::string s = prop->GetStr(*item);
      if (caseSensitive ? s == value : XMLSameText(s, value)) return item.get();
    }
  }
  return nullptr;
}

void TXMLObjectList::ReadElement(const TXMLTag& tag) {
  const TClassInfo* cls = ItemClassFor(tag.Name);
  if (!cls) return;
  std::unique_ptr<TXMLObject> item = cls->Create(this);
  if (!item->AcceptRead(tag)) return;
  if (Merging)
    item->AssignMerge(tag);
  else
    item->Assign(tag);
  Add(std::move(item));
}

void TXMLObjectList::WriteElements(TXMLTag& tag) const {
  for (const auto& item : items_) {
    std::string name = ItemElementName(item->ClassType());
    if (name.empty()) continue;
    auto child = std::make_unique<TXMLTag>();
    child->Name = name;
    if (item->AcceptWrite(*child)) {
      item->AssignTo(*child);
      tag.Children.Add(std::move(child));
    }
  }
}

void TXMLObjectList::Clear() {
  items_.clear();
  TXMLObject::Clear();
}

// --- TXMLParamList ---------------------------------------------------------------------------------

VX_XML_CLASS_DEF(TXMLParamList, TXMLObjectList)

void TXMLParamList::SetParam(const std::string& name, const std::string& value) {
  TXMLObject* item = nullptr;
  for (int i = 0; i < Count() && !item; ++i)
    if (XMLSameText(GetPropText(Get(i), "Name"), name)) item = &Get(i);
  if (!item) item = Add(ParamClass().Create(this));
  SetPropText(*item, "Name", name);
  SetPropText(*item, "Value", value);
}

}  // namespace vx
