// File and folder operations written once above the Host seam.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "system/PeImage.h"
#include "system/host.h"

namespace vx {

bool FileExists(const std::string& path);    // exists and is not a folder
bool FolderExists(const std::string& path);  // exists and is a folder
bool PathExists(const std::string& path);    // file or folder

// Creates the folder and every missing parent. True when it exists at the end.
bool ForceFolders(const std::string& path);

// Clears the attributes (FILE_ATTRIBUTE_NORMAL), then deletes.
bool DeleteFileForced(const std::string& path);

// DeleteFileForced, tried again while another program holds the file open
// for a moment (a shell reading a link just written, a virus scanner), until
// `waitMs` have passed. Any other failure ends it at once.
bool DeleteFileWaiting(const std::string& path, uint32_t waitMs);

// Deletes everything inside `folder` (entries whose names start with "." are
// skipped, volume labels too; read-only files are deleted all the same) and,
// when `removeItself` is set and everything went well, the folder itself --
// never a bare drive such as "C:".
bool DeleteFolderTree(const std::string& folder, bool removeItself);

// The eight-character base-32 code of a moment: three digits for the day
// (year digit, day of the year) and five for the centisecond of the day,
// `later` centiseconds on (within the same day).
std::string UniqueNameCode(const SystemTime& time, uint32_t later = 0);

// A file name (without folder) that names neither a file nor a folder in
// `folder`: prefix + code + extension. With `shortForm` only the first four
// characters of the prefix are used and the code is cut so that prefix and
// code together keep eight characters.
std::string UniqueName(const std::string& folder, const std::string& prefix = "",
                       const std::string& extension = "", bool shortForm = false);

// Creates a new empty file in `folder` the way GetTempFileName does with no
// number given: "<prefix><number>.tmp" with the first three characters of
// the prefix and a number of four upper-case hexadecimal digits, the first
// (from one derived from the clock on) that names nothing yet. The file is
// created exclusively, so two callers never get the same name. The full
// path; "" when no file can be created there.
std::string CreateTempFileIn(const std::string& folder, const std::string& prefix);

// --- Copying --------------------------------------------------------------------

// Progress of a chunked copy: (source, destination, bytes of this chunk,
// total size, bytes done) -> false to stop the copy.
using CopyProgress =
    std::function<bool(const std::string&, const std::string&, uint32_t, int64_t, int64_t)>;
// Changes a chunk in place before it is written (decryption).
using CopyTransform = std::function<void(char* buffer, size_t count)>;

// Copies `source` in chunks of 128 KiB (appending to `destination` when
// `append`), then gives the destination the source's last-write time and
// attributes. A failed copy leaves the partial destination in place; a
// source that becomes shorter during the copy fails it.
bool CopyFileChunked(const std::string& source, const std::string& destination, const CopyProgress& progress = {},
                     bool append = false, const CopyTransform& transform = {});

// --- Changes at the next start of Windows ---------------------------------------------

// Replaces `destination` by `source` at the next start (NT: MoveFileEx;
// 9x: wininit.ini [Rename] and, for a long destination name, a RunOnce
// entry that restores it). An empty destination deletes `source`. Nothing
// happens when the source does not exist.
bool MoveFileAtReboot(const std::string& source, const std::string& destination);
bool DeleteFileAtReboot(const std::string& path);

// The new text of wininit.ini: every old line trimmed, the entries inserted
// once inside the first [Rename] section (at its first empty line, before
// the next section, or at its end), or "[Rename]" and the entries appended.
std::string RewriteWininit(const std::string& oldText, const std::vector<std::string>& entries);

// Writes a batch file beside the engine's folder that deletes the engine's
// executable once it has ended (and the folder when `removeFolder`), and
// starts it hidden at idle priority.
bool StartSelfDeleteBatch(bool removeFolder);
// The same, then removing each of `moreFolders` in the order given ("rd"
// removes only an empty folder): the folders above the program's own that
// an installation created. The batch is then written to the temporary
// folder, since those folders may hold the one beside the program.
bool StartSelfDeleteBatch(bool removeFolder, const std::vector<std::string>& moreFolders);

// --- Versions and dates ------------------------------------------------------------------

// Reads byte ranges of an open file (up to 1 MiB at a time, never past its
// end); the file must outlive the reader.
ByteReader FileByteReader(HostFile& file);

// The file version of the PE version resource (dwFileVersionMS/LS), read
// from the file itself; `text` is "%d.%d.%d.%d". False without a resource.
bool GetFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls, std::string& text);
// The same over a reader of the file's bytes (offset, count, out) -> ok.
bool ReadVersionResource(const ByteReader& read, uint32_t& ms, uint32_t& ls);
// "a.b.c.d" to the two 32-bit numbers; missing or bad parts count as 0.
void SplitVersionText(const std::string& text, uint32_t& ms, uint32_t& ls);

// Whether the destination is newer than (or the same as) the source: by
// version when the source has a version text and the destination a version
// resource, else by last-write date. False when the destination is missing.
bool IsDestNewer(const std::string& sourceVersion, const std::string& destination, double sourceDate);
bool IsSameVersion(const std::string& sourceVersion, const std::string& destination, double sourceDate);

// Date-time values: days since 30 December 1899, the fraction the time of
// day. A file's date is its local last-write time, to the two seconds of a
// DOS date as cabinets and file records keep it.
double FileTimeToDateTime(uint64_t localFileTime);
uint64_t DateTimeToFileTime(double value);
double FileDate(const std::string& path);  // 0 when the file does not exist

// --- Facts -------------------------------------------------------------------------------

int64_t FileSize(const std::string& path);  // -1 when the file does not exist
// GetShortPathName, or the path itself when that fails.
std::string GetShortPath(const std::string& path);
// KiB free for the caller on the folder's disk; 0 when the folder does not exist.
uint32_t DiskFreeKB(const std::string& folder);
// Restarts Windows (forced: without asking programs), enabling the shutdown
// privilege first on NT.
bool RestartWindows(bool forced);

// Reads or writes a whole file through the host.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace vx
