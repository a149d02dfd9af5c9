// File and folder operations written once above the Host seam.
#pragma once

#include <string>

#include "system/host.h"

namespace vx {

bool FileExists(const std::string& path);    // exists and is not a folder
bool FolderExists(const std::string& path);  // exists and is a folder
bool PathExists(const std::string& path);    // file or folder

// Creates the folder and every missing parent. True when it exists at the end.
bool ForceFolders(const std::string& path);

// Clears the attributes (FILE_ATTRIBUTE_NORMAL), then deletes.
bool DeleteFileForced(const std::string& path);

// Deletes everything inside `folder` (entries whose names start with "." are
// skipped, volume labels too; read-only files are deleted all the same) and,
// when `removeItself` is set and everything went well, the folder itself --
// never a bare drive such as "C:".
bool DeleteFolderTree(const std::string& folder, bool removeItself);

// The eight-character base-32 code of a moment: three digits for the day
// (year digit, day of the year) and five for the centisecond of the day.
std::string UniqueNameCode(const SystemTime& time);

// A file name (without folder) that names neither a file nor a folder in
// `folder`: prefix + code + extension. With `shortForm` only the first four
// characters of the prefix are used and the code is cut so that prefix and
// code together keep eight characters.
std::string UniqueName(const std::string& folder, const std::string& prefix = "",
                       const std::string& extension = "", bool shortForm = false);

// Reads or writes a whole file through the host.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace vx
