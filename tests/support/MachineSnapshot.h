// What a machine holds -- files, folders, registry keys and values, and on
// a sandbox machine the state kept beside them -- taken through the Host,
// so that a test can prove that an installation undone (rolled back, or
// installed and uninstalled) leaves the machine exactly as it found it.
// Diff lists what differs in a stable order; `vxtool machine diff` prints
// the same text for two sandbox machine folders.
//
// The snapshot works on either host: on a sandbox machine it takes the
// whole machine unless roots are named; on Windows (tests under Wine) a
// test names the folders and keys it watches (SnapshotOptions::TestRoots).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "system/host.h"

namespace vxtest {

struct SnapshotOptions {
  // Folders watched with everything below them ("C:\scratch") and registry
  // keys watched with everything below them ("HKCU\Software\Test"; root
  // names as the engine writes them). When both are empty the whole machine
  // is watched on a sandbox machine: every drive kept in the machine folder,
  // every hive and the machine's own state (the facts of machine.ini, a
  // restart the engine asked for, the font table, any other file beside
  // machine.ini). Other hosts have no whole machine to take.
  std::vector<std::string> folders;
  std::vector<std::string> keys;
  // Paths and key paths left out, as text prefixes compared without regard
  // to case: "C:\Temp\" leaves out what lies in C:\Temp but not the folder
  // itself, "C:\Temp" the folder too (and "C:\Temp2"). A value is left out
  // with its key, or when "key\name" starts with a prefix.
  std::vector<std::string> ignore;

  // The roots a test watches on either host: its scratch folder, its own
  // key HKCU\Software\<testKey>, and the machine-wide keys an installation
  // writes (Uninstall, SharedDLLs, RunOnce of HKLM and HKCU).
  static SnapshotOptions TestRoots(const std::string& scratch, const std::string& testKey);
};

// The host's temporary folder with a trailing backslash: as an ignore
// prefix it leaves out the engine's own temporary folders below it while
// the folder itself is still compared.
std::string TempFolderPrefix(vx::Host& host);

struct SnapshotFile {
  std::string path;  // Windows path as the host names it
  bool folder = false;
  uint32_t attributes = 0;  // as the host reports them
  uint64_t size = 0;
  std::string sha256;  // files: the digest of the content (32 bytes)
  std::string bytes;   // files of at most kKeptBytes: the content itself
  bool bytesKept = false;
};

struct SnapshotValue {
  std::string name;  // "" is the default value
  uint32_t type = 0;
  std::string data;  // raw bytes
};

struct SnapshotKey {
  std::string path;                             // "HKLM\Software\X"
  std::map<std::string, SnapshotValue> values;  // by upper-case name
};

class MachineSnapshot {
 public:
  // Small files are kept whole, so that a difference can name its first byte.
  static constexpr uint64_t kKeptBytes = 64 * 1024;

  // Takes what `host` holds under the roots of `options`. What cannot be
  // read is listed in `problems`, never left out silently.
  static MachineSnapshot Take(vx::Host& host, const SnapshotOptions& options = {});

  // Natively: opens the sandbox machine in the folder `root` and takes it
  // whole (less `options.ignore`). False, with `error` saying why, when the
  // folder holds no machine or one of its files cannot be read. Nothing is
  // created or changed in the folder.
  static bool TakeMachineFolder(const std::string& root, const SnapshotOptions& options,
                                MachineSnapshot& snapshot, std::string& error);

  // Keyed so that the maps' order is the tree's order (a folder right
  // before what it holds) without regard to case.
  std::map<std::string, SnapshotFile> files;
  std::map<std::string, SnapshotKey> keys;
  // The machine's own state: name -> shown value ("[Machine] Build" ->
  // "\"2600\"", "restart requested" -> "(flags 2)", "font loaded
  // C:\WINDOWS\Fonts\a.ttf" -> "(once)"); ignore prefixes apply to the names.
  std::map<std::string, std::pair<std::string, std::string>> machine;
  std::vector<std::string> problems;
};

// The differences from `before` to `after`, one line each, "" when there is
// none: what could not be read first ("! before: ..."), then files and
// folders, registry keys and values, the machine's state, each in tree
// order:
//   + folder C:\x            - file C:\x\a.txt (4 bytes)
//   ~ file C:\a.txt: content 4 -> 4 bytes, first difference at byte 2
//   ~ file C:\a.txt: attributes 0x20 (archive) -> 0x21 (read-only, archive)
//   + key HKLM\Software\X    - value HKLM\Software\X\'name' REG_SZ "a"
//   ~ value HKLM\Software\X\'name' REG_SZ "a" -> REG_EXPAND_SZ "a"
//   ~ value HKLM\Software\X\'name' REG_SZ "a" -> "b"
//   + machine restart requested (flags 2)
// The default value is shown as "\@". A file is compared by its digest
// when it is larger than kKeptBytes (no first difference is named then);
// a removed folder or key is listed with everything it held.
std::string Diff(const MachineSnapshot& before, const MachineSnapshot& after);

// The name of a registry value type ("REG_SZ"; "REG_<n>" for others).
std::string RegTypeName(uint32_t type);

// SHA-256 of `bytes` fed in pieces.
class Sha256 {
 public:
  Sha256();
  void Add(const void* data, size_t size);
  std::string Finish();  // the 32-byte digest

 private:
  void Block(const unsigned char* p);
  uint32_t h_[8];
  unsigned char buffer_[64];
  size_t used_ = 0;
  uint64_t total_ = 0;
};

}  // namespace vxtest
