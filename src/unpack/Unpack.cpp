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
//
// The library links no C++ runtime (see Containers.h): memory comes from
// malloc, and every failure travels back as a result and a reason.
#include <mspack.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "unpack/CabinetIndex.h"
#include "unpack/Containers.h"
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
// The header of a data block: checksum, two sizes and at most 255 reserved
// bytes.
constexpr size_t kMaxBlockHeader = 8 + 255;
// A payload's size is a 16-bit field; a payload read directly also takes
// the header of the block after it.
constexpr size_t kPayloadBuffer = 65536 + kMaxBlockHeader;
// Reasons longer than this are cut (paths may be long natively).
constexpr size_t kReasonSize = 1024;
constexpr size_t kReaderMessageSize = 512;

// One cabinet file of the set. Made by calloc; freed by FreeImage.
struct Image {
  char* path;            // malloc'ed; the reader keeps pointing at it
  RawFile* file;         // for reading payloads to be filtered
  CabinetIndex index;
  mscabd_cabinet* cab;
  uint8_t** kept;        // per block, its filtered payload when keepFiltered
  bool keepFiltered;     // entries out of data order: keep payloads
  bool appended;         // joined to the set of the first cabinet
};

void FreeImage(Image* im) {
  if (im->kept)
    for (size_t i = 0; i < im->index.blocks.count; ++i) free(im->kept[i]);
  free(im->kept);
  im->index.Free();
  RawFile::Close(im->file);
  free(im->path);
  free(im);
}

struct FileInfo {
  size_t image;
  CabinetIndex::File raw;
};

// The handles given to libmspack (it sees them as mspack_file). Made by
// calloc; freed by FreeHandle.
struct Handle : mspack_file {
  bool isOutput;
};

struct InputHandle : Handle {
  // Handles the reader opens to read a cabinet's headers see the payloads
  // as stored (it reads ahead past names); only the handles it reads data
  // blocks through see them filtered.
  bool headers;
  Image* image;
  size_t imageIndex;
  RawFile* raw;
  uint64_t pos;
};

struct OutputHandle : Handle {
  OutputFile* file;
};

void FreeHandle(mspack_file* f) {
  Handle* h = static_cast<Handle*>(f);
  if (h->isOutput)
    OutputFile::Close(static_cast<OutputHandle*>(h)->file);
  else
    RawFile::Close(static_cast<InputHandle*>(h)->raw);
  free(h);
}

class Enumeration;

// The state of one Open ... Close. Zero is the closed state.
struct Session {
  char* path;  // malloc'ed
  bool scrambled;
  bool opened;
  Enumeration* running;
};

Session gSession;
// The reason of the last failure; outlives Close.
char gLastError[kReasonSize];

void ResetSession() {
  free(gSession.path);
  gSession = Session{};
}

class Enumeration {
 public:
  Enumeration(VxUnpackNotify notify, VxUnpackFilter filter) : notify_(notify), filter_(filter) {}
  ~Enumeration();
  Enumeration(const Enumeration&) = delete;
  Enumeration& operator=(const Enumeration&) = delete;

  bool Run();
  const char* Error() const { return error_; }

  // --- The I/O layer libmspack calls -----------------------------------------------
  mspack_file* OpenFile(const char* name, int mode);
  int Read(InputHandle* h, void* buffer, int bytes);
  int Write(OutputHandle* h, void* buffer, int bytes);
  void CloseFile(mspack_file* f);
  void Message(const char* text) { CopyText(readerMessage_, sizeof readerMessage_, text); }

