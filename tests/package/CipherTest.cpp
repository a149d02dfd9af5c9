// HAVAL-256/5, GOST 28147-89 and the chained mode of the package format:
// published test values, an independent implementation (libgcrypt, native
// build only), the unit and tail rules, keys of databases and passwords.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "package/DCPcrypt.h"
#include "format/FormatKeys.h"
#include "package/Gost.h"
#include "package/Haval.h"
#include "package/PackageCrypt.h"
#include "support/TestMachine.h"
#include "system/Errors.h"
#include "system/kqFileUtils.h"

#ifdef VX_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) (s += d[p[i] >> 4]) += d[p[i] & 15];
  return s;
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

std::string HavalHex(const std::string& text) {
  uint8_t d[32];
  vx::Haval256Digest(text.data(), text.size(), d);
  return Hex(d, 32);
}

// --- HAVAL-256/5 -------------------------------------------------------------------

TEST(Haval, PublishedValues) {
  EXPECT_EQ(HavalHex(""), "be417bb4dd5cfb76c7126f4f8eeb1553a449039307b1a3cd451dbfdc0fbbe330");
  EXPECT_EQ(HavalHex("a"), "de8fd5ee72a5e4265af0a756f4e1a1f65c9b2b2f47cf17ecf0d1b88679a3e22f");
  EXPECT_EQ(HavalHex("HAVAL"), "153d2c81cd3c24249ab7cd476934287af845af37f53f51f5c7e2be99ba28443f");
  EXPECT_EQ(HavalHex("0123456789"), "357e2032774abbf5f04d5f1dec665112ea03b23e6e00425d0df75ea155813126");
  EXPECT_EQ(HavalHex("abcdefghijklmnopqrstuvwxyz"),
            "c9c7d8afa159fd9e965cb83ff5ee6f58aeda352c0eff005548153a61551c38ee");
  EXPECT_EQ(HavalHex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "b45cb6e62f2b1320e4f8f1b0b273d45add47c321fd23999dcf403ac37636d963");
  EXPECT_EQ(HavalHex("The quick brown fox jumps over the lazy dog"),
            "b89c551cdfe2e06dbd4cea2be1bc7d557416c58ebb4d07cbc94e49f710c55be4");
}

// Feeding a message in pieces must give the digest of the whole, whatever
// the pieces and wherever the 128-byte blocks and the padding fall.
TEST(Haval, PiecewiseInputAcrossBlockAndPaddingBoundaries) {
  Bytes msg = Random(400, 7);
  for (size_t len : {117, 118, 119, 127, 128, 129, 245, 246, 247, 256, 400}) {
    uint8_t whole[32], parts[32];
    vx::Haval256Digest(msg.data(), len, whole);
    vx::Haval256 h;
    for (size_t pos = 0, step = 1; pos < len; pos += step, step = step * 3 % 61 + 1)
      h.Update(msg.data() + pos, std::min(step, len - pos));
    h.Final(parts);
    EXPECT_EQ(Hex(whole, 32), Hex(parts, 32)) << "length " << len;
  }
}

// --- GOST 28147-89 -----------------------------------------------------------------

// GOST R 34.11-94, built on our block cipher: its published values with the
// test parameter set check the S-boxes and the byte conventions.
class Gost3411 {
 public:
  std::string Digest(const std::string& msg) {
    uint8_t h[32] = {}, sum[32] = {}, len[32] = {};
    size_t pos = 0;
    for (; pos + 32 <= msg.size(); pos += 32) Block(h, sum, (const uint8_t*)msg.data() + pos);
    if (pos < msg.size()) {
      uint8_t last[32] = {};
      std::memcpy(last, msg.data() + pos, msg.size() - pos);
      Block(h, sum, last);
    }
    uint64_t bits = uint64_t(msg.size()) * 8;
    for (int i = 0; i < 8; ++i) len[i] = uint8_t(bits >> (8 * i));
    Step(h, len);
    Step(h, sum);
    return Hex(h, 32);
  }

