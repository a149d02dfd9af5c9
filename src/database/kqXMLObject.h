// XML-bound objects: the persistence layer of every project record.
//
// A persistent class describes its published properties in one table
// (name, kind, accessors, for sub-objects their class); the XML form
// follows mechanically from that table:
//   - simple properties (numbers, characters, enumerations, Booleans,
//     floating point, strings, sets) are attributes named by the lower-cased
//     property name; values equal to those of a default-constructed object
//     are left out, strings when empty;
//   - class-typed properties are child elements; list classes hold items
//     whose element name the list chooses;
//   - properties are walked in one fixed name order (see PropNameLess);
//   - reading ignores whatever it does not know.
// A few virtual hooks let a class rename attributes, strip prefixes from
// enumeration names, or refuse items; the common cases (an attribute name
// that differs from the property name, an enumeration prefix) are written
// straight into the property table.
//
// Declaring a class:
//
//   class TvxFile : public TvxInstallationItem {
//     VX_XML_CLASS(TvxFile, TvxInstallationItem)
//    public:
//     std::string Src, Dst;
//   };
//   VX_XML_CLASS_DEF(TvxFile, TvxInstallationItem,
//                    Prop("Src", &TvxFile::Src), Prop("Dst", &TvxFile::Dst))
//
// and a list of such items:
//
//   class TvxFiles : public TXMLObjectList {
//     VX_XML_CLASS(TvxFiles, TXMLObjectList)
//     VX_XML_LIST_OF(TvxFile, "file")
//   };
//   VX_XML_CLASS_DEF(TvxFiles, TXMLObjectList)
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "database/kqXMLParser.h"

namespace vx {

class TXMLObject;
class TClassInfo;

// --- Enumerations and sets ----------------------------------------------------

// The value names of an enumeration in ordinal order. An enumeration type E
// is made known to the property tables by an overload
// `const TEnumInfo& EnumInfo(E)` found by argument-dependent lookup.
struct TEnumInfo {
  std::vector<std::string> Names;
};

// A set of a small enumeration (ordinals 0..31), stored as a bit mask.
template <class E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> members) {
    for (E e : members) Include(e);
  }
  static constexpr TSet FromBits(uint32_t bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr bool Contains(E e) const { return (bits_ >> unsigned(e)) & 1u; }
  constexpr void Include(E e) { bits_ |= 1u << unsigned(e); }
  constexpr void Exclude(E e) { bits_ &= ~(1u << unsigned(e)); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }
  friend constexpr bool operator==(TSet a, TSet b) { return a.bits_ == b.bits_; }

 private:
  uint32_t bits_ = 0;
};

template <class T>
struct IsTSet : std::false_type {};
template <class E>
struct IsTSet<TSet<E>> : std::true_type {
  using Element = E;
};

// --- Property descriptions ----------------------------------------------------------

enum class TPropKind : uint8_t {
  Integer,
  Char,
  WChar,
  Enumeration,
  Boolean,
  Float,
  String,
  Set,
  Class,  // a TXMLObject (or list) or a raw TXMLTag subtree
};

// One published property. Simple kinds are accessed through the ordinal,
// floating-point or string accessor that fits their kind; class-typed ones
// through GetObject/SetObject.
//
// The accessors are plain functions shared by every property of the same
// class and type; what tells the properties apart (the data member, or the
// getter and setter) is kept as bytes in `Access`. A table of a hundred
// properties therefore costs a hundred small records, not a hundred sets of
// generated functions.
struct TPropInfo {
  std::string Name;
  TPropKind Kind = TPropKind::String;
  const TEnumInfo* Enum = nullptr;  // Enumeration and Set
  bool Writable = true;
  std::string XMLName;     // attribute name when it differs from the property name
  std::string EnumPrefix;  // prefix the stored enumeration/set names lack

  // Class kind. ObjectClass is null for a raw TXMLTag property.
  const TClassInfo& (*ObjectClassFn)() = nullptr;