 private:
  // Keeps the first reason only: later failures are its consequences.
  bool Fail(const char* a, const char* b = nullptr, const char* c = nullptr, const char* d = nullptr,
            const char* e = nullptr) {
    if (!error_[0]) JoinText(error_, sizeof error_, a, b, c, d, e);
    return false;
  }
  bool OpenImage(char* path);
  int InDataOrder(const Image& image);
  bool AppendNextCabinet();
  static bool ContinuesThrough(const Image& image);
  bool Extract(mscabd_file* f, const FileInfo& info, VxUnpackFileRecord& record);
  const uint8_t* Filtered(size_t image, size_t block);
  bool FilterThrough(size_t image, size_t block);
  bool FilterAll();
  // Read-ahead: while the decompressor works, the helper thread reads and
  // filters the payloads that follow, up to kAhead of them (the engine's
  // cipher costs about as much as decompressing). The filter still sees
  // every payload once, in file order, and never on two threads at a time.
  static void AheadJob(void* self);
  void RunAhead();      // on the helper: the payloads of one cabinet
  void StartAhead();    // from the cursor to the end of its cabinet
  bool TakeAhead(uint8_t*& slot, bool& failed);  // the cursor's payload, when read ahead
  void StopAhead();     // ends a run before its end (closing)
  // Reads raw bytes of a cabinet for the reader, from the block header kept
  // after the last payload read when it holds them.
  bool ReadRaw(const InputHandle& h, void* out, size_t size);

  VxUnpackNotify notify_;
  VxUnpackFilter filter_;
  mspack_system sys_{};
  mscab_decompressor* cabd_ = nullptr;
  List<Image*> images_{};
  PtrMap<FileInfo> files_{};  // keyed by the reader's mscabd_file

  // Filter progress: the next payload to filter, and the last one filtered
  // (held in current_).
  size_t cursorImage_ = 0, cursorBlock_ = 0;
  size_t currentImage_ = SIZE_MAX, currentBlock_ = SIZE_MAX;
  uint8_t* current_ = nullptr;
  uint8_t* scratch_ = nullptr;
  // The bytes between the last payload read directly and the next one (the
  // next block's header, which the reader asks for right after): read with
  // the payload, they save a read of their own.
  size_t tailImage_ = SIZE_MAX;
  uint64_t tailStart_ = 0;  // offset from the cabinet's start
  size_t tailLength_ = 0;
  uint8_t tail_[kMaxBlockHeader] = {};
  size_t keptBytes_ = 0;
  static constexpr size_t kAhead = 8;
  HelperThread* helper_ = nullptr;
  Semaphore* aheadFilled_ = nullptr;  // payloads ready in the ring
  Semaphore* aheadFree_ = nullptr;    // places free in the ring
  bool helperTried_ = false;
  bool aheadRunning_ = false;  // a run is posted and not yet waited for
  bool aheadQuit_ = false;     // read with __atomic: the helper stops early
  const Image* aheadImage_ = nullptr;
  size_t aheadImageIndex_ = 0;
  size_t aheadFirst_ = 0, aheadEnd_ = 0;  // the run's blocks [first, end)
  size_t aheadNext_ = 0;                  // the next block the cursor takes
  uint8_t* aheadData_[kAhead] = {};
  bool aheadOk_[kAhead] = {};

  // The entry being written.
  VxUnpackFileRecord* record_ = nullptr;
  const FileInfo* info_ = nullptr;
  OutputHandle* output_ = nullptr;
  uint32_t written_ = 0;
  bool stopped_ = false;
  bool writeFailed_ = false;
  bool openingCabinet_ = false;
  char readerMessage_[kReaderMessageSize] = {};
  char error_[kReasonSize] = {};
};

// --- libmspack's view -----------------------------------------------------------------