 private:
  static void Block(uint8_t* h, uint8_t* sum, const uint8_t* m) {
    Step(h, m);
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
      carry += sum[i] + m[i];
      sum[i] = uint8_t(carry);
      carry >>= 8;
    }
  }
  static void P(const uint8_t* in, uint8_t* out) {
    for (int i = 0; i < 4; ++i)
      for (int k = 0; k < 8; ++k) out[i + 4 * k] = in[8 * i + k];
  }
  static void A(uint8_t* y) {
    uint8_t t[8];
    for (int i = 0; i < 8; ++i) t[i] = y[i] ^ y[8 + i];
    std::memmove(y, y + 8, 24);
    std::memcpy(y + 24, t, 8);
  }
  static void Psi(uint8_t* y) {
    uint8_t t0 = 0, t1 = 0;
    for (int w : {0, 1, 2, 3, 12, 15}) {
      t0 ^= y[2 * w];
      t1 ^= y[2 * w + 1];
    }
    std::memmove(y, y + 2, 30);
    y[30] = t0;
    y[31] = t1;
  }
  static void Step(uint8_t* h, const uint8_t* m) {
    static const char kC3[] = "ff00ffff000000ffff0000ff00ffff0000ff00ff00ff00ffff00ff00ff00ff00";
    uint8_t c3[32];
    for (int i = 0; i < 32; ++i) c3[31 - i] = uint8_t(std::stoi(std::string(kC3 + 2 * i, 2), nullptr, 16));
    uint8_t u[32], v[32], w[32], keys[4][32];
    std::memcpy(u, h, 32);
    std::memcpy(v, m, 32);
    for (int j = 0; j < 4; ++j) {
      if (j > 0) {
        A(u);
        if (j == 2)
          for (int i = 0; i < 32; ++i) u[i] ^= c3[i];
        A(v);
        A(v);
      }
      for (int i = 0; i < 32; ++i) w[i] = u[i] ^ v[i];
      P(w, keys[j]);
    }
    uint8_t s[32];
    for (int j = 0; j < 4; ++j) {
      vx::GostKey key;
      vx::GostSetKey(key, keys[j]);
      vx::GostEncryptBlock(key, h + 8 * j, s + 8 * j);
    }
    for (int i = 0; i < 12; ++i) Psi(s);
    for (int i = 0; i < 32; ++i) s[i] ^= m[i];
    Psi(s);
    for (int i = 0; i < 32; ++i) s[i] ^= h[i];
    for (int i = 0; i < 61; ++i) Psi(s);
    std::memcpy(h, s, 32);
  }
};

TEST(Gost, PublishedValuesThroughTheHashOfGostR3411) {
  Gost3411 g;
  EXPECT_EQ(g.Digest(""), "ce85b99cc46752fffee35cab9a7b0278abb4c2d2055cff685af4912c49490f8d");
  EXPECT_EQ(g.Digest("a"), "d42c539e367c66e9c88a801f6649349c21871b4344c6a573f849fdce62f314dd");
  EXPECT_EQ(g.Digest("abc"), "f3134348c44fb1b2a277729e2285ebb5cb5e0f29c975bc753b70497c06a4d51d");
  EXPECT_EQ(g.Digest("The quick brown fox jumps over the lazy dog"),
            "77b7fa410c9ac58a25f49bca7d0468c9296529315eaca76bd1a10f376d1f4294");
}

#ifdef VX_HAVE_GCRYPT
// libgcrypt's GOST 28147-89 with the same S-box set.
class Gcrypt {
 public:
  explicit Gcrypt(const uint8_t* key) {
    gcry_check_version(nullptr);
    EXPECT_EQ(gcry_cipher_open(&h_, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, 0), 0u);
    char oid[] = "1.2.643.2.2.30.0";  // id-GostR3411-94-TestParamSet
    EXPECT_EQ(gcry_cipher_ctl(h_, GCRYCTL_SET_SBOX, oid, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(h_, key, 32), 0u);
  }
  ~Gcrypt() { gcry_cipher_close(h_); }
  void Encrypt(const uint8_t* in, uint8_t* out) { EXPECT_EQ(gcry_cipher_encrypt(h_, out, 8, in, 8), 0u); }
  void Decrypt(const uint8_t* in, uint8_t* out) { EXPECT_EQ(gcry_cipher_decrypt(h_, out, 8, in, 8), 0u); }

 private:
  gcry_cipher_hd_t h_ = nullptr;
};

TEST(Gost, AgreesWithLibgcrypt) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    Bytes key = Random(32, seed), block = Random(8, seed + 5000);
    vx::GostKey k;
    vx::GostSetKey(k, key.data());
    Gcrypt ref(key.data());
    uint8_t ours[8], theirs[8];
    vx::GostEncryptBlock(k, block.data(), ours);
    ref.Encrypt(block.data(), theirs);
    ASSERT_EQ(Hex(ours, 8), Hex(theirs, 8)) << "encryption, seed " << seed;
    vx::GostDecryptBlock(k, block.data(), ours);
    ref.Decrypt(block.data(), theirs);
    ASSERT_EQ(Hex(ours, 8), Hex(theirs, 8)) << "decryption, seed " << seed;
  }
}