  // Integer, Char, WChar, Enumeration, Boolean, Set bits.
  int64_t GetOrd(const TXMLObject& o) const { return Ops->GetOrd(o, Access); }
  void SetOrd(TXMLObject& o, int64_t v) const { Ops->SetOrd(o, Access, v); }
  double GetFloat(const TXMLObject& o) const { return Ops->GetFloat(o, Access); }
  void SetFloat(TXMLObject& o, double v) const { Ops->SetFloat(o, Access, v); }
  std::string GetStr(const TXMLObject& o) const { return Ops->GetStr(o, Access); }
  void SetStr(TXMLObject& o, const std::string& v) const { Ops->SetStr(o, Access, v); }
  TPersistent* GetObject(const TXMLObject& o) const { return Ops->GetObject(o, Access); }
  void SetObject(TXMLObject& o, std::unique_ptr<TPersistent> v) const { Ops->SetObject(o, Access, std::move(v)); }

  bool IsSimple() const { return Kind != TPropKind::Class; }
  bool IsTag() const { return Kind == TPropKind::Class && !ObjectClassFn; }
  const TClassInfo* ObjectClass() const { return ObjectClassFn ? &ObjectClassFn() : nullptr; }
  bool IsList() const;

  // Table annotations: `Prop("ParamType", &TvxReg::ParamType).As("type")`.
  TPropInfo&& As(std::string xmlName) && {
    XMLName = std::move(xmlName);
    return std::move(*this);
  }
  TPropInfo&& Prefix(std::string prefix) && {
    EnumPrefix = std::move(prefix);
    return std::move(*this);
  }

  // The accessor functions of one kind of property; only those that fit
  // the kind are set (a read-only property has no setter).
  struct TOps {
    int64_t (*GetOrd)(const TXMLObject&, const void*) = nullptr;
    void (*SetOrd)(TXMLObject&, const void*, int64_t) = nullptr;
    double (*GetFloat)(const TXMLObject&, const void*) = nullptr;
    void (*SetFloat)(TXMLObject&, const void*, double) = nullptr;
    std::string (*GetStr)(const TXMLObject&, const void*) = nullptr;
    void (*SetStr)(TXMLObject&, const void*, const std::string&) = nullptr;
    TPersistent* (*GetObject)(const TXMLObject&, const void*) = nullptr;
    void (*SetObject)(TXMLObject&, const void*, std::unique_ptr<TPersistent>) = nullptr;
  };
  const TOps* Ops = nullptr;
  // A data member pointer, or a getter and a setter member function pointer.
  alignas(void*) unsigned char Access[4 * sizeof(void*)] = {};
};

// The run-time description of one persistent class.
class TClassInfo {
 public:
  using Factory = std::unique_ptr<TXMLObject> (*)(TXMLObject* owner);

  TClassInfo(const char* name, const TClassInfo* parent, Factory factory, std::vector<TPropInfo> props);
  TClassInfo(const TClassInfo&) = delete;
  TClassInfo& operator=(const TClassInfo&) = delete;

  const std::string& Name() const { return name_; }
  const TClassInfo* Parent() const { return parent_; }
  bool InheritsFrom(const TClassInfo& other) const;

  // A new object of this class, constructed with `owner`.
  std::unique_ptr<TXMLObject> Create(TXMLObject* owner) const { return factory_(owner); }

  // All properties of the class and its bases, in property-name order.
  const std::vector<const TPropInfo*>& Properties() const { return sorted_; }
  // The properties this class itself declares, in declaration order.
  const std::vector<TPropInfo>& OwnProperties() const { return own_; }
  // Looks a property up by name without regard to case; null when unknown.
  const TPropInfo* FindProperty(std::string_view name) const;
  // The property whose attribute is renamed to `xmlName`, or null.
  const TPropInfo* FindRenamedAttribute(std::string_view xmlName) const;

 private:
  std::string name_;
  const TClassInfo* parent_;
  Factory factory_;
  std::vector<TPropInfo> own_;
  std::vector<const TPropInfo*> sorted_;
  std::vector<std::pair<std::string, const TPropInfo*>> byName_;     // folded name, sorted
  std::vector<std::pair<std::string, const TPropInfo*>> byXMLName_;  // folded renamed attribute
};

// The order in which properties are walked: bytes compared with bit 5
// cleared (letters without regard to case), a name before any longer name
// that begins with it.
bool PropNameLess(std::string_view a, std::string_view b);

