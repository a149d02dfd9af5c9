// The extraction library: Open, Enumerate and Close over libmspack's cabinet
// reader.
//
// libmspack reads the cabinet through our own mspack_system. That layer
//   - presents the cabinet found inside the package file as a file that
//     starts at the cabinet's signature, unscrambled;
//   - knows where every data-block payload lies (CabinetIndex) and hands each
//     payload to the caller's filter exactly once, in file order, before the
//     decompressor sees it; payloads the reader skips over (entries the
//     caller did not want) are filtered all the same, so that a filter with
//     running state (the engine's cipher) stays in step with the file;
//   - writes target files itself, asking the caller before every block.
#include <mspack.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "unpack/CabinetIndex.h"
#include "unpack/PlatformFile.h"
#include "unpack/unpack.h"

#ifdef _WIN32
#define VX_EXPORT extern "C"
#else
#define VX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace vxunpack {
namespace {

// At most this much filtered data is kept for cabinets whose entries are not
// stored in the order of their data (a re-read must not run the filter twice).
constexpr size_t kCacheLimit = size_t(256) << 20;

struct Image {
  std::string path;
  std::unique_ptr<RawFile> file;  // for reading payloads to be filtered
  CabinetIndex index;
  mscabd_cabinet* cab = nullptr;
  bool keepFiltered = false;  // entries out of data order: cache payloads
  bool appended = false;      // joined to the set of the first cabinet
};

struct FileInfo {
  size_t image = 0;
  CabinetIndex::File raw;
};

// The handles given to libmspack (it sees them as mspack_file).
struct Handle : mspack_file {
  bool isOutput = false;
};

struct InputHandle : Handle {
  // Handles the reader opens to read a cabinet's headers see the payloads
  // as stored (it reads ahead past names); only the handles it reads data
  // blocks through see them filtered.
  bool headers = false;
  Image* image = nullptr;
  size_t imageIndex = 0;
  std::unique_ptr<RawFile> raw;
  uint64_t pos = 0;
};

struct OutputHandle : Handle {
  std::unique_ptr<OutputFile> file;
};

class Enumeration;

// The state of one Open ... Close.
struct Session {
  std::string path;
  bool scrambled = false;
  bool opened = false;
  std::string lastError;
  Enumeration* running = nullptr;
};

Session gSession;

class Enumeration {
 public:
  Enumeration(VxUnpackNotify notify, VxUnpackFilter filter) : notify_(notify), filter_(filter) {
    current_.reserve(65536);
    scratch_.reserve(65536);
  }
  ~Enumeration() {
    if (cabd_) {
      // Closing the first cabinet frees the set appended to it; a cabinet
      // that could not be appended is closed by itself.
      for (auto& im : images_)
        if (im->cab && (im == images_.front() || !im->appended)) cabd_->close(cabd_, im->cab);
      mspack_destroy_cab_decompressor(cabd_);
    }
  }

  bool Run();
  const std::string& Error() const { return error_; }

  // --- The I/O layer libmspack calls -----------------------------------------------
  mspack_file* OpenFile(const char* name, int mode);
  int Read(InputHandle* h, void* buffer, int bytes);
  int Write(OutputHandle* h, void* buffer, int bytes);
  void CloseFile(mspack_file* f);
  void Message(const char* text) { readerMessage_ = text; }

 private:
  bool Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  bool OpenImage(const std::string& path);
  bool AppendNextCabinet();
  static bool ContinuesThrough(const Image& image);
  bool Extract(mscabd_file* f, const FileInfo& info, VxUnpackFileRecord& record);
  const uint8_t* Filtered(size_t image, size_t block);
  bool FilterThrough(size_t image, size_t block);
  bool FilterAll();

  VxUnpackNotify notify_;
  VxUnpackFilter filter_;
  mspack_system sys_{};
  mscab_decompressor* cabd_ = nullptr;
  std::vector<std::unique_ptr<Image>> images_;
  std::unordered_map<const mscabd_file*, FileInfo> files_;

