// The few containers the extraction library needs, built on malloc alone.
// The library is embedded in every setup file, in front of the cabinet, so
// it links no C++ runtime: no exceptions, no operator new, no std::string.
// Growing operations report running out of memory by their result.
//
// List and PtrMap are plain aggregates: zero-initialised they are empty,
// and they are released by Free() (they may live in calloc'ed records).
// Text frees itself and lives only in locals and members.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace vxunpack {

inline constexpr char kOutOfMemory[] = "out of memory";

// A growable array of trivially copyable values.
template <class T>
struct List {
  T* items;
  size_t count, capacity;

  bool Reserve(size_t wanted) {
    if (wanted <= capacity) return true;
    size_t grown = capacity ? capacity * 2 : 8;
    if (grown < wanted) grown = wanted;
    if (grown > SIZE_MAX / sizeof(T)) return false;
    T* p = static_cast<T*>(realloc(items, grown * sizeof(T)));
    if (!p) return false;
    items = p;
    capacity = grown;
    return true;
  }
  bool Push(const T& value) {
    if (!Reserve(count + 1)) return false;
    items[count++] = value;
    return true;
  }
  T& operator[](size_t i) { return items[i]; }
  const T& operator[](size_t i) const { return items[i]; }
  T& Back() { return items[count - 1]; }
  void Free() {
    free(items);
    items = nullptr;
    count = capacity = 0;
  }
};

// A map from pointers to trivially copyable values: open addressing with
// linear probing, never more than half full.
template <class V>
struct PtrMap {
  const void** keys;
  V* values;
  size_t capacity, count;  // capacity is zero or a power of two

  V* Find(const void* key) const {
    if (!capacity || !key) return nullptr;
    for (size_t i = Slot(key, capacity);; i = (i + 1) & (capacity - 1)) {
      if (keys[i] == key) return &values[i];
      if (!keys[i]) return nullptr;
    }
  }
  // Inserts or replaces; the stored value, or null when out of memory.
  V* Put(const void* key, const V& value) {
    if (!key) return nullptr;
    if (V* found = Find(key)) {
      *found = value;
      return found;
    }
    if ((count + 1) * 2 > capacity && !Grow()) return nullptr;
    size_t i = Slot(key, capacity);
    while (keys[i]) i = (i + 1) & (capacity - 1);
    keys[i] = key;
    values[i] = value;
    ++count;
    return &values[i];
  }
  void Free() {
    free(keys);
    free(values);
    keys = nullptr;
    values = nullptr;
    capacity = count = 0;
  }

 private:
  static size_t Slot(const void* key, size_t capacity) {
    size_t h = size_t(uintptr_t(key) >> 3);
    h *= size_t(0x9E3779B97F4A7C15ull);
    return (h ^ (h >> 15)) & (capacity - 1);
  }
  bool Grow() {
    size_t wider = capacity ? capacity * 2 : 16;
    if (wider > SIZE_MAX / 2 / sizeof(V)) return false;
    const void** newKeys = static_cast<const void**>(calloc(wider, sizeof *newKeys));
    V* newValues = static_cast<V*>(malloc(wider * sizeof(V)));
    if (!newKeys || !newValues) {
      free(newKeys);
      free(newValues);
      return false;
    }
    for (size_t i = 0; i < capacity; ++i) {
      if (!keys[i]) continue;
      size_t j = Slot(keys[i], wider);
      while (newKeys[j]) j = (j + 1) & (wider - 1);
      newKeys[j] = keys[i];
      newValues[j] = values[i];
    }
    free(keys);
    free(values);
    keys = newKeys;
    values = newValues;
    capacity = wider;
    return true;
  }
};

// A zero-terminated string that grows. A failed growth keeps the text as it
// was and sets `failed`, so that a chain of appends is checked once.
class Text {
 public:
  Text() = default;
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text() { free(chars_); }

  void Append(const char* s, size_t n) {
    if (failed_) return;
    if (length_ + n + 1 > capacity_) {
      size_t grown = (length_ + n + 1) * 2;
      char* p = static_cast<char*>(realloc(chars_, grown));
      if (!p) {
        failed_ = true;
        return;
      }
      chars_ = p;
      capacity_ = grown;
    }
    memcpy(chars_ + length_, s, n);
    length_ += n;
    chars_[length_] = 0;
  }
  void Append(const char* s) { Append(s, strlen(s)); }
  void Append(char c) { Append(&c, 1); }
  void Clear() {
    length_ = 0;
    if (chars_) chars_[0] = 0;
  }
  const char* Get() const { return chars_ ? chars_ : ""; }
  size_t Length() const { return length_; }
  bool Failed() const { return failed_; }
  // Hands the malloc'ed characters over to the caller (null when empty).
  char* Release() {
    char* p = chars_;
    chars_ = nullptr;
    length_ = capacity_ = 0;
    return p;
  }

 private:
  char* chars_ = nullptr;
  size_t length_ = 0, capacity_ = 0;
  bool failed_ = false;
};

// A malloc'ed copy of `s`, or null.
inline char* Duplicate(const char* s) {
  size_t n = strlen(s) + 1;
  char* p = static_cast<char*>(malloc(n));
  if (p) memcpy(p, s, n);
  return p;
}

// Copies `s` into `out` of `size` bytes, cut to fit; always terminated.
inline void CopyText(char* out, size_t size, const char* s) {
  size_t n = strlen(s);
  if (n >= size) n = size - 1;
  memcpy(out, s, n);
  out[n] = 0;
}

// Writes the concatenation of the non-null pieces into `out`, cut to fit.
void JoinText(char* out, size_t size, const char* a, const char* b = nullptr, const char* c = nullptr,
              const char* d = nullptr, const char* e = nullptr);

// The decimal digits of `value` (with a sign when negative) in `out`.
void FormatNumber(char (&out)[16], int32_t value);

}  // namespace vxunpack