struct SystemGlue {
  static Enumeration* Running() { return gSession.running; }
  static Handle* H(mspack_file* f) { return static_cast<Handle*>(f); }
  static mspack_file* Open(mspack_system*, const char* name, int mode) {
    return Running() ? Running()->OpenFile(name, mode) : nullptr;
  }
  static void Close(mspack_file* f) {
    if (!f) return;
    if (Running())
      Running()->CloseFile(f);
    else
      FreeHandle(f);  // the reader being destroyed
  }
  static int Read(mspack_file* f, void* buffer, int bytes) {
    if (!f || H(f)->isOutput || !Running()) return -1;
    return Running()->Read(static_cast<InputHandle*>(f), buffer, bytes);
  }
  static int Write(mspack_file* f, void* buffer, int bytes) {
    if (!f || !H(f)->isOutput || !Running()) return -1;
    return Running()->Write(static_cast<OutputHandle*>(f), buffer, bytes);
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
    char text[kReaderMessageSize];
    va_list args;
    va_start(args, format);
#ifdef _WIN32
    // The C runtime's own formatter (the reader's formats are plain %s and
    // %d): the C++ headers would route vsnprintf to a statically linked one.
    _vsnprintf(text, sizeof text - 1, format, args);
    text[sizeof text - 1] = 0;
#else
    vsnprintf(text, sizeof text, format, args);
#endif
    va_end(args);
    if (Running()) Running()->Message(text);
  }
  // Zero-filled: a damaged cabinet can make a decompressor copy window
  // bytes it never wrote (a match reaching back before the folder's first
  // byte) into the target, which must then not receive whatever the heap
  // held before (the caller's data, the cipher's state) nor differ from run
  // to run.
  static void* Alloc(mspack_system*, size_t bytes) { return calloc(1, bytes); }
  static void Free(void* p) { free(p); }
  static void Copy(void* src, void* dst, size_t bytes) { memmove(dst, src, bytes); }
};

// --- Names ----------------------------------------------------------------------------

// An entry name that stays inside the folder it is extracted into: no drive
// or stream (":"), no leading separator, no component that Windows would
// read as "." or ".." (trailing dots and blanks are dropped by Windows).
bool SafeEntryName(const char* name) {
  if (!name || !*name || name[0] == '\\' || name[0] == '/') return false;
  if (strchr(name, ':')) return false;
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

bool SafeCabinetName(const char* name) { return SafeEntryName(name) && !strpbrk(name, "\\/"); }

// --- Enumeration ---------------------------------------------------------------------------

Enumeration::~Enumeration() {
  // The helper may be reading a cabinet that is about to be closed.
  StopAhead();
  HelperThread::Stop(helper_);
  Semaphore::Destroy(aheadFilled_);
  Semaphore::Destroy(aheadFree_);
  for (size_t i = 0; i < kAhead; ++i) free(aheadData_[i]);
  if (cabd_) {
    // Closing the first cabinet frees the set appended to it; a cabinet
    // that could not be appended is closed by itself.
    for (size_t i = 0; i < images_.count; ++i) {
      Image* im = images_[i];
      if (im->cab && (i == 0 || !im->appended)) cabd_->close(cabd_, im->cab);
    }
    mspack_destroy_cab_decompressor(cabd_);
  }
  for (size_t i = 0; i < images_.count; ++i) FreeImage(images_[i]);
  images_.Free();
  files_.Free();
  free(current_);
  free(scratch_);
}

mspack_file* Enumeration::OpenFile(const char* name, int mode) {
  if (!name) return nullptr;
  if (mode == MSPACK_SYS_OPEN_WRITE) {
    OutputHandle* out = static_cast<OutputHandle*>(calloc(1, sizeof(OutputHandle)));
    if (!out) {
      Fail(kOutOfMemory);
      return nullptr;
    }
    out->isOutput = true;
    out->file = OutputFile::Create(name);
    if (!out->file) {
      free(out);
      writeFailed_ = true;
      Fail("cannot write \"", name, "\"");
      return nullptr;
    }
    output_ = out;
    written_ = 0;
    return out;
  }
  if (mode != MSPACK_SYS_OPEN_READ) return nullptr;
  for (size_t i = 0; i < images_.count; ++i) {
    if (strcmp(images_[i]->path, name) != 0) continue;
    InputHandle* in = static_cast<InputHandle*>(calloc(1, sizeof(InputHandle)));
    if (!in) return nullptr;
    in->headers = openingCabinet_;
    in->image = images_[i];
    in->imageIndex = i;
    in->raw = RawFile::Open(name, gSession.scrambled);
    if (!in->raw) {
      free(in);
      return nullptr;
    }
    return in;
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
  }
  FreeHandle(f);
}

// The number of payloads that start at or before `pos`.
size_t PayloadsUpTo(const List<CabinetIndex::Block>& blocks, uint64_t pos) {
  size_t low = 0, high = blocks.count;
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (pos < blocks[mid].payload)
      high = mid;
    else
      low = mid + 1;
  }
  return low;
}