// The chained mode rebuilt from libgcrypt's block operations: complete
// blocks in CBC from E(FF..FF), a short tail XORed with E(chain).
TEST(Cipher, ChainedUnitsAgreeWithAReferenceBuiltOnLibgcrypt) {
  Bytes key = Random(32, 99);
  Gcrypt ref(key.data());
  uint8_t chain[8], ones[8];
  std::memset(ones, 0xFF, 8);
  ref.Encrypt(ones, chain);
  vx::CipherState state;
  ASSERT_TRUE(vx::StartCipher(state, key.data(), 256));
  for (size_t unit : {1005, 13, 8, 3, 0, 64, 29}) {
    Bytes c = Random(unit, uint32_t(unit) + 1), ours(unit), expected(unit);
    vx::DecryptStream(state, c.data(), ours.data(), unit);
    size_t i = 0;
    for (; i + 8 <= unit; i += 8) {
      uint8_t d[8];
      ref.Decrypt(&c[i], d);
      for (int b = 0; b < 8; ++b) expected[i + b] = d[b] ^ chain[b];
      std::memcpy(chain, &c[i], 8);
    }
    uint8_t e[8];
    ref.Encrypt(chain, e);
    for (size_t b = 0; i + b < unit; ++b) expected[i + b] = c[i + b] ^ e[b];
    ASSERT_EQ(Hex(ours.data(), unit), Hex(expected.data(), unit)) << "unit of " << unit;
  }
}
#endif

// --- The chained mode ----------------------------------------------------------------

struct Keyed {
  Bytes key = Random(32, 3);
  vx::GostKey k;
  Keyed() { vx::GostSetKey(k, key.data()); }
  Bytes E(const uint8_t* in) {
    Bytes out(8);
    vx::GostEncryptBlock(k, in, out.data());
    return out;
  }
  Bytes D(const uint8_t* in) {
    Bytes out(8);
    vx::GostDecryptBlock(k, in, out.data());
    return out;
  }
};

TEST(Cipher, ThirteenByteUnitsChainOnTheirWholeBlocksOnly) {
  Keyed t;
  uint8_t ones[8];
  std::memset(ones, 0xFF, 8);
  Bytes iv = t.E(ones);
  Bytes u1 = Random(13, 21), u2 = Random(13, 22);
  vx::CipherState s;
  ASSERT_TRUE(vx::StartCipher(s, t.key.data(), 256));
  Bytes p1(13), p2(13);
  vx::DecryptStream(s, u1.data(), p1.data(), 13);
  vx::DecryptStream(s, u2.data(), p2.data(), 13);

  Bytes d = t.D(u1.data()), e = t.E(u1.data());
  for (int b = 0; b < 8; ++b) EXPECT_EQ(p1[b], d[b] ^ iv[b]);
  for (int b = 0; b < 5; ++b) EXPECT_EQ(p1[8 + b], u1[8 + b] ^ e[b]);
  // The second unit chains to the first unit's first block, not its tail.
  d = t.D(u2.data());
  for (int b = 0; b < 8; ++b) EXPECT_EQ(p2[b], d[b] ^ u1[b]);
  e = t.E(u2.data());
  for (int b = 0; b < 5; ++b) EXPECT_EQ(p2[8 + b], u2[8 + b] ^ e[b]);
}

TEST(Cipher, EncryptionMirrorsDecryptionForAnySplitIntoUnits) {
  Bytes key = Random(32, 5);
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    std::vector<size_t> units;
    size_t total = 0;
    for (int i = 0; i < 6; ++i) total += units.emplace_back(rng() % 40);
    Bytes plain = Random(total, round), cipher(total), back(total);
    vx::CipherState enc, dec;
    vx::StartCipher(enc, key.data(), 256);
    vx::StartCipher(dec, key.data(), 256);
    size_t pos = 0;
    for (size_t u : units) {
      vx::EncryptStream(enc, plain.data() + pos, cipher.data() + pos, u);
      // In place, as the extraction filter decrypts.
      std::memcpy(back.data() + pos, cipher.data() + pos, u);
      vx::DecryptStream(dec, back.data() + pos, back.data() + pos, u);
      pos += u;
    }
    ASSERT_EQ(back, plain) << "round " << round;
    if (total >= 8) {
      EXPECT_NE(cipher, plain);
    }
  }
}

