// The names of native folders by their case-folded form. Windows finds
// "SETUP.INI" as "Setup.ini"; the native file system does not, so a name
// that is not there as written is looked for in its folder's listing. An
// installation looks for thousands of names that are not there yet, most
// of them in the few folders it is filling: reading such a folder for each
// name would make the install quadratic in the folder's size.
//
// A listing is used only while its folder is unchanged (same inode, change
// and modification times as when it was read); the machine's own changes
// keep the listings of their folders current, so that a folder being filled
// is read once. A change that another process makes within the file
// system's timestamp granularity after the machine's own change to the same
// folder can go unseen until the folder changes again; nothing else shares
// a machine's folders while it installs.
#pragma once

#include <sys/stat.h>

#include <mutex>
#include <string>
#include <unordered_map>

namespace vx {

class FolderListings {
 public:
  // The entry of native folder `dir` whose name equals `name` without
  // regard to ASCII case ("" when there is none). `dirStat` is the folder's
  // state taken just now by the caller.
  std::string Find(const std::string& dir, const struct stat& dirStat, const std::string& name);
  // Whether a listing of `dir` is kept (it may be out of date).
  bool Has(const std::string& dir);
  // The machine created `name` in `dir`, or removed it.
  void Added(const std::string& dir, const std::string& name);
  void Removed(const std::string& dir, const std::string& name);
  // Forgets every listing (a folder was moved: paths below it changed).
  void Clear();

 private:
  struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec mtime {}, ctime {};
    bool operator==(const Stamp& o) const;
  };
  struct Listing {
    Stamp stamp;
    std::unordered_map<std::string, std::string> names;  // folded -> as stored
  };
  static Stamp StampOf(const struct stat& st);
  static std::string Fold(const std::string& name);
  void Update(const std::string& dir, const std::string& name, bool added);
  void DropAll();  // with lock_ held

  std::mutex lock_;
  std::unordered_map<std::string, Listing> listings_;
  size_t names_ = 0;  // across all listings, to bound the memory they take
};

}  // namespace vx