int Enumeration::Read(InputHandle* h, void* buffer, int bytes) {
  if (bytes < 0) return -1;
  const CabinetIndex& index = h->image->index;
  const List<CabinetIndex::Block>& blocks = index.blocks;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint64_t available = index.length - (h->pos < index.length ? h->pos : index.length);
  uint64_t left = uint64_t(bytes) < available ? uint64_t(bytes) : available;
  int done = 0;
  while (left > 0) {
    size_t upTo = PayloadsUpTo(blocks, h->pos);
    size_t take;
    if (!h->headers && upTo > 0 && h->pos < blocks[upTo - 1].payload + blocks[upTo - 1].size) {
      const CabinetIndex::Block& b = blocks[upTo - 1];
      const uint8_t* data = Filtered(h->imageIndex, upTo - 1);
      if (!data) return -1;
      uint64_t offset = h->pos - b.payload;
      take = size_t(left < b.size - offset ? left : b.size - offset);
      memcpy(out, data + offset, take);
    } else {
      uint64_t next = h->headers || upTo == blocks.count ? index.length : blocks[upTo].payload;
      take = size_t(left < next - h->pos ? left : next - h->pos);
      if (!ReadRaw(*h, out, take)) return -1;
    }
    out += take;
    h->pos += take;
    left -= take;
    done += int(take);
  }
  return done;
}

bool Enumeration::ReadRaw(const InputHandle& h, void* out, size_t size) {
  if (h.imageIndex == tailImage_ && h.pos >= tailStart_ && h.pos - tailStart_ <= tailLength_ &&
      size <= tailLength_ - (h.pos - tailStart_)) {
    memcpy(out, tail_ + (h.pos - tailStart_), size);
    return true;
  }
  return h.raw->ReadAt(h.image->index.base + h.pos, out, size);
}

// Whether payload (image, block) comes before payload (otherImage, otherBlock).
bool Before(size_t image, size_t block, size_t otherImage, size_t otherBlock) {
  return image < otherImage || (image == otherImage && block < otherBlock);
}

// The filtered payload of a block. Every payload up to it that was not yet
// filtered goes through the filter first, in file order.
const uint8_t* Enumeration::Filtered(size_t image, size_t block) {
  if (image == currentImage_ && block == currentBlock_) return current_;
  if (Before(image, block, cursorImage_, cursorBlock_)) {
    const Image* im = images_[image];
    if (im->kept && im->kept[block]) return im->kept[block];
    Fail("the cabinet's data was read twice");
    return nullptr;
  }
  if (!FilterThrough(image, block)) return nullptr;
  return current_;
}

