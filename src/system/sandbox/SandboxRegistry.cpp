// SandboxHost, the registry: one tree per root key, kept in a REGEDIT4
// hive file (RegistryHive.h) that is read again when another process
// changed it and written atomically after each change.
#include "system/sandbox/SandboxHost.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "system/kqRegIni.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

struct RootInfo {
  RegKey key;
  const char* name;
  const char* file;
};
const RootInfo kRoots[] = {{kHKeyClassesRoot, "HKEY_CLASSES_ROOT", "HKCR.reg"},
                           {kHKeyCurrentUser, "HKEY_CURRENT_USER", "HKCU.reg"},
                           {kHKeyLocalMachine, "HKEY_LOCAL_MACHINE", "HKLM.reg"},
                           {kHKeyUsers, "HKEY_USERS", "HKU.reg"}};

const RootInfo* FindRoot(RegKey key) {
  for (const RootInfo& r : kRoots)
    if (r.key == key) return &r;
  return nullptr;
}

int64_t FileStamp(const std::string& file, int64_t& size) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    size = -1;
    return -1;
  }
  size = int64_t(st.st_size);
  return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

std::vector<std::string> SplitKeyPath(const std::string& path) {
  std::vector<std::string> parts;
  for (const std::string& p : SplitString(path, '\\'))
    if (!p.empty()) parts.push_back(p);
  return parts;
}

}  // namespace

std::string SandboxHost::RootName(RegKey root) {
  const RootInfo* r = FindRoot(root);
  return r ? r->name : "";
}

bool SandboxHost::IsNT() const { return !SameText(Fact("Machine", "Platform"), "9X"); }

// --- Registry -----------------------------------------------------------------------

SandboxHost::Hive* SandboxHost::GetHive(RegKey root) {
  const RootInfo* info = FindRoot(root);
  if (!info) return nullptr;
  Hive& h = hives_[root];
  if (h.file.empty()) h.file = root_ + "/" + info->file;
  int64_t size = 0;
  int64_t stamp = FileStamp(h.file, size);
  // Another process (vxtool, a second engine) may have changed the file.
  if (!h.loaded || stamp != h.stamp || size != h.size) {
    h.top = RegNode();
    std::string text;
    if (NativeReadFile(h.file, text)) ParseRegedit4(text, info->name, h.top);
    h.loaded = true;
    h.stamp = stamp;
    h.size = size;
  }
  return &h;
}

bool SandboxHost::SaveHive(RegKey root) {
  auto it = hives_.find(root);
  if (it == hives_.end()) return false;
  Hive* h = &it->second;
  if (!NativeWriteFileAtomic(h->file, WriteRegedit4(h->top, FindRoot(root)->name, true))) {
    h->loaded = false;  // memory no longer matches the file: read it again
    return false;
  }
  h->stamp = FileStamp(h->file, h->size);
  return true;
}

uint32_t SandboxHost::ResolveKey(RegKey key, const std::string& subKey, RegKey& root,
                                 std::vector<std::string>& path) {
  path.clear();
  if (FindRoot(key)) {
    root = key;
  } else {
    auto it = regKeys_.find(key);
    if (it == regKeys_.end()) return kErrorInvalidHandle;
    root = it->second.root;
    path = it->second.path;
  }
  for (const std::string& p : SplitKeyPath(subKey)) path.push_back(p);
  return kErrorSuccess;
}

RegNode* SandboxHost::FindNode(RegKey root, const std::vector<std::string>& path) {
  Hive* h = GetHive(root);
  if (!h) return nullptr;
  RegNode* node = &h->top;
  for (const std::string& p : path) {
    node = node->FindKey(p);
    if (!node) return nullptr;
  }
  return node;
}

bool SandboxHost::MayWriteRoot(RegKey root) {
  if (rebooting_ || root == kHKeyCurrentUser) return true;
  // A user without administrator rights cannot change the machine's keys on NT.
  return !(IsNT() && Fact("Machine", "Administrator") == "0");
}

uint32_t SandboxHost::OpenRegKey(RegKey parent, const std::string& subKey, bool write, RegKey& key) {
  key = 0;
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(parent, subKey, root, path)) return r;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorFileNotFound;
  if (write && !MayWriteRoot(root)) return kErrorAccessDenied;
  // Keep the names as stored, so that the handle's path is canonical.
  RegNode* walk = &GetHive(root)->top;
  for (std::string& p : path) {
    walk = walk->FindKey(p);
    p = walk->name;
  }
  key = nextRegKey_ += 4;
  regKeys_[key] = OpenKey{root, path, write};
  return kErrorSuccess;
}

