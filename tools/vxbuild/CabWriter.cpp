#include "CabWriter.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <thread>

#include "package/DCPcrypt.h"
#include "package/FileDigest.h"

namespace vxbuild {

namespace {

constexpr size_t kBlock = 32768;
constexpr size_t kMaxPayload = kBlock + 12;
constexpr size_t kBatch = 64;  // blocks read and compressed together

void Put16(std::string& b, uint16_t v) {
  b += char(v & 0xFF);
  b += char(v >> 8);
}
void Put32(std::string& b, uint32_t v) {
  Put16(b, uint16_t(v & 0xFFFF));
  Put16(b, uint16_t(v >> 16));
}

// The checksum of a data block as cabinet readers compute it.
uint32_t Checksum(const uint8_t* p, size_t n, uint32_t seed) {
  uint32_t sum = seed;
  for (size_t i = n / 4; i > 0; --i, p += 4) sum ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  uint32_t ul = 0;
  switch (n % 4) {
    case 3: ul |= uint32_t(*p++) << 16; [[fallthrough]];
    case 2: ul |= uint32_t(*p++) << 8; [[fallthrough]];
    case 1: ul |= *p++; break;
    default: break;
  }
  return sum ^ ul;
}

// One MSZIP block: "CK" and the raw deflate stream of the input.
bool Compress(z_stream& z, const char* in, size_t n, std::string& out) {
  out.resize(kMaxPayload + 64);
  out[0] = 'C';
  out[1] = 'K';
  deflateReset(&z);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
  z.avail_in = uInt(n);
  z.next_out = reinterpret_cast<Bytef*>(out.data() + 2);
  z.avail_out = uInt(out.size() - 2);
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) return false;
  out.resize(out.size() - z.avail_out);
  if (out.size() <= kMaxPayload) return true;
  // Incompressible input: zlib cuts its output into several deflate blocks,
  // each with a header of its own, and can end a few bytes past the limit.
  // One stored block (final, 5 bytes of header) always fits.
  out.resize(2 + 5 + n);
  out[2] = char(1);
  out[3] = char(n & 0xFF);
  out[4] = char(n >> 8);
  out[5] = char(~n & 0xFF);
  out[6] = char((~n >> 8) & 0xFF);
  std::memcpy(out.data() + 7, in, n);
  return true;
}

class Writer {
 public:
  Writer(std::ofstream& out, const CabOptions& o) : out_(out), o_(o) {}

  bool Write(const std::string& bytes) {
    if (o_.scramble) {
      scratch_ = bytes;
      for (char& c : scratch_) c = char(uint8_t(c) ^ o_.mask);
      out_.write(scratch_.data(), std::streamsize(scratch_.size()));
    } else {
      out_.write(bytes.data(), std::streamsize(bytes.size()));
    }
    written_ += bytes.size();
    return bool(out_);
  }
  uint64_t Written() const { return written_; }

 private:
  std::ofstream& out_;
  const CabOptions& o_;
  std::string scratch_;
  uint64_t written_ = 0;
};

// Reads the stream of a folder's entries in order.
class FolderReader {
 public:
  explicit FolderReader(CabFolder& f) : f_(f) {}
  // Fills up to `n` bytes; false on a read error (`error` set).
  bool Read(char* buffer, size_t n, size_t& got, std::string& error) {
    got = 0;
    while (got < n && index_ < f_.entries.size()) {
      CabEntry& e = f_.entries[index_];
      if (!opened_) {
        if (!e.fromMemory) {
          in_.open(e.source, std::ios::binary);
          if (!in_) {
            error = "cannot read \"" + e.source + "\"";
            return false;
          }
        }
        opened_ = true;
        offset_ = 0;
      }
      size_t want = size_t(std::min<uint64_t>(n - got, e.size - offset_));
      if (e.fromMemory) {
        std::memcpy(buffer + got, e.content.data() + offset_, want);
      } else if (want > 0) {
        in_.read(buffer + got, std::streamsize(want));
        if (size_t(in_.gcount()) != want) {
          error = "\"" + e.source + "\" changed while it was packed";
          return false;
        }
      }
      if (e.crc) crc_ = vx::Crc32c(crc_, buffer + got, want);
      got += want;
      offset_ += want;
      if (offset_ == e.size) {
        if (in_.is_open()) in_.close();
        if (e.crc && *e.crc != crc_) {
          error = "\"" + (e.fromMemory ? e.name : e.source) + "\" changed while it was packed";
          return false;
        }
        crc_ = 0;
        opened_ = false;
        ++index_;
        ++filesDone_;
      }
    }
    return true;
  }
  uint64_t FilesDone() const { return filesDone_; }