bool Enumeration::FilterThrough(size_t image, size_t block) {
  while (!Before(image, block, cursorImage_, cursorBlock_)) {
    Image& im = *images_[cursorImage_];
    if (cursorBlock_ >= im.index.blocks.count) {
      ++cursorImage_;
      cursorBlock_ = 0;
      continue;
    }
    const CabinetIndex::Block& b = im.index.blocks[cursorBlock_];
    bool target = cursorImage_ == image && cursorBlock_ == block;
    if (target) currentImage_ = currentBlock_ = SIZE_MAX;  // current_ is overwritten
    uint8_t*& slot = target ? current_ : scratch_;
    bool failed = false;
    if (TakeAhead(slot, failed)) {
      if (failed) return Fail("cannot read \"", im.path, "\"");
    } else if (aheadRunning_) {
      // Only the helper may filter now; the cursor left its run.
      return Fail("the read-ahead lost its place");
    } else {
      // The next block's header, when it follows, comes along.
      size_t next = 0;
      if (cursorBlock_ + 1 < im.index.blocks.count) {
        uint64_t gap = im.index.blocks[cursorBlock_ + 1].payload - (b.payload + b.size);
        if (gap <= kMaxBlockHeader) next = size_t(gap);
      }
      if (!im.file->ReadAt(im.index.base + b.payload, slot, b.size + next)) return Fail("cannot read \"", im.path, "\"");
      memcpy(tail_, slot + b.size, next);
      tailImage_ = next ? cursorImage_ : SIZE_MAX;
      tailStart_ = b.payload + b.size;
      tailLength_ = next;
      if (filter_) filter_(slot, int32_t(b.size));
    }
    uint8_t* buffer = slot;
    if (im.keepFiltered) {
      keptBytes_ += b.size;
      if (keptBytes_ > kCacheLimit) return Fail("the cabinet's entries are too far out of order");
      uint8_t* copy = static_cast<uint8_t*>(malloc(b.size ? b.size : 1));
      if (!copy) return Fail(kOutOfMemory);
      memcpy(copy, buffer, b.size);
      im.kept[cursorBlock_] = copy;
    }
    if (target) {
      currentImage_ = image;
      currentBlock_ = block;
    }
    ++cursorBlock_;
  }
  StartAhead();
  return true;
}

void Enumeration::AheadJob(void* self) { static_cast<Enumeration*>(self)->RunAhead(); }

void Enumeration::RunAhead() {
  const CabinetIndex& index = aheadImage_->index;
  for (size_t block = aheadFirst_; block < aheadEnd_; ++block) {
    aheadFree_->Wait();
    if (__atomic_load_n(&aheadQuit_, __ATOMIC_ACQUIRE)) return;
    size_t at = (block - aheadFirst_) % kAhead;
    const CabinetIndex::Block& b = index.blocks[block];
    aheadOk_[at] = aheadImage_->file->ReadAt(index.base + b.payload, aheadData_[at], b.size);
    if (aheadOk_[at]) filter_(aheadData_[at], int32_t(b.size));
    aheadFilled_->Post();
    if (!aheadOk_[at]) return;
  }
}

void Enumeration::StartAhead() {
  // Only a filter is worth a thread; a plain read is the page cache's.
  if (!filter_ || aheadRunning_ || cursorImage_ >= images_.count) return;
  const Image& im = *images_[cursorImage_];
  // Up to the end of this cabinet: the next one may not be joined yet.
  if (cursorBlock_ >= im.index.blocks.count) return;
  if (!helperTried_) {
    helperTried_ = true;
    bool buffers = true;
    for (size_t i = 0; i < kAhead; ++i) buffers = buffers && (aheadData_[i] = static_cast<uint8_t*>(malloc(kPayloadBuffer)));
    aheadFilled_ = buffers ? Semaphore::Create(0) : nullptr;
    aheadFree_ = aheadFilled_ ? Semaphore::Create(kAhead) : nullptr;
    helper_ = aheadFree_ ? HelperThread::Start(&Enumeration::AheadJob, this) : nullptr;
  }
  if (!helper_) return;
  aheadImage_ = &im;
  aheadImageIndex_ = cursorImage_;
  aheadFirst_ = aheadNext_ = cursorBlock_;
  aheadEnd_ = im.index.blocks.count;
  aheadRunning_ = true;
  helper_->Post();
}

bool Enumeration::TakeAhead(uint8_t*& slot, bool& failed) {
  if (!aheadRunning_ || cursorImage_ != aheadImageIndex_ || cursorBlock_ != aheadNext_) return false;
  aheadFilled_->Wait();
  size_t at = (aheadNext_ - aheadFirst_) % kAhead;
  failed = !aheadOk_[at];
  ++aheadNext_;
  if (!failed) {
    uint8_t* filled = aheadData_[at];
    aheadData_[at] = slot;
    slot = filled;
    aheadFree_->Post();
  }
  if (failed || aheadNext_ == aheadEnd_) {
    // The helper has ended its run (at a failed read, or at the last block).
    helper_->Wait();
    aheadRunning_ = false;
  }
  return true;
}