  // Filter progress: the next payload to filter, and the last one filtered.
  size_t cursorImage_ = 0, cursorBlock_ = 0;
  size_t currentImage_ = SIZE_MAX, currentBlock_ = SIZE_MAX;
  std::vector<uint8_t> current_, scratch_;
  std::map<std::pair<size_t, size_t>, std::vector<uint8_t>> kept_;
  size_t keptBytes_ = 0;

  // The entry being written.
  VxUnpackFileRecord* record_ = nullptr;
  const FileInfo* info_ = nullptr;
  OutputHandle* output_ = nullptr;
  uint32_t written_ = 0;
  bool stopped_ = false;
  bool writeFailed_ = false;
  bool openingCabinet_ = false;
  std::string readerMessage_;
  std::string error_;
};

// --- libmspack's view -----------------------------------------------------------------

// Every entry point catches what it raises: libmspack is C and must never
// see an exception.
struct SystemGlue {
  static Enumeration* Running() { return gSession.running; }
  static Handle* H(mspack_file* f) { return static_cast<Handle*>(f); }
  static mspack_file* Open(mspack_system*, const char* name, int mode) {
    try {
      return Running() ? Running()->OpenFile(name, mode) : nullptr;
    } catch (...) {
      return nullptr;
    }
  }
  static void Close(mspack_file* f) {
    if (!f) return;
    if (Running()) {
      Running()->CloseFile(f);
    } else if (H(f)->isOutput) {  // the reader being destroyed
      delete static_cast<OutputHandle*>(f);
    } else {
      delete static_cast<InputHandle*>(f);
    }
  }
  static int Read(mspack_file* f, void* buffer, int bytes) {
    if (!f || H(f)->isOutput || !Running()) return -1;
    try {
      return Running()->Read(static_cast<InputHandle*>(f), buffer, bytes);
    } catch (...) {
      return -1;
    }
  }
  static int Write(mspack_file* f, void* buffer, int bytes) {
    if (!f || !H(f)->isOutput || !Running()) return -1;
    try {
      return Running()->Write(static_cast<OutputHandle*>(f), buffer, bytes);
    } catch (...) {
      return -1;
    }
  }
  static int Seek(mspack_file* f, off_t offset, int mode) {
    if (!f || H(f)->isOutput) return -1;
    InputHandle* h = static_cast<InputHandle*>(f);
    int64_t base = mode == MSPACK_SYS_SEEK_START ? 0
                   : mode == MSPACK_SYS_SEEK_CUR ? int64_t(h->pos)
                                                 : int64_t(h->image->index.length);
    int64_t to = base + int64_t(offset);
    if (to < 0 || uint64_t(to) > h->image->index.length) return -1;
    h->pos = uint64_t(to);
    return 0;
  }
  static off_t Tell(mspack_file* f) {
    if (!f || H(f)->isOutput) return -1;
    return off_t(static_cast<InputHandle*>(f)->pos);
  }
  static void Message(mspack_file*, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    try {
      if (Running()) Running()->Message(text);
    } catch (...) {
    }
  }
  static void* Alloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
  static void Free(void* p) { std::free(p); }
  static void Copy(void* src, void* dst, size_t bytes) { std::memmove(dst, src, bytes); }
};

// --- Names ----------------------------------------------------------------------------

// An entry name that stays inside the folder it is extracted into: no drive
// or stream (":"), no leading separator, no component that Windows would
// read as "." or ".." (trailing dots and blanks are dropped by Windows).
bool SafeEntryName(const char* name) {
  if (!name || !*name || name[0] == '\\' || name[0] == '/') return false;
  if (std::strchr(name, ':')) return false;
  const char* p = name;
  while (true) {
    const char* end = p;
    while (*end && *end != '\\' && *end != '/') ++end;
    const char* keep = end;
    while (keep > p && (keep[-1] == '.' || keep[-1] == ' ')) --keep;
    if (end > p && keep == p) return false;  // ".", "..", "...", ". ." and the like
    if (!*end) return true;
    p = end + 1;
  }
}

bool SafeCabinetName(const char* name) {
  return SafeEntryName(name) && !std::strpbrk(name, "\\/");
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// --- Enumeration ---------------------------------------------------------------------------

mspack_file* Enumeration::OpenFile(const char* name, int mode) {
  if (!name) return nullptr;
  if (mode == MSPACK_SYS_OPEN_WRITE) {
    auto out = std::make_unique<OutputHandle>();
    out->isOutput = true;
    out->file = OutputFile::Create(name);
    if (!out->file) {
      writeFailed_ = true;
      Fail("cannot write " + Quoted(name));
      return nullptr;
    }
    output_ = out.get();
    written_ = 0;
    return out.release();
  }
  if (mode != MSPACK_SYS_OPEN_READ) return nullptr;
  for (size_t i = 0; i < images_.size(); ++i) {
    if (images_[i]->path != name) continue;
    auto in = std::make_unique<InputHandle>();
    in->isOutput = false;
    in->headers = openingCabinet_;
    in->image = images_[i].get();
    in->imageIndex = i;
    in->raw = RawFile::Open(name, gSession.scrambled);
    if (!in->raw) return nullptr;
    return in.release();
  }
  return nullptr;
}

void Enumeration::CloseFile(mspack_file* f) {
  if (static_cast<Handle*>(f)->isOutput) {
    OutputHandle* out = static_cast<OutputHandle*>(f);
    // A complete target gets its time and attributes before the caller
    // hears of it (code 2).
    if (out == output_ && out->file && record_ && info_ && written_ == record_->size && !stopped_ && !writeFailed_)
      out->file->Finish(info_->raw.date, info_->raw.time, info_->raw.attributes);
    if (out == output_) output_ = nullptr;
    delete out;
  } else {
    delete static_cast<InputHandle*>(f);
  }
}

int Enumeration::Read(InputHandle* h, void* buffer, int bytes) {
  if (bytes < 0) return -1;
  const CabinetIndex& index = h->image->index;
  const auto& blocks = index.blocks;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint64_t left = std::min<uint64_t>(uint64_t(bytes), index.length - std::min(h->pos, index.length));
  int done = 0;
  while (left > 0) {
    // The last payload that starts at or before the position.
    auto it = std::upper_bound(blocks.begin(), blocks.end(), h->pos,
                               [](uint64_t pos, const CabinetIndex::Block& b) { return pos < b.payload; });
    size_t take;
    if (!h->headers && it != blocks.begin() && h->pos < std::prev(it)->payload + std::prev(it)->size) {
      const CabinetIndex::Block& b = *std::prev(it);
      const uint8_t* data = Filtered(h->imageIndex, size_t(std::prev(it) - blocks.begin()));
      if (!data) return -1;
      uint64_t offset = h->pos - b.payload;
      take = size_t(std::min<uint64_t>(left, b.size - offset));
      std::memcpy(out, data + offset, take);
    } else {
      uint64_t next = h->headers || it == blocks.end() ? index.length : it->payload;
      take = size_t(std::min<uint64_t>(left, next - h->pos));
      if (!h->raw->ReadAt(index.base + h->pos, out, take)) return -1;
    }
    out += take;
    h->pos += take;
    left -= take;
    done += int(take);
  }
  return done;
}

// The filtered payload of a block. Every payload up to it that was not yet
// filtered goes through the filter first, in file order.
const uint8_t* Enumeration::Filtered(size_t image, size_t block) {
  if (image == currentImage_ && block == currentBlock_) return current_.data();
  if (std::make_pair(image, block) < std::make_pair(cursorImage_, cursorBlock_)) {
    auto it = kept_.find({image, block});
    if (it != kept_.end()) return it->second.data();
    Fail("the cabinet's data was read twice");
    return nullptr;
  }
  if (!FilterThrough(image, block)) return nullptr;
  return current_.data();
}

bool Enumeration::FilterThrough(size_t image, size_t block) {
  while (std::make_pair(cursorImage_, cursorBlock_) <= std::make_pair(image, block)) {
    Image& im = *images_[cursorImage_];
    if (cursorBlock_ >= im.index.blocks.size()) {
      ++cursorImage_;
      cursorBlock_ = 0;
      continue;
    }
    const CabinetIndex::Block& b = im.index.blocks[cursorBlock_];
    bool target = cursorImage_ == image && cursorBlock_ == block;
    std::vector<uint8_t>& buf = target ? current_ : scratch_;
    buf.resize(b.size);
    if (!im.file->ReadAt(im.index.base + b.payload, buf.data(), b.size))
      return Fail("cannot read " + Quoted(im.path));
    if (filter_) filter_(buf.data(), int32_t(b.size));
    if (im.keepFiltered) {
      keptBytes_ += b.size;
      if (keptBytes_ > kCacheLimit) return Fail("the cabinet's entries are too far out of order");
      kept_[{cursorImage_, cursorBlock_}] = buf;
    }
    if (target) {
      currentImage_ = image;
      currentBlock_ = block;
    }
    ++cursorBlock_;
  }
  return true;
}

bool Enumeration::FilterAll() {
  if (images_.empty()) return true;
  size_t last = images_.size() - 1;
  if (images_[last]->index.blocks.empty()) {
    // Nothing in the last cabinet: filter what remains before it.
    for (size_t i = last; i-- > 0;)
      if (!images_[i]->index.blocks.empty()) return FilterThrough(i, images_[i]->index.blocks.size() - 1);
    return true;
  }
  return FilterThrough(last, images_[last]->index.blocks.size() - 1);
}

int Enumeration::Write(OutputHandle* h, void* buffer, int bytes) {
  if (bytes < 0 || !record_) return -1;
  written_ += uint32_t(bytes);
  VxUnpackWriteRecord w{};
  w.entry = record_->entry;
  w.target = record_->target;
  w.fileSize = record_->size;
  w.blockLength = uint32_t(bytes);
  w.written = written_;
  w.block = buffer;
  if (notify_(VX_UNPACK_BEFORE_WRITE, &w) == -1) {
    stopped_ = true;
    return -1;
  }
  if (!h->file->Write(buffer, size_t(bytes))) {
    writeFailed_ = true;
    Fail("cannot write " + Quoted(record_->target));
    return -1;
  }
  return bytes;
}

bool Enumeration::OpenImage(const std::string& path) {
  auto image = std::make_unique<Image>();
  image->path = path;
  image->file = RawFile::Open(path, gSession.scrambled);
  if (!image->file) return Fail("cannot open " + Quoted(path));
  uint64_t base = 0;
  if (!FindCabinet(*image->file, base)) return Fail("no cabinet found in " + Quoted(path));
  std::string why;
  if (!ReadCabinetIndex(*image->file, base, image->index, why)) return Fail(Quoted(path) + " is damaged: " + why);
  Image* im = image.get();
  images_.push_back(std::move(image));
  openingCabinet_ = true;
  // The reader keeps the name pointer: it must live as long as the image.
  im->cab = cabd_->open(cabd_, im->path.c_str());
  openingCabinet_ = false;
  if (!im->cab) {
    return Fail(Quoted(path) + " is damaged: " +
                (readerMessage_.empty() ? "the cabinet reader refused it" : readerMessage_));
  }

  // Pair the reader's entries with the raw ones and check every name. See
  // whether the reader will ask for the data in file order: entries of a
  // folder in the order of their data, folders visited once each and in the
  // order their data lies. Otherwise filtered payloads are kept, so that the
  // filter still runs once per payload.
  std::map<const mscabd_folder*, uint64_t> folderData;
  size_t k = 0;
  for (const mscabd_folder* fol = im->cab->folders; fol && k < im->index.folderData.size(); fol = fol->next)
    folderData[fol] = im->index.folderData[k++];
  size_t n = 0;
  bool ordered = true;
  std::map<const mscabd_folder*, uint32_t> folderEnd;
  const mscabd_folder* lastFolder = nullptr;
  uint64_t lastData = 0;
  for (mscabd_file* f = im->cab->files; f; f = f->next, ++n) {
    if (n >= im->index.files.size()) break;
    if (!SafeEntryName(f->filename)) return Fail("unsafe entry name " + Quoted(f->filename ? f->filename : ""));
    files_[f] = FileInfo{images_.size() - 1, im->index.files[n]};
    if (f->length == 0) continue;
    auto seen = folderEnd.find(f->folder);
    if (seen != folderEnd.end() && (f->folder != lastFolder || f->offset < seen->second)) ordered = false;
    if (seen == folderEnd.end()) {
      uint64_t data = folderData.count(f->folder) ? folderData[f->folder] : 0;
      if (data < lastData) ordered = false;
      lastData = data;
    }
    folderEnd[f->folder] = f->offset + f->length;
    lastFolder = f->folder;
  }
  if (n != im->index.files.size()) return Fail(Quoted(path) + " is damaged: the file table does not match");
  im->keepFiltered = !ordered;
  return true;
}

bool Enumeration::ContinuesThrough(const Image& image) {
  bool toNext = false;
  for (const CabinetIndex::File& f : image.index.files) {
    if (f.folder == kContinuedBoth) return true;
    toNext |= f.folder == kContinuedToNext;
  }
  return toNext && image.index.folderData.size() == 1;
}

bool Enumeration::AppendNextCabinet() {
  Image& last = *images_.back();
  const char* name = last.cab->nextname;
  if (!name) return Fail("the cabinet set ends early");
  if (!SafeCabinetName(name)) return Fail("unsafe cabinet name " + Quoted(name));
  std::string folder = last.path;
  size_t cut = folder.size();
  while (cut > 0 && !IsSeparator(folder[cut - 1])) --cut;
  folder.resize(cut);
  std::string path;
  while (true) {
    path = folder + name;
    if (FileExists(path)) break;
    VxUnpackCabinetRecord r{};
    r.cabinet = name;
    std::snprintf(r.folder, sizeof r.folder, "%s", folder.c_str());
    if (notify_(VX_UNPACK_NEXT_CABINET, &r) == -1) return Fail("the next cabinet " + Quoted(name) + " is not available");
    r.folder[sizeof r.folder - 1] = 0;
    folder = r.folder;
    if (!folder.empty() && !IsSeparator(folder.back())) folder += PathSeparator();
  }
  for (auto& im : images_)
    if (im->path == path) return Fail("the cabinet set returns to " + Quoted(path));
  if (!OpenImage(path)) return false;
  if (cabd_->append(cabd_, last.cab, images_.back()->cab) != MSPACK_ERR_OK)
    return Fail(Quoted(path) + " does not continue the cabinet set");
  images_.back()->appended = true;
  return true;
}

bool Enumeration::Extract(mscabd_file* f, const FileInfo& info, VxUnpackFileRecord& record) {
  record.target[sizeof record.target - 1] = 0;
  record_ = &record;
  info_ = &info;
  written_ = 0;
  if (f->length == 0) {
    // Created here: the reader would restart its folder for an empty entry.
    auto out = OutputFile::Create(record.target);
    if (!out) {
      writeFailed_ = true;
      return Fail("cannot write " + Quoted(record.target));
    }
    out->Finish(info.raw.date, info.raw.time, info.raw.attributes);
    return true;
  }
  readerMessage_.clear();
  int err = cabd_->extract(cabd_, f, record.target);
  if (stopped_) return true;
  if (err != MSPACK_ERR_OK || written_ != f->length) {
    if (writeFailed_) return false;
    return Fail("cannot extract " + Quoted(f->filename) + ": " +
                (readerMessage_.empty() ? "the cabinet is damaged (" + std::to_string(err) + ")" : readerMessage_));
  }
  return true;
}

bool Enumeration::Run() {
  sys_.open = &SystemGlue::Open;
  sys_.close = &SystemGlue::Close;
  sys_.read = &SystemGlue::Read;
  sys_.write = &SystemGlue::Write;
  sys_.seek = &SystemGlue::Seek;
  sys_.tell = &SystemGlue::Tell;
  sys_.message = &SystemGlue::Message;
  sys_.alloc = &SystemGlue::Alloc;
  sys_.free = &SystemGlue::Free;
  sys_.copy = &SystemGlue::Copy;
  sys_.null_ptr = nullptr;
  cabd_ = mspack_create_cab_decompressor(&sys_);
  if (!cabd_) return Fail("the cabinet reader could not start");
  if (!OpenImage(gSession.path)) return false;

  mscabd_file* previous = nullptr;
  mscabd_file* f = images_[0]->cab->files;
  while (true) {
    if (!f) {
      if (!images_.back()->cab->nextname) break;
      if (!AppendNextCabinet()) return false;
      f = previous ? previous->next : images_[0]->cab->files;
      if (!f) break;
      continue;
    }
    const FileInfo info = files_.at(f);
    if ((info.raw.folder == kContinuedToNext || info.raw.folder == kContinuedBoth) && info.image + 1 == images_.size()) {
      // The entry's folder goes on in the next cabinet, and through it when
      // that one holds nothing but the folder's middle part.
      do {
        if (!AppendNextCabinet()) return false;
      } while (ContinuesThrough(*images_.back()));
    }

    VxUnpackFileRecord record{};
    record.entry = f->filename;
    record.size = f->length;
    record.dateTime = uint32_t(info.raw.date) << 16 | info.raw.time;
    record.attributes = info.raw.attributes;
    int32_t answer = notify_(VX_UNPACK_BEFORE_FILE, &record);
    if (answer == -1) return true;
    if (answer == 1) {
      if (!Extract(f, info, record)) return false;
      if (stopped_) return true;
      record_ = nullptr;
      if (notify_(VX_UNPACK_AFTER_FILE, &record) == -1) return true;
    }
    previous = f;
    f = f->next;
  }
  return FilterAll();
}

}  // namespace
}  // namespace vxunpack

