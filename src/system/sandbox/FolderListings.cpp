#include "system/sandbox/FolderListings.h"

#include <dirent.h>

#include "system/kqStrUtils.h"

namespace vx {

namespace {

// Above this many names in all listings together they are dropped and read
// again as needed (a machine with a very large tree stays within memory).
const size_t kMaxNames = 1u << 20;

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool FolderListings::Stamp::operator==(const Stamp& o) const {
  return dev == o.dev && ino == o.ino && SameTime(mtime, o.mtime) && SameTime(ctime, o.ctime);
}

FolderListings::Stamp FolderListings::StampOf(const struct stat& st) {
  Stamp s;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.mtime = st.st_mtim;
  s.ctime = st.st_ctim;
  return s;
}

std::string FolderListings::Fold(const std::string& name) { return UpperCase(name); }

std::string FolderListings::Find(const std::string& dir, const struct stat& dirStat, const std::string& name) {
  Stamp now = StampOf(dirStat);
  std::lock_guard<std::mutex> guard(lock_);
  auto it = listings_.find(dir);
  if (it == listings_.end() || !(it->second.stamp == now)) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return "";
    if (it != listings_.end()) {
      names_ -= it->second.names.size();
      listings_.erase(it);
    }
    if (names_ > kMaxNames) DropAll();
    Listing fresh;
    // Stamped with the state taken before the read: a change during the
    // read makes the next look read the folder again.
    fresh.stamp = now;
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n == "." || n == "..") continue;
      fresh.names.emplace(Fold(n), n);
    }
    ::closedir(d);
    names_ += fresh.names.size();
    it = listings_.emplace(dir, std::move(fresh)).first;
  }
  auto found = it->second.names.find(Fold(name));
  return found == it->second.names.end() ? "" : found->second;
}

bool FolderListings::Has(const std::string& dir) {
  std::lock_guard<std::mutex> guard(lock_);
  return listings_.count(dir) != 0;
}

void FolderListings::Update(const std::string& dir, const std::string& name, bool added) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = listings_.find(dir);
  if (it == listings_.end()) return;
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    names_ -= it->second.names.size();
    listings_.erase(it);
    return;
  }
  std::string key = Fold(name);
  if (added) {
    if (it->second.names.emplace(key, name).second) ++names_;
  } else {
    names_ -= it->second.names.erase(key);
  }
  it->second.stamp = StampOf(st);
}

void FolderListings::Added(const std::string& dir, const std::string& name) { Update(dir, name, true); }

void FolderListings::Removed(const std::string& dir, const std::string& name) { Update(dir, name, false); }

void FolderListings::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  DropAll();
}

void FolderListings::DropAll() {
  listings_.clear();
  names_ = 0;
}

}  // namespace vx