void Enumeration::StopAhead() {
  if (!aheadRunning_) return;
  __atomic_store_n(&aheadQuit_, true, __ATOMIC_RELEASE);
  aheadFree_->Post();  // wakes a helper waiting for room
  helper_->Wait();
  aheadRunning_ = false;
}

bool Enumeration::FilterAll() {
  if (!images_.count) return true;
  size_t last = images_.count - 1;
  if (!images_[last]->index.blocks.count) {
    // Nothing in the last cabinet: filter what remains before it.
    for (size_t i = last; i-- > 0;)
      if (images_[i]->index.blocks.count) return FilterThrough(i, images_[i]->index.blocks.count - 1);
    return true;
  }
  return FilterThrough(last, images_[last]->index.blocks.count - 1);
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
    Fail("cannot write \"", record_->target, "\"");
    return -1;
  }
  return bytes;
}

// Takes over `path` (malloc'ed).
bool Enumeration::OpenImage(char* path) {
  Image* im = static_cast<Image*>(calloc(1, sizeof(Image)));
  if (!im) {
    free(path);
    return Fail(kOutOfMemory);
  }
  im->path = path;
  if (!images_.Push(im)) {
    FreeImage(im);
    return Fail(kOutOfMemory);
  }
  im->file = RawFile::Open(path, gSession.scrambled);
  if (!im->file) return Fail("cannot open \"", path, "\"");
  uint64_t base = 0;
  if (!FindCabinet(*im->file, base)) return Fail("no cabinet found in \"", path, "\"");
  const char* why = "";
  if (!ReadCabinetIndex(*im->file, base, im->index, why))
    return why == kOutOfMemory ? Fail(kOutOfMemory) : Fail("\"", path, "\" is damaged: ", why);
  openingCabinet_ = true;
  // The reader keeps the name pointer: it lives as long as the image.
  im->cab = cabd_->open(cabd_, im->path);
  openingCabinet_ = false;
  if (!im->cab)
    return Fail("\"", path, "\" is damaged: ", readerMessage_[0] ? readerMessage_ : "the cabinet reader refused it");

  // Pair the reader's entries with the raw ones and check every name.
  size_t n = 0;
  for (mscabd_file* f = im->cab->files; f && n < im->index.files.count; f = f->next, ++n) {
    if (!SafeEntryName(f->filename)) return Fail("unsafe entry name \"", f->filename ? f->filename : "", "\"");
    if (!files_.Put(f, FileInfo{images_.count - 1, im->index.files[n]})) return Fail(kOutOfMemory);
  }
  if (n != im->index.files.count) return Fail("\"", path, "\" is damaged: the file table does not match");

  int ordered = InDataOrder(*im);
  if (ordered < 0) return Fail(kOutOfMemory);
  im->keepFiltered = !ordered;
  if (im->keepFiltered && im->index.blocks.count) {
    im->kept = static_cast<uint8_t**>(calloc(im->index.blocks.count, sizeof(uint8_t*)));
    if (!im->kept) return Fail(kOutOfMemory);
  }
  return true;
}

// Whether the reader will ask for the data of `image` in file order:
// entries of a folder in the order of their data, folders visited once each
// and in the order their data lies. Otherwise filtered payloads are kept, so
// that the filter still runs once per payload. -1 when out of memory.
int Enumeration::InDataOrder(const Image& image) {
  struct Folder {
    uint64_t data;  // offset of its first block
    uint32_t end;   // where the last entry seen ends in the folder's data
    bool seen;
  };
  PtrMap<Folder> folders{};
  int result = 1;
  size_t k = 0;
  for (const mscabd_folder* fol = image.cab->folders; fol && k < image.index.folderData.count; fol = fol->next)
    if (!folders.Put(fol, Folder{image.index.folderData[k++], 0, false})) result = -1;
  const mscabd_folder* lastFolder = nullptr;
  uint64_t lastData = 0;
  size_t n = 0;
  for (const mscabd_file* f = image.cab->files; f && result >= 0 && n < image.index.files.count; f = f->next, ++n) {
    if (f->length == 0) continue;
    Folder* folder = folders.Find(f->folder);
    if (!folder) folder = folders.Put(f->folder, Folder{0, 0, false});
    if (!folder) {
      result = -1;
      break;
    }
    if (folder->seen && (f->folder != lastFolder || f->offset < folder->end)) result = 0;
    if (!folder->seen) {
      if (folder->data < lastData) result = 0;
      lastData = folder->data;
    }
    folder->seen = true;
    folder->end = f->offset + f->length;
    lastFolder = f->folder;
  }
  folders.Free();
  return result;
}