// --- Property construction helpers ------------------------------------------------------

namespace detail {

template <class T>
struct UniquePtrTarget {
  using type = void;
};
template <class T>
struct UniquePtrTarget<std::unique_ptr<T>> {
  using type = T;
};

template <class T>
constexpr TPropKind KindOf() {
  if constexpr (std::is_same_v<T, std::string>) return TPropKind::String;
  else if constexpr (std::is_same_v<T, bool>) return TPropKind::Boolean;
  else if constexpr (std::is_same_v<T, char>) return TPropKind::Char;
  else if constexpr (std::is_same_v<T, char16_t>) return TPropKind::WChar;
  else if constexpr (std::is_floating_point_v<T>) return TPropKind::Float;
  else if constexpr (std::is_enum_v<T>) return TPropKind::Enumeration;
  else if constexpr (IsTSet<T>::value) return TPropKind::Set;
  else if constexpr (std::is_integral_v<T>) return TPropKind::Integer;
  else return TPropKind::Class;
}

template <class T>
int64_t ToOrd(const T& v) {
  if constexpr (IsTSet<T>::value) return int64_t(v.Bits());
  else if constexpr (std::is_enum_v<T>) return int64_t(v);
  else if constexpr (std::is_same_v<T, char>) return int64_t((unsigned char)v);
  else return int64_t(v);
}

template <class T>
T FromOrd(int64_t v) {
  if constexpr (IsTSet<T>::value) return T::FromBits(uint32_t(v));
  else if constexpr (std::is_same_v<T, bool>) return v != 0;
  else return T(v);
}

template <class T>
void FillKind(TPropInfo& p) {
  p.Kind = KindOf<T>();
  if constexpr (std::is_enum_v<T>) p.Enum = &EnumInfo(T{});
  else if constexpr (IsTSet<T>::value) p.Enum = &EnumInfo(typename IsTSet<T>::Element{});
}

}  // namespace detail

namespace detail {

template <class P>
P AccessAs(const void* access, size_t index = 0) {
  P p;
  std::memcpy(&p, static_cast<const unsigned char*>(access) + index * sizeof(P), sizeof(P));
  return p;
}

// Accessors of a property stored in a data member of type T of class C.
template <class C, class T>
struct MemberOps {
  using M = T C::*;
  static const T& Ref(const TXMLObject& o, const void* a) { return static_cast<const C&>(o).*AccessAs<M>(a); }
  static T& Ref(TXMLObject& o, const void* a) { return static_cast<C&>(o).*AccessAs<M>(a); }

  static const TPropInfo::TOps* Get() {
    static const TPropInfo::TOps ops = [] {
      TPropInfo::TOps r;
      if constexpr (KindOf<T>() == TPropKind::Class) {
        using Target = typename UniquePtrTarget<T>::type;
        r.GetObject = [](const TXMLObject& o, const void* a) -> TPersistent* { return Ref(o, a).get(); };
        r.SetObject = [](TXMLObject& o, const void* a, std::unique_ptr<TPersistent> v) {
          Ref(o, a).reset(static_cast<Target*>(v.release()));
        };
      } else if constexpr (std::is_same_v<T, std::string>) {
        r.GetStr = [](const TXMLObject& o, const void* a) { return Ref(o, a); };
        r.SetStr = [](TXMLObject& o, const void* a, const std::string& v) { Ref(o, a) = v; };
      } else if constexpr (std::is_floating_point_v<T>) {
        r.GetFloat = [](const TXMLObject& o, const void* a) { return double(Ref(o, a)); };
        r.SetFloat = [](TXMLObject& o, const void* a, double v) { Ref(o, a) = T(v); };
      } else {
        r.GetOrd = [](const TXMLObject& o, const void* a) { return ToOrd(Ref(o, a)); };
        r.SetOrd = [](TXMLObject& o, const void* a, int64_t v) { Ref(o, a) = FromOrd<T>(v); };
      }
      return r;
    }();
    return &ops;
  }
};

// Accessors of a property read through `R (C::*)() const` and written
// through `void (C::*)(A)` (when there is a setter).
template <class C, class R, class A>
struct MethodOps {
  using T = std::remove_cv_t<std::remove_reference_t<R>>;
  using G = R (C::*)() const;
  using S = void (C::*)(A);
  static R Call(const TXMLObject& o, const void* a) { return (static_cast<const C&>(o).*AccessAs<G>(a))(); }
  static void Put(TXMLObject& o, const void* a, T v) {
    (static_cast<C&>(o).*AccessAs<S>(static_cast<const unsigned char*>(a) + sizeof(G)))(v);
  }

