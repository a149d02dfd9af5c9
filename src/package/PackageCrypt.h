// Keys, database encryption and the password check of the package format.
//
// A key is always the HAVAL-256/5 digest of a text and keys GOST 28147-89 in
// the chained mode of DCPcrypt.h, started without an initial vector:
//   - databases ("main.pdb", "db.pdb"): the text is kDatabaseKeyPrefix
//     followed by the decimal length of the encrypted file; the whole file
//     is one unit;
//   - package data and files marked "encrypt": the text is the password.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vx {

using Key256 = std::array<uint8_t, 32>;

// HAVAL-256/5 over the bytes of `text`.
Key256 HashText(const std::string& text);
// HashText as 64 upper-case hexadecimal digits, in byte order.
std::string HashHex(const std::string& text);

// The key text of a database file of `length` bytes.
std::string DatabaseKeyText(uint64_t length);

// Decrypts the bytes of a database file (empty stays empty).
std::string DecryptDatabase(const std::string& encrypted);
// The building tool's side: the file contents for a database text.
std::string EncryptDatabase(const std::string& text);
// Reads the whole file through the host and decrypts it. A file that cannot
// be read raises EInOutError.
std::string DecryptDatabaseFile(const std::string& path);

// The password check against the value of "PswCheckHash".
bool HasPassword(const std::string& pswCheckHash);
bool CheckPassword(const std::string& password, const std::string& pswCheckHash);
// The "PswCheckHash" value of a password (the building tool's side).
std::string PasswordCheckHash(const std::string& password);

}  // namespace vx
