// The registry of the sandbox machine: one tree of keys and values per root
// key, kept on disk as a REGEDIT4 text file.
//
// Every value type survives a save and a load unchanged: REG_SZ data that
// is exactly one text with its terminating zero is written in the readable
// "..." form, a 4-byte REG_DWORD as dword:, REG_BINARY as hex:, and
// everything else (other types, strings without or with extra zero bytes,
// strings holding line breaks, DWORDs of another size) as hex(N): bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vx {

struct RegValueEntry {
  std::string name;  // "" is the default value
  uint32_t type = 0;
  std::string data;
};

class RegNode {
 public:
  std::string name;
  std::vector<RegValueEntry> values;            // in order of creation
  std::vector<std::unique_ptr<RegNode>> keys;   // sorted without regard to case

  RegNode* FindKey(const std::string& keyName) const;
  RegNode* AddKey(const std::string& keyName);  // finds or creates
  bool RemoveKey(const std::string& keyName);
  RegValueEntry* FindValue(const std::string& valueName);
  void SetValue(const std::string& valueName, uint32_t type, const std::string& data);
  bool RemoveValue(const std::string& valueName);
};

// Reads REGEDIT4 text into `top`, the node of the root key named
// `rootName` ("HKEY_LOCAL_MACHINE"). Keys of other roots, "[-key]" and
// "name=-" deletions and lines that cannot be understood are skipped; a
// damaged file never stops the rest from loading.
void ParseRegedit4(const std::string& text, const std::string& rootName, RegNode& top);

// The REGEDIT4 form of `node` and everything below it, `path` being the
// node's full name ("HKEY_LOCAL_MACHINE\Software"). With `header` the text
// starts with "REGEDIT4" and an empty line.
std::string WriteRegedit4(const RegNode& node, const std::string& path, bool header);

// Checks that a value or key name can be stored in the REGEDIT4 form (no
// line breaks, no zero bytes).
bool StorableRegName(const std::string& name);

}  // namespace vx