TEST(Cipher, KeySizesAndInitialVector) {
  vx::CipherState s;
  const uint8_t key[33] = {0x41};
  for (unsigned bits : {0u, 4u, 12u, 264u}) EXPECT_FALSE(vx::StartCipher(s, key, bits)) << bits;
  EXPECT_FALSE(s.ready);

  // A short key is the same as its bytes followed by zeros.
  vx::CipherState shortKey, fullKey;
  ASSERT_TRUE(vx::StartCipher(shortKey, key, 8));
  ASSERT_TRUE(vx::StartCipher(fullKey, key, 256));
  EXPECT_EQ(Hex(shortKey.iv, 8), Hex(fullKey.iv, 8));

  // A given initial vector is used as it is.
  uint8_t iv[8] = {1, 2, 3, 4, 5, 6, 7, 8}, block[8] = {}, out[8];
  ASSERT_TRUE(vx::StartCipher(s, key, 256, iv));
  vx::DecryptStream(s, block, out, 8);
  vx::GostKey k;
  uint8_t full[32] = {0x41};
  vx::GostSetKey(k, full);
  uint8_t d[8];
  vx::GostDecryptBlock(k, block, d);
  for (int b = 0; b < 8; ++b) EXPECT_EQ(out[b], d[b] ^ iv[b]);

  // A wiped state decrypts nothing any more.
  vx::WipeCipher(s);
  EXPECT_FALSE(s.ready);
  uint8_t data[5] = {1, 2, 3, 4, 5}, copy[5];
  vx::DecryptStream(s, data, copy, 5);
  EXPECT_EQ(0, std::memcmp(data, copy, 5));
}

// --- Keys, databases, password ---------------------------------------------------

TEST(PackageCrypt, HashHexIsSixtyFourUpperCaseDigits) {
  for (const std::string& text : {std::string(), std::string("password"), std::string(300, '\xE9')}) {
    std::string h = vx::HashHex(text);
    EXPECT_EQ(h.size(), 64u);
    EXPECT_EQ(h.find_first_not_of("0123456789ABCDEF"), std::string::npos) << h;
  }
  EXPECT_EQ(vx::HashHex("a"), "DE8FD5EE72A5E4265AF0A756F4E1A1F65C9B2B2F47CF17ECF0D1B88679A3E22F");
}

TEST(PackageCrypt, DatabaseRoundTripAndLengthDependentKey) {
  EXPECT_EQ(vx::DatabaseKeyText(1234), std::string(vx::kDatabaseKeyPrefix) + "1234");
  EXPECT_EQ(vx::DecryptDatabase(""), "");
  for (size_t n : {1, 7, 8, 13, 4096, 4099}) {
    std::string text = "<vx2project>" + std::string(n, 'x');
    std::string enc = vx::EncryptDatabase(text);
    ASSERT_EQ(enc.size(), text.size());
    EXPECT_NE(enc, text);
    EXPECT_EQ(vx::DecryptDatabase(enc), text);
  }
  // The key text carries the file length: the same beginning encrypts differently.
  EXPECT_NE(vx::EncryptDatabase("<vx2project/>").substr(0, 8), vx::EncryptDatabase("<vx2project/> ").substr(0, 8));
}

TEST(PackageCrypt, DatabaseFileThroughTheHost) {
  vxtest::TestMachine machine;
  std::string path = machine.Scratch() + "db.pdb";
  std::string xml = "<vx2project name=\"demo\"/>";
  ASSERT_TRUE(vx::WriteWholeFile(path, vx::EncryptDatabase(xml)));
  EXPECT_EQ(vx::DecryptDatabaseFile(path), xml);
  ASSERT_TRUE(vx::WriteWholeFile(path, ""));
  EXPECT_EQ(vx::DecryptDatabaseFile(path), "");
  EXPECT_THROW(vx::DecryptDatabaseFile(machine.Scratch() + "missing.pdb"), vx::EInOutError);
}

TEST(PackageCrypt, PasswordCheck) {
  EXPECT_FALSE(vx::HasPassword(""));
  EXPECT_TRUE(vx::CheckPassword("", ""));
  EXPECT_TRUE(vx::CheckPassword("anything", ""));

  std::string hash = vx::PasswordCheckHash("Secret");
  EXPECT_TRUE(vx::HasPassword(hash));
  EXPECT_EQ(hash, vx::HashHex(std::string(vx::kPasswordPrefix) + "Secret" + vx::kPasswordSuffix));
  EXPECT_NE(hash, vx::HashHex("Secret"));
  EXPECT_TRUE(vx::CheckPassword("Secret", hash));
  EXPECT_FALSE(vx::CheckPassword("secret", hash));
  EXPECT_FALSE(vx::CheckPassword("", hash));
  // The stored hash is compared exactly, letter case included.
  std::string lower = hash;
  for (char& c : lower) c = char(std::tolower((unsigned char)c));
  EXPECT_FALSE(vx::CheckPassword("Secret", lower));
}

}  // namespace