  static const TPropInfo::TOps* Get(bool writable) {
    static const TPropInfo::TOps readOnly = Make(false), readWrite = Make(true);
    return writable ? &readWrite : &readOnly;
  }
  static TPropInfo::TOps Make(bool writable) {
    TPropInfo::TOps r;
    if constexpr (std::is_same_v<T, std::string>) {
      r.GetStr = [](const TXMLObject& o, const void* a) { return std::string(Call(o, a)); };
      if (writable) r.SetStr = [](TXMLObject& o, const void* a, const std::string& v) { Put(o, a, v); };
    } else if constexpr (std::is_floating_point_v<T>) {
      r.GetFloat = [](const TXMLObject& o, const void* a) { return double(Call(o, a)); };
      if (writable) r.SetFloat = [](TXMLObject& o, const void* a, double v) { Put(o, a, T(v)); };
    } else {
      r.GetOrd = [](const TXMLObject& o, const void* a) { return ToOrd<T>(Call(o, a)); };
      if (writable) r.SetOrd = [](TXMLObject& o, const void* a, int64_t v) { Put(o, a, FromOrd<T>(v)); };
    }
    return r;
  }
};

}  // namespace detail

// A property stored in a data member.
template <class C, class T>
TPropInfo Prop(const char* name, T C::*member) {
  TPropInfo p;
  p.Name = name;
  if constexpr (detail::KindOf<T>() == TPropKind::Class) {
    using Target = typename detail::UniquePtrTarget<T>::type;
    static_assert(!std::is_void_v<Target>, "class-typed properties are held in std::unique_ptr");
    p.Kind = TPropKind::Class;
    if constexpr (!std::is_same_v<Target, TXMLTag>) p.ObjectClassFn = &Target::StaticClass;
  } else {
    detail::FillKind<T>(p);
  }
  static_assert(sizeof member <= sizeof p.Access);
  std::memcpy(p.Access, &member, sizeof member);
  p.Ops = detail::MemberOps<C, T>::Get();
  return p;
}

// A property read and written through member functions. Without a setter
// the property is read-only: written to XML, never read from it.
template <class C, class R, class A = const R&>
TPropInfo Prop(const char* name, R (C::*getter)() const, void (C::*setter)(A) = nullptr) {
  using T = std::remove_cv_t<std::remove_reference_t<R>>;
  static_assert(detail::KindOf<T>() != TPropKind::Class, "class-typed properties are data members");
  TPropInfo p;
  p.Name = name;
  p.Writable = setter != nullptr;
  detail::FillKind<T>(p);
  static_assert(sizeof getter + sizeof setter <= sizeof p.Access);
  std::memcpy(p.Access, &getter, sizeof getter);
  std::memcpy(p.Access + sizeof getter, &setter, sizeof setter);
  p.Ops = detail::MethodOps<C, R, A>::Get(p.Writable);
  return p;
}

// --- Text conversion -------------------------------------------------------------------------

// The text form of a property (empty when the class has no such property).
std::string GetPropText(const TXMLObject& obj, std::string_view propName, std::string_view prefix = {});
// Sets a property from text; ignored when the class has no such property
// or it cannot be written.
void SetPropText(TXMLObject& obj, std::string_view propName, std::string_view text, std::string_view prefix = {});

// Per-kind conversions, shared with other units.
std::string PropToText(const TXMLObject& obj, const TPropInfo& prop, std::string_view prefix);
void PropFromText(TXMLObject& obj, const TPropInfo& prop, std::string_view text, std::string_view prefix);
// A signed 32-bit decimal number: optional sign and digits only.
bool ParseInteger(std::string_view text, int32_t& value);
// The ordinal of `prefix + name` among the names, without regard to case; -1 if none.
int FindEnumName(const TEnumInfo& info, std::string_view prefix, std::string_view name);