using vxunpack::gSession;

VX_EXPORT int32_t VX_UNPACK_CALL Open(const char* path, int32_t scrambled) {
  try {
    gSession = vxunpack::Session{};
    if (!path) return 0;
    gSession.path = path;
    gSession.scrambled = scrambled != 0;
    gSession.opened = true;
    auto file = vxunpack::RawFile::Open(gSession.path, gSession.scrambled);
    uint64_t base = 0;
    if (!file) {
      gSession.lastError = "cannot open \"" + gSession.path + "\"";
      return 0;
    }
    if (!vxunpack::FindCabinet(*file, base)) {
      gSession.lastError = "no cabinet found in \"" + gSession.path + "\"";
      return 0;
    }
    return 1;
  } catch (...) {
    return 0;
  }
}

VX_EXPORT int32_t VX_UNPACK_CALL Enumerate(VxUnpackNotify notify, VxUnpackFilter filter) {
  if (!gSession.opened || !notify || gSession.running) {
    gSession.lastError = gSession.running ? "an enumeration is running" : "nothing to enumerate";
    return 0;
  }
  gSession.lastError.clear();
  bool ok = false;
  try {
    vxunpack::Enumeration e(notify, filter);
    gSession.running = &e;
    try {
      ok = e.Run();
    } catch (...) {
      ok = false;
    }
    gSession.lastError = ok ? "" : (e.Error().empty() ? "the enumeration failed" : e.Error());
    gSession.running = nullptr;
  } catch (...) {
    gSession.running = nullptr;
    gSession.lastError = "out of memory";
    ok = false;
  }
  return ok ? 1 : 0;
}

VX_EXPORT void VX_UNPACK_CALL Close(void) {
  if (gSession.running) return;
  std::string lastError = std::move(gSession.lastError);  // still readable after Close
  gSession = vxunpack::Session{};
  gSession.lastError = std::move(lastError);
}

VX_EXPORT const char* VX_UNPACK_CALL LastErrorText(void) { return gSession.lastError.c_str(); }
