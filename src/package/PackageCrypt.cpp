#include "package/PackageCrypt.h"

#include "package/DCPcrypt.h"
#include "format/FormatKeys.h"
#include "package/Haval.h"
#include "package/SecureWipe.h"
#include "system/Errors.h"
#include "system/kqFileUtils.h"

namespace vx {
namespace {

enum class Direction { Decrypt, Encrypt };

std::string DatabaseCipher(const std::string& input, Direction direction) {
  if (input.empty()) return {};
  Key256 key = HashText(DatabaseKeyText(input.size()));
  CipherState state;
  StartCipher(state, key.data(), 256);
  SecureWipe(key.data(), key.size());
  std::string output(input.size(), '\0');
  if (direction == Direction::Decrypt)
    DecryptStream(state, input.data(), output.data(), input.size());
  else
    EncryptStream(state, input.data(), output.data(), input.size());
  WipeCipher(state);
  return output;
}

}  // namespace

Key256 HashText(const std::string& text) {
  Key256 digest;
  Haval256Digest(text.data(), text.size(), digest.data());
  return digest;
}

std::string HashHex(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  Key256 digest = HashText(text);
  std::string hex;
  hex.reserve(64);
  for (uint8_t b : digest) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

std::string DatabaseKeyText(uint64_t length) { return kDatabaseKeyPrefix + std::to_string(length); }

std::string DecryptDatabase(const std::string& encrypted) { return DatabaseCipher(encrypted, Direction::Decrypt); }

std::string EncryptDatabase(const std::string& text) { return DatabaseCipher(text, Direction::Encrypt); }

std::string DecryptDatabaseFile(const std::string& path) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) throw EInOutError("Cannot open file \"" + path + "\".");
  return DecryptDatabase(bytes);
}

bool HasPassword(const std::string& pswCheckHash) { return !pswCheckHash.empty(); }

bool CheckPassword(const std::string& password, const std::string& pswCheckHash) {
  return pswCheckHash.empty() || PasswordCheckHash(password) == pswCheckHash;
}

std::string PasswordCheckHash(const std::string& password) {
  return HashHex(kPasswordPrefix + password + kPasswordSuffix);
}

}  // namespace vx