// --- Class declaration macros -----------------------------------------------------------------

// Inside the class body: the constructor (owner as argument), the class
// description and the type queries.
#define VX_XML_CLASS(Class, Base)                                                \
 public:                                                                          \
  using inherited = Base;                                                         \
  explicit Class(::vx::TXMLObject* owner = nullptr);                              \
  ~Class() override;                                                              \
  static const ::vx::TClassInfo& StaticClass();                                   \
  const ::vx::TClassInfo& ClassType() const override { return StaticClass(); }   \
                                                                                  \
 private:

// In a source file: the property table of the class (may be empty), the
// constructor and the destructor. The constructor creates the list-typed
// sub-objects the class declares and applies the class's InitDefaults (each
// constructor of the chain does so for its own class, so the most derived
// defaults win).
#define VX_XML_CLASS_DEF(Class, Base, ...)                                                  \
  Class::Class(::vx::TXMLObject* owner) : Base(owner) {                                     \
    CreateSubLists(StaticClass());                                                          \
    Class::InitDefaults();                                                                  \
  }                                                                                         \
  Class::~Class() = default;                                                                \
  const ::vx::TClassInfo& Class::StaticClass() {                                            \
    static const ::vx::TClassInfo info(                                                     \
        #Class, &Base::StaticClass(),                                                       \
        [](::vx::TXMLObject* owner) -> std::unique_ptr<::vx::TXMLObject> {                  \
          return std::make_unique<Class>(owner);                                            \
        },                                                                                  \
        std::vector<::vx::TPropInfo>{__VA_ARGS__});                                         \
    return info;                                                                            \
  }

// Inside the body of a TXMLObjectList subclass: its one item class and the
// element name of its items, with typed access to the items.
#define VX_XML_LIST_OF(Item, ElementName)                                                   \
 public:                                                                                    \
  const ::vx::TClassInfo* ItemClassFor(const std::string& name) const override {            \
    return name == ElementName ? &Item::StaticClass() : nullptr;                            \
  }                                                                                         \
  const ::vx::TClassInfo* ItemClass() const override { return &Item::StaticClass(); }      \
  std::string ItemElementName(const ::vx::TClassInfo& cls) const override {                 \
    return &cls == &Item::StaticClass() ? std::string(ElementName) : std::string();         \
  }                                                                                         \
  Item& operator[](int i) const { return static_cast<Item&>(Get(i)); }                     \
  Item* Add(std::unique_ptr<Item> item) {                                                   \
    return static_cast<Item*>(::vx::TXMLObjectList::Add(std::move(item)));                  \
  }                                                                                         \
  Item* AddNew() { return Add(std::make_unique<Item>(this)); }                              \
                                                                                            \
 private:

// As VX_XML_LIST_OF, for a TXMLParamList whose new entries are of the item class.
#define VX_XML_PARAM_LIST_OF(Item, ElementName)                                             \
  VX_XML_LIST_OF(Item, ElementName)                                                         \
 public:                                                                                    \
  const ::vx::TClassInfo& ParamClass() const override { return Item::StaticClass(); }      \
                                                                                            \
 private:

// --- TXMLObject ---------------------------------------------------------------------------------

class TXMLObject : public TPersistent {
 public:
  explicit TXMLObject(TXMLObject* owner = nullptr) : Owner(owner) {}
  ~TXMLObject() override = default;
  TXMLObject(const TXMLObject&) = delete;
  TXMLObject& operator=(const TXMLObject&) = delete;

  static const TClassInfo& StaticClass();
  virtual const TClassInfo& ClassType() const { return StaticClass(); }
  const char* ClassName() const override;

  bool Merging = false;           // true only while AssignMerge runs
  TXMLObject* Owner = nullptr;    // the list or object that holds this one

  // From a TXMLTag: read attributes and child elements (after Clear unless
  // merging). From another TXMLObject: copy through its XML form.
  void Assign(const TPersistent& source) override;
  // Into a TXMLTag: the object's attributes and child elements.
  void AssignTo(TPersistent& dest) const override;

