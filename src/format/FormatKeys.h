// The fixed constants of the package format. The engine and the building
// tool must agree on every one of them, so they live here and nowhere else.
#pragma once

#include <cstdint>

namespace vx {

// The key text of an encrypted database ("main.pdb", "db.pdb") is this
// ten-character prefix followed by the decimal length of the encrypted file.
inline constexpr char kDatabaseKeyPrefix[] = "Vx2#Pdb!k7";
static_assert(sizeof kDatabaseKeyPrefix - 1 == 10, "the database key prefix has ten characters");

// The password check hash is HashHex(prefix + password + suffix).
inline constexpr char kPasswordPrefix[] = "<v#";
inline constexpr char kPasswordSuffix[] = "#x>";
static_assert(sizeof kPasswordPrefix - 1 == 3 && sizeof kPasswordSuffix - 1 == 3,
              "the password affixes have three characters each");

// Every byte of a scrambled cabinet is stored XORed with this mask; the
// extraction library undoes it when it is opened in scrambled mode.
inline constexpr uint8_t kScrambleMask = 0xA7;

}  // namespace vx