bool Enumeration::ContinuesThrough(const Image& image) {
  bool toNext = false;
  for (size_t i = 0; i < image.index.files.count; ++i) {
    uint16_t folder = image.index.files[i].folder;
    if (folder == kContinuedBoth) return true;
    toNext |= folder == kContinuedToNext;
  }
  return toNext && image.index.folderData.count == 1;
}

bool Enumeration::AppendNextCabinet() {
  Image& last = *images_.Back();
  const char* name = last.cab->nextname;
  if (!name) return Fail("the cabinet set ends early");
  if (!SafeCabinetName(name)) return Fail("unsafe cabinet name \"", name, "\"");
  size_t cut = strlen(last.path);
  while (cut > 0 && !IsSeparator(last.path[cut - 1])) --cut;
  Text folder, path;
  folder.Append(last.path, cut);
  while (true) {
    path.Clear();
    path.Append(folder.Get());
    path.Append(name);
    if (folder.Failed() || path.Failed()) return Fail(kOutOfMemory);
    if (FileExists(path.Get())) break;
    VxUnpackCabinetRecord r{};
    r.cabinet = name;
    CopyText(r.folder, sizeof r.folder, folder.Get());
    if (notify_(VX_UNPACK_NEXT_CABINET, &r) == -1) return Fail("the next cabinet \"", name, "\" is not available");
    r.folder[sizeof r.folder - 1] = 0;
    folder.Clear();
    folder.Append(r.folder);
    if (folder.Length() && !IsSeparator(folder.Get()[folder.Length() - 1])) folder.Append(PathSeparator());
  }
  for (size_t i = 0; i < images_.count; ++i)
    if (strcmp(images_[i]->path, path.Get()) == 0) return Fail("the cabinet set returns to \"", path.Get(), "\"");
  if (!OpenImage(path.Release())) return false;
  Image& next = *images_.Back();
  if (cabd_->append(cabd_, last.cab, next.cab) != MSPACK_ERR_OK)
    return Fail("\"", next.path, "\" does not continue the cabinet set");
  next.appended = true;
  return true;
}

bool Enumeration::Extract(mscabd_file* f, const FileInfo& info, VxUnpackFileRecord& record) {
  record.target[sizeof record.target - 1] = 0;
  record_ = &record;
  info_ = &info;
  written_ = 0;
  if (f->length == 0) {
    // Created here: the reader would restart its folder for an empty entry.
    OutputFile* out = OutputFile::Create(record.target);
    if (!out) {
      writeFailed_ = true;
      return Fail("cannot write \"", record.target, "\"");
    }
    out->Finish(info.raw.date, info.raw.time, info.raw.attributes);
    OutputFile::Close(out);
    return true;
  }
  readerMessage_[0] = 0;
  int err = cabd_->extract(cabd_, f, record.target);
  if (stopped_) return true;
  if (err != MSPACK_ERR_OK || written_ != f->length) {
    if (writeFailed_) return false;
    if (readerMessage_[0]) return Fail("cannot extract \"", f->filename, "\": ", readerMessage_);
    char code[16];
    FormatNumber(code, err);
    return Fail("cannot extract \"", f->filename, "\": the cabinet is damaged (", code, ")");
  }
  return true;
}