 private:
  CabFolder& f_;
  uint32_t crc_ = 0;
  uint64_t filesDone_ = 0;
  size_t index_ = 0;
  bool opened_ = false;
  uint64_t offset_ = 0;
  std::ifstream in_;
};

}  // namespace

namespace {

// SOURCE_DATE_EPOCH as a time, when set to a number.
std::optional<std::time_t> SourceDateEpoch() {
  const char* v = std::getenv("SOURCE_DATE_EPOCH");
  if (!v || !*v) return std::nullopt;
  char* end = nullptr;
  long long n = std::strtoll(v, &end, 10);
  if (*end || n < 0) return std::nullopt;
  return std::time_t(n);
}

std::string g_generatedSource;

void DosTime(std::time_t t, bool utc, uint16_t& date, uint16_t& time) {
  std::tm tm{};
  if (std::tm* p = utc ? std::gmtime(&t) : std::localtime(&t)) tm = *p;
  int year = std::clamp(tm.tm_year + 1900, 1980, 2107);
  date = uint16_t((year - 1980) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
  time = uint16_t(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
}

std::time_t ModificationTime(const std::string& path) {
  std::error_code ec;
  auto ft = std::filesystem::last_write_time(path, ec);
  return ec ? std::time(nullptr) : std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(ft));
}

}  // namespace

void FileDosTime(const std::string& path, uint16_t& date, uint16_t& time) {
  std::time_t t = ModificationTime(path);
  std::optional<std::time_t> epoch = SourceDateEpoch();
  DosTime(epoch ? std::min(t, *epoch) : t, epoch.has_value(), date, time);
}

void SetGeneratedTimeSource(const std::string& projectFile) { g_generatedSource = projectFile; }

void GeneratedDosTime(uint16_t& date, uint16_t& time) {
  std::optional<std::time_t> epoch = SourceDateEpoch();
  if (epoch) return DosTime(*epoch, true, date, time);
  FileDosTime(g_generatedSource.empty() ? "." : g_generatedSource, date, time);
}

bool WriteCabinet(std::ofstream& out, std::vector<CabFolder>& folders, const CabOptions& o, CabResult& result,
                  std::string& error) {
  size_t fileCount = 0;
  for (auto& f : folders) fileCount += f.entries.size();
  if (folders.size() > 65535 || fileCount > 65535) {
    error = "too many files for one cabinet";
    return false;
  }
  // Header, folder table and file table have a known size; the data blocks
  // follow them, and the tables are written once the blocks are known.
  size_t tables = 36 + 8 * folders.size();
  for (auto& f : folders)
    for (auto& e : f.entries) tables += 16 + e.name.size() + 1;
  std::streampos start = out.tellp();
  Writer w(out, o);
  w.Write(std::string(tables, '\0'));

  vx::CipherState cipher;
  if (o.key) vx::StartCipher(cipher, o.key->data(), 256, nullptr);
  std::vector<uint32_t> folderStart, folderBlocks;
  result.unpacked.clear();

  unsigned threads = o.threads ? o.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<z_stream> zs(threads);
  for (auto& z : zs) {
    std::memset(&z, 0, sizeof z);
    deflateInit2(&z, o.level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  }
  std::string input(kBatch * kBlock, '\0');
  std::vector<std::string> packed(kBatch);
  std::vector<size_t> lengths(kBatch);
  std::string scratch;
  bool ok = true;
  uint64_t filesBefore = 0, bytesRead = 0;

  for (auto& folder : folders) {
    folderStart.push_back(uint32_t(w.Written()));
    uint32_t blocks = 0;
    uint64_t total = 0;
    for (auto& e : folder.entries) total += e.size;
    result.unpacked.push_back(total);
    if (total >= 0x7FFF8000ull) {
      error = "a cabinet folder holds more than 2 GB";
      ok = false;
      break;
    }
    FolderReader reader(folder);
    for (uint64_t left = total; left > 0 && ok;) {
      size_t count = 0;
      while (count < kBatch && left > 0) {
        size_t got = 0;
        size_t want = size_t(std::min<uint64_t>(kBlock, left));
        if (!reader.Read(input.data() + count * kBlock, want, got, error)) {
          ok = false;
          break;
        }
        lengths[count++] = got;
        left -= got;
      }
      if (!ok) break;
      // Blocks are independent: compress them side by side. Each thread
      // takes the next block not yet taken, so threads that drew quickly
      // compressed (incompressible) blocks do not wait for the others.
      std::vector<std::thread> pool;
      std::vector<char> fine(threads, 1);
      std::atomic<size_t> next{0};
      for (unsigned t = 0; t < threads; ++t) {
        auto job = [&, t] {
          for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;)
            if (!Compress(zs[t], input.data() + i * kBlock, lengths[i], packed[i])) fine[t] = 0;
        };
        if (t + 1 == threads) job();
        else pool.emplace_back(job);
      }
      for (auto& th : pool) th.join();
      bytesRead += [&] {
        uint64_t n = 0;
        for (size_t i = 0; i < count; ++i) n += lengths[i];
        return n;
      }();
      if (o.progress) o.progress(filesBefore + reader.FilesDone(), bytesRead);
      if (std::count(fine.begin(), fine.end(), 0)) {
        error = "compression failed";
        ok = false;
        break;
      }
      for (size_t i = 0; i < count; ++i) {
        std::string& payload = packed[i];
        uint32_t sum = 0;
        if (folder.encrypt && o.key) {
          vx::EncryptStream(cipher, payload.data(), payload.data(), payload.size());
        } else {
          // Payloads the engine does not decrypt still pass its running
          // cipher, which advances over them as it would over ciphertext.
          if (o.key) {
            scratch.resize(payload.size());
            vx::DecryptStream(cipher, payload.data(), scratch.data(), payload.size());
          }
          std::string sizes;
          Put16(sizes, uint16_t(payload.size()));
          Put16(sizes, uint16_t(lengths[i]));
          sum = Checksum(reinterpret_cast<const uint8_t*>(sizes.data()), 4,
                         Checksum(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), 0));
        }
        std::string head;
        Put32(head, sum);
        Put16(head, uint16_t(payload.size()));
        Put16(head, uint16_t(lengths[i]));
        w.Write(head);
        w.Write(payload);
        if (++blocks > 65535) {
          error = "a cabinet folder needs more than 65535 blocks";
          ok = false;
          break;
        }
      }
    }
    if (!ok) break;
    filesBefore += folder.entries.size();
    if (o.progress) o.progress(filesBefore, bytesRead);
    folderBlocks.push_back(blocks);
  }
  for (auto& z : zs) deflateEnd(&z);
  vx::WipeCipher(cipher);
  if (!ok) return false;
  if (w.Written() > 0xFFFFFFFFull) {
    error = "the cabinet exceeds 4 GB";
    return false;
  }

