#include "package/VXUnpacker.h"

#include <cstring>
#include <exception>

#include "package/DCPcrypt.h"
#include "package/FileDigest.h"
#include "package/PackageCrypt.h"
#include "package/SecureWipe.h"
#include "system/kqFileUtils.h"
#include "unpack/unpack.h"

namespace vx {

namespace {

std::string& UnpackFolderValue() {
  static std::string folder;
  return folder;
}

// One enumeration at a time: the library calls plain C functions, which
// find the running enumeration here.
struct Enumeration {
  const TUnpackCopyEvent* onCopy = nullptr;
  const TUnpackCloseEvent* onClose = nullptr;
  const TUnpackProgressEvent* onProgress = nullptr;
  const TUnpackNextCabinetEvent* onNextCabinet = nullptr;
  bool useKey = false;
  CipherState cipher;
  // The target of the entry being written, as the host sees it and as the
  // library was given it.
  std::string hostTarget, platformTarget;
  std::string failure;  // set when a callback failed; the enumeration then fails
  // The digest and byte count of what the current target has been given.
  uint32_t* writtenCrc = nullptr;
  uint64_t* writtenBytes = nullptr;
};
Enumeration* g_running = nullptr;

std::string EnsureBackslash(std::string folder) {
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  return folder;
}

// The host path of a target the library reports.
std::string HostTarget(Enumeration& e, const char* target) {
  std::string t = target ? target : "";
  if (t == e.platformTarget) return e.hostTarget;
  return CurrentHost().HostPath(t);
}

// Copies `text` with its terminating zero into a 260-byte buffer of the
// library; false when it does not fit.
bool PutPath(char* buffer, const std::string& text) {
  if (text.size() >= VX_UNPACK_PATH_SIZE) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

int32_t Translate(Enumeration& e, int32_t code, void* record) {
  switch (code) {
    case VX_UNPACK_BEFORE_FILE: {
      auto* r = static_cast<VxUnpackFileRecord*>(record);
      std::string target;
      int answer = (*e.onCopy)(r->entry ? r->entry : "", r->size, r->attributes, DosDateTimeToDateTime(r->dateTime),
                               target);
      if (answer == 1 && !target.empty()) {
        std::string platform = CurrentHost().PlatformPath(target);
        if (platform.empty() || !PutPath(r->target, platform)) {
          e.failure = "The target path \"" + target + "\" cannot be written.";
          return -1;
        }
        e.hostTarget = target;
        e.platformTarget = platform;
      }
      *e.writtenCrc = 0;
      *e.writtenBytes = 0;
      return answer;
    }
    case VX_UNPACK_AFTER_FILE: {
      auto* r = static_cast<VxUnpackFileRecord*>(record);
      char buffer[VX_UNPACK_PATH_SIZE + 1];
      std::memcpy(buffer, r->target, VX_UNPACK_PATH_SIZE);
      buffer[VX_UNPACK_PATH_SIZE] = 0;
      CurrentHost().PlatformFileWritten(buffer);
      if (!*e.onClose) return 1;
      return (*e.onClose)(r->entry ? r->entry : "", r->size, r->attributes, DosDateTimeToDateTime(r->dateTime),
                          HostTarget(e, buffer));
    }
    case VX_UNPACK_BEFORE_WRITE: {
      auto* r = static_cast<VxUnpackWriteRecord*>(record);
      if (r->block) *e.writtenCrc = Crc32c(*e.writtenCrc, r->block, r->blockLength);
      *e.writtenBytes += r->blockLength;
      if (!*e.onProgress) return 1;
      return (*e.onProgress)(r->entry ? r->entry : "", HostTarget(e, r->target), r->fileSize, r->blockLength,
                             r->written);
    }
    case VX_UNPACK_NEXT_CABINET: {
      auto* r = static_cast<VxUnpackCabinetRecord*>(record);
      char buffer[VX_UNPACK_PATH_SIZE + 1];
      std::memcpy(buffer, r->folder, VX_UNPACK_PATH_SIZE);
      buffer[VX_UNPACK_PATH_SIZE] = 0;
      std::string cabinet = r->cabinet ? r->cabinet : "";
      std::string folder = buffer;
      if (!folder.empty()) folder = CurrentHost().HostPath(folder);
      folder = EnsureBackslash(folder);
      bool found = FileExists(folder + cabinet);
      if (!found && *e.onNextCabinet) {
        found = (*e.onNextCabinet)(cabinet, folder);
        folder = EnsureBackslash(folder);
      }
      if (!found) return -1;
      std::string platform = CurrentHost().PlatformPath(folder);
      if (platform.empty()) return -1;
      if (platform.back() != '/' && platform.back() != '\\') platform += platform.find('/') != std::string::npos ? '/' : '\\';
      if (!PutPath(r->folder, platform)) return -1;
      return 1;
    }
    default:
      return 0;
  }
}

// No exception may cross the library's C frames: a callback that throws
// stops the enumeration, and the enumeration fails with its message.
int32_t VX_UNPACK_CALL Notify(int32_t code, void* record) {
  Enumeration* e = g_running;
  if (!e || !record) return 0;
  try {
    return Translate(*e, code, record);
  } catch (const std::exception& ex) {
    e->failure = ex.what();
  } catch (...) {
    e->failure = "Unexpected error while extracting.";
  }
  return -1;
}

void VX_UNPACK_CALL DataFilter(void* data, int32_t length) {
  Enumeration* e = g_running;
  if (!e || !e->useKey || length <= 0 || !data) return;
  DecryptStream(e->cipher, data, data, size_t(length));
}

}  // namespace

void SetUnpackFolder(const std::string& folder) { UnpackFolderValue() = EnsureBackslash(folder); }
const std::string& UnpackFolder() { return UnpackFolderValue(); }

double DosDateTimeToDateTime(uint32_t dosDateTime) {
  uint32_t date = dosDateTime >> 16, time = dosDateTime & 0xFFFF;
  int year = int(date >> 9) + 1980, month = int((date >> 5) & 15), day = int(date & 31);
  int hour = int(time >> 11), minute = int((time >> 5) & 63), second = int(time & 31) * 2;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return 0;
  // Days from the civil date (proleptic Gregorian), then shifted to the
  // engine's epoch, 30 December 1899.
  auto daysFromCivil = [](int y, int m, int d) {
    y -= m <= 2;
    int era = (y >= 0 ? y : y - 399) / 400;
    int yoe = y - era * 400;
    int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
  };
  double days = double(daysFromCivil(year, month, day) - daysFromCivil(1899, 12, 30));
  return days + (hour * 3600 + minute * 60 + second) / 86400.0;
}

uint32_t DateTimeToDosDateTime(double dateTime) {
  if (!(dateTime > 0)) return 0;
  int64_t secs = int64_t(dateTime * 86400.0 + 0.5);
  int64_t days = secs / 86400, rest = secs % 86400;
  // Civil date from days (proleptic Gregorian): shifted from the engine's
  // epoch, 30 December 1899, to days since 1 March 0000.
  int64_t z = days + 693899;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2);
  if (year < 1980 || year > 2107) return 0;
  uint32_t date = uint32_t(((year - 1980) << 9) | (month << 5) | day);
  uint32_t time = uint32_t(((rest / 3600) << 11) | (((rest / 60) % 60) << 5) | ((rest % 60) / 2));
  return (date << 16) | time;
}

TvxUnpacker::TvxUnpacker(const std::string& fileName, bool scrambled) {
  Host& host = CurrentHost();
  std::string library = UnpackFolder() + kUnpackLibraryName;
  module_ = host.LoadModule(library);
  if (!module_) {
    error_ = "The extraction library \"" + library + "\" cannot be loaded.";
    return;
  }
  open_ = host.ModuleProc(module_, "Open");
  enumerate_ = host.ModuleProc(module_, "Enumerate");
  close_ = host.ModuleProc(module_, "Close");
  lastErrorText_ = host.ModuleProc(module_, "LastErrorText");
  if (!open_ || !enumerate_ || !close_) {
    host.UnloadModule(module_);
    module_ = 0;
    error_ = "The extraction library \"" + library + "\" lacks its entry points.";
    return;
  }
  std::string platform = host.PlatformPath(fileName);
  reinterpret_cast<VxUnpackOpenFn>(open_)(platform.c_str(), scrambled ? -1 : 0);
}

TvxUnpacker::~TvxUnpacker() {
  if (key_) SecureWipe(key_->data(), key_->size());
  key_.reset();
  if (module_) {
    reinterpret_cast<VxUnpackCloseFn>(close_)();
    CurrentHost().UnloadModule(module_);
  }
}

void TvxUnpacker::UsePassword(const std::string& password) {
  if (key_) SecureWipe(key_->data(), key_->size());
  key_.reset();
  if (!password.empty()) {
    Key256 k = HashText(password);
    key_.emplace();
    std::memcpy(key_->data(), k.data(), k.size());
    SecureWipe(k.data(), k.size());
  }
}

bool TvxUnpacker::Enumerate(const TUnpackCopyEvent& onCopy, const TUnpackCloseEvent& onClose,
                            const TUnpackProgressEvent& onProgress, const TUnpackNextCabinetEvent& onNextCabinet) {
  if (!module_) {
    if (error_.empty()) error_ = "The extraction library is not loaded.";
    return false;
  }
  if (!onCopy) {
    error_ = "No handler for the entries was given.";
    return false;
  }
  if (g_running) {
    error_ = "Another extraction is running.";
    return false;
  }
  error_.clear();
  Enumeration e;
  e.onCopy = &onCopy;
  e.onClose = &onClose;
  e.onProgress = &onProgress;
  e.onNextCabinet = &onNextCabinet;
  writtenCrc_ = 0;
  writtenBytes_ = 0;
  e.writtenCrc = &writtenCrc_;
  e.writtenBytes = &writtenBytes_;
  if (key_) e.useKey = StartCipher(e.cipher, key_->data(), 256, nullptr);
  g_running = &e;
  int32_t result = 0;
  try {
    // Without a key the data passes as stored: no filter at all, so that the
    // library spends nothing on it.
    result = reinterpret_cast<VxUnpackEnumerateFn>(enumerate_)(Notify, e.useKey ? DataFilter : nullptr);
  } catch (...) {
    result = 0;
  }
  g_running = nullptr;
  WipeCipher(e.cipher);
  if (!e.failure.empty()) {
    error_ = e.failure;
    return false;
  }
  if (!result) {
    const char* why = lastErrorText_ ? reinterpret_cast<VxUnpackLastErrorTextFn>(lastErrorText_)() : nullptr;
    error_ = why && *why ? why : "The package cannot be extracted.";
    return false;
  }
  return true;
}

}  // namespace vx