bool Enumeration::Run() {
  current_ = static_cast<uint8_t*>(malloc(kPayloadBuffer));
  scratch_ = static_cast<uint8_t*>(malloc(kPayloadBuffer));
  if (!current_ || !scratch_) return Fail(kOutOfMemory);
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
  char* first = Duplicate(gSession.path);
  if (!first) return Fail(kOutOfMemory);
  if (!OpenImage(first)) return false;

  mscabd_file* previous = nullptr;
  mscabd_file* f = images_[0]->cab->files;
  while (true) {
    if (!f) {
      if (!images_.Back()->cab->nextname) break;
      if (!AppendNextCabinet()) return false;
      f = previous ? previous->next : images_[0]->cab->files;
      if (!f) break;
      continue;
    }
    const FileInfo* found = files_.Find(f);
    if (!found) return Fail("the cabinet reader lists an entry it did not read");
    const FileInfo info = *found;
    if ((info.raw.folder == kContinuedToNext || info.raw.folder == kContinuedBoth) && info.image + 1 == images_.count) {
      // The entry's folder goes on in the next cabinet, and through it when
      // that one holds nothing but the folder's middle part.
      do {
        if (!AppendNextCabinet()) return false;
      } while (ContinuesThrough(*images_.Back()));
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

using vxunpack::gLastError;
using vxunpack::gSession;

VX_EXPORT int32_t VX_UNPACK_CALL Open(const char* path, int32_t scrambled) {
  if (gSession.running) {
    // A callback of the running enumeration: the session stays as it is.
    vxunpack::CopyText(gLastError, sizeof gLastError, "an enumeration is running");
    return 0;
  }
  vxunpack::ResetSession();
  gLastError[0] = 0;
  if (!path) return 0;
  gSession.path = vxunpack::Duplicate(path);
  if (!gSession.path) {
    vxunpack::CopyText(gLastError, sizeof gLastError, vxunpack::kOutOfMemory);
    return 0;
  }
  gSession.scrambled = scrambled != 0;
  gSession.opened = true;
  vxunpack::RawFile* file = vxunpack::RawFile::Open(path, gSession.scrambled);
  if (!file) {
    vxunpack::JoinText(gLastError, sizeof gLastError, "cannot open \"", path, "\"");
    return 0;
  }
  uint64_t base = 0;
  bool found = vxunpack::FindCabinet(*file, base);
  vxunpack::RawFile::Close(file);
  if (!found) {
    vxunpack::JoinText(gLastError, sizeof gLastError, "no cabinet found in \"", path, "\"");
    return 0;
  }
  return 1;
}

VX_EXPORT int32_t VX_UNPACK_CALL Enumerate(VxUnpackNotify notify, VxUnpackFilter filter) {
  if (!gSession.opened || !notify || gSession.running) {
    vxunpack::CopyText(gLastError, sizeof gLastError,
                       gSession.running ? "an enumeration is running" : "nothing to enumerate");
    return 0;
  }
  gLastError[0] = 0;
  bool ok;
  {
    vxunpack::Enumeration e(notify, filter);
    gSession.running = &e;
    ok = e.Run();
    vxunpack::CopyText(gLastError, sizeof gLastError,
                       ok ? "" : e.Error()[0] ? e.Error() : "the enumeration failed");
    // Handles the reader closes while it is destroyed are freed directly.
    gSession.running = nullptr;
  }
  return ok ? 1 : 0;
}

VX_EXPORT void VX_UNPACK_CALL Close(void) {
  if (gSession.running) return;
  vxunpack::ResetSession();  // the last reason stays readable after Close
}

VX_EXPORT const char* VX_UNPACK_CALL LastErrorText(void) { return gLastError; }

#ifdef _WIN32
// The DLL's entry point, in place of the MinGW start-up code (the library is
// linked without it to stay small): there is nothing to set up, as the
// library has no constructors, destructors or thread-local data, and
// msvcrt.dll, whose functions it calls, initialises itself.
extern "C" int __stdcall VxUnpackEntry(void* module, unsigned long reason, void* reserved) { return 1; }
#endif