  std::string t;
  t += "MSCF";
  Put32(t, 0);
  Put32(t, uint32_t(w.Written()));
  Put32(t, 0);
  Put32(t, uint32_t(36 + 8 * folders.size()));  // first file entry
  Put32(t, 0);
  t += char(3);  // version 1.3
  t += char(1);
  Put16(t, uint16_t(folders.size()));
  Put16(t, uint16_t(fileCount));
  Put16(t, 0);  // flags
  Put16(t, 0x5658);  // set ID
  Put16(t, 0);       // first cabinet of its set
  for (size_t i = 0; i < folders.size(); ++i) {
    Put32(t, folderStart[i]);
    Put16(t, uint16_t(folderBlocks[i]));
    Put16(t, 1);  // MSZIP
  }
  for (size_t i = 0; i < folders.size(); ++i) {
    uint64_t offset = 0;
    for (auto& e : folders[i].entries) {
      Put32(t, uint32_t(e.size));
      Put32(t, uint32_t(offset));
      Put16(t, uint16_t(i));
      Put16(t, e.date);
      Put16(t, e.time);
      Put16(t, e.attributes);
      t += e.name;
      t += '\0';
      offset += e.size;
    }
  }
  std::streampos end = out.tellp();
  out.seekp(start);
  Writer header(out, o);
  header.Write(t);
  out.seekp(end);
  result.size = w.Written();
  if (!out) {
    error = "cannot write the output file";
    return false;
  }
  return true;
}

}  // namespace vxbuild