uint32_t SandboxHost::CreateRegKey(RegKey parent, const std::string& subKey, RegKey& key) {
  key = 0;
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(parent, subKey, root, path)) return r;
  Hive* h = GetHive(root);
  RegNode* node = &h->top;
  bool created = false;
  for (std::string& p : path) {
    if (!StorableRegName(p)) return kErrorInvalidParameter;
    RegNode* next = node->FindKey(p);
    if (!next) {
      if (!MayWriteRoot(root)) return kErrorAccessDenied;
      next = node->AddKey(p);
      created = true;
    }
    p = next->name;
    node = next;
  }
  if (created && !SaveHive(root)) return kErrorAccessDenied;
  key = nextRegKey_ += 4;
  regKeys_[key] = OpenKey{root, path, MayWriteRoot(root)};
  return kErrorSuccess;
}

void SandboxHost::CloseRegKey(RegKey key) { regKeys_.erase(key); }

uint32_t SandboxHost::QueryRegValue(RegKey key, const std::string& name, uint32_t& type, std::string& data) {
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(key, "", root, path)) return r;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorKeyDeleted;
  RegValueEntry* v = node->FindValue(name);
  if (!v) return kErrorFileNotFound;
  type = v->type;
  data = v->data;
  return kErrorSuccess;
}

uint32_t SandboxHost::SetRegValue(RegKey key, const std::string& name, uint32_t type, const std::string& data) {
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(key, "", root, path)) return r;
  auto it = regKeys_.find(key);
  if ((it != regKeys_.end() && !it->second.write) || !MayWriteRoot(root)) return kErrorAccessDenied;
  if (!StorableRegName(name)) return kErrorInvalidParameter;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorKeyDeleted;
  node->SetValue(name, type, data);
  return SaveHive(root) ? kErrorSuccess : kErrorAccessDenied;
}

uint32_t SandboxHost::DeleteRegValue(RegKey key, const std::string& name) {
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(key, "", root, path)) return r;
  auto it = regKeys_.find(key);
  if ((it != regKeys_.end() && !it->second.write) || !MayWriteRoot(root)) return kErrorAccessDenied;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorKeyDeleted;
  if (!node->RemoveValue(name)) return kErrorFileNotFound;
  return SaveHive(root) ? kErrorSuccess : kErrorAccessDenied;
}

uint32_t SandboxHost::DeleteRegKey(RegKey key, const std::string& subKey) {
  RegKey root = 0;
  std::vector<std::string> path;
  if (uint32_t r = ResolveKey(key, subKey, root, path)) return r;
  if (path.empty() || !MayWriteRoot(root)) return kErrorAccessDenied;
  RegNode* node = FindNode(root, path);
  if (!node) return kErrorFileNotFound;
  if (IsNT() && !node->keys.empty()) return kErrorAccessDenied;  // NT deletes leaf keys only
  std::string last = path.back();
  path.pop_back();
  FindNode(root, path)->RemoveKey(last);
  return SaveHive(root) ? kErrorSuccess : kErrorAccessDenied;
}

// The node of an open key, for the enumerations; `error` says why there is none.
RegNode* SandboxHost::KeyNode(RegKey key, uint32_t& error) {
  RegKey root = 0;
  std::vector<std::string> path;
  if ((error = ResolveKey(key, "", root, path)) != kErrorSuccess) return nullptr;
  RegNode* node = FindNode(root, path);
  if (!node) error = kErrorKeyDeleted;
  return node;
}

uint32_t SandboxHost::EnumRegKey(RegKey key, uint32_t index, std::string& name) {
  uint32_t error = kErrorSuccess;
  RegNode* node = KeyNode(key, error);
  if (!node) return error;
  if (index >= node->keys.size()) return kErrorNoMoreItems;
  name = node->keys[index]->name;
  return kErrorSuccess;
}

uint32_t SandboxHost::EnumRegValue(RegKey key, uint32_t index, std::string& name) {
  uint32_t error = kErrorSuccess;
  RegNode* node = KeyNode(key, error);
  if (!node) return error;
  if (index >= node->values.size()) return kErrorNoMoreItems;
  name = node->values[index].name;
  return kErrorSuccess;
}

bool SandboxHost::ExportRegistry(const std::string& keyPath, std::string& text) {
  RegKey root = 0;
  std::string sub;
  SplitRegPath(keyPath, root, sub);
  std::vector<std::string> path = SplitKeyPath(sub);
  RegNode* node = FindNode(root, path);
  if (!node) return false;
  std::string full = RootName(root);
  RegNode* walk = &GetHive(root)->top;
  for (const std::string& p : path) {
    walk = walk->FindKey(p);
    full += "\\" + walk->name;
  }
  text = WriteRegedit4(*node, full, true);
  return true;
}

}  // namespace vx