  virtual void ReadAttribute(const std::string& entry);
  virtual void ReadElement(const TXMLTag& tag);
  virtual void WriteAttributes(TXMLTag& tag) const;
  virtual void WriteAttribute(const std::string& propName, TXMLTag& tag) const;
  virtual void WriteElements(TXMLTag& tag) const;
  // Name mapping between XML and properties; by default the renamings the
  // property table declares (attributes only).
  virtual std::string XMLToPropName(const std::string& name, bool isElement) const;
  virtual std::string PropToXMLName(const std::string& name, bool isElement) const;
  // The prefix stored enumeration/set names of `propName` lack; by default
  // the one the property table declares.
  virtual std::string EnumPrefix(const std::string& propName) const;
  virtual bool AcceptRead(const TXMLTag& tag);
  virtual bool AcceptWrite(TXMLTag& tag) const;
  virtual void InitDefaults() {}
  // Resets every property to its empty value, drops sub-objects, recreates
  // empty lists and applies InitDefaults.
  virtual void Clear();
  // Assign without the preceding Clear: present values overwrite, absent
  // ones stay, sub-objects merge, list items are appended.
  virtual void AssignMerge(const TPersistent& source);

  // False when the file cannot be read, has no root element, or its root is
  // not `rootName` (when given). Parse errors propagate.
  bool LoadFromFile(const std::string& path, const std::string& rootName);
  // False when `rootName` is empty or the file cannot be written.
  bool SaveToFile(const std::string& path, const std::string& rootName) const;
  // Parses `text` and assigns its root when it is an element named
  // `rootName` (any name when empty); otherwise nothing changes.
  void LoadFromText(std::string_view text, const std::string& rootName);

 protected:
  // Creates the list-typed sub-objects `cls` itself declares that are
  // still missing (each constructor calls it for its own class).
  void CreateSubLists(const TClassInfo& cls);
};

// --- Lists ------------------------------------------------------------------------------------------

class TXMLObjectList : public TXMLObject {
  VX_XML_CLASS(TXMLObjectList, TXMLObject)

 public:
  int Count() const { return int(items_.size()); }
  TXMLObject& Get(int i) const { return *items_[size_t(i)]; }
  // Appends and takes ownership; the item's Owner becomes this list.
  TXMLObject* Add(std::unique_ptr<TXMLObject> item);
  void Delete(int i);
  int IndexOf(const TXMLObject* item) const;
  // Deletes the item; its former index, or -1 when it is not in the list.
  int Remove(const TXMLObject* item);

  // The first item whose property matches `value`: an integer property when
  // `value` is a decimal number equal to it, a string property when equal
  // (byte for byte, or with Windows-1251 case folding).
  TXMLObject* FindByProp(std::string_view propName, std::string_view value, bool caseSensitive = false) const;
  TXMLObject* FindByID(std::string_view id) const { return FindByProp("ID", id); }

  void ReadElement(const TXMLTag& tag) override;
  void WriteElements(TXMLTag& tag) const override;
  void Clear() override;

  virtual const TClassInfo* ItemClassFor(const std::string& elementName) const { return nullptr; }
  // The one item class of the list (null for a list without one); tools
  // that describe the XML form walk the classes through it.
  virtual const TClassInfo* ItemClass() const { return nullptr; }
  virtual std::string ItemElementName(const TClassInfo& itemClass) const { return std::string(); }
  virtual bool SameItem(const TXMLObject& a, const TXMLObject& b) const { return false; }

 private:
  std::vector<std::unique_ptr<TXMLObject>> items_;
};

class TXMLParamList : public TXMLObjectList {
  VX_XML_CLASS(TXMLParamList, TXMLObjectList)

 public:
  virtual const TClassInfo& ParamClass() const { return TXMLObject::StaticClass(); }
  virtual TXMLObject* FindParam(const std::string& name) const { return FindByProp("Name", name); }
  // Updates the first entry named `name` (Windows-1251 case folding) or
  // appends a new one of ParamClass(), then sets its Name and Value.
  void SetParam(const std::string& name, const std::string& value);
};

}  // namespace vx
