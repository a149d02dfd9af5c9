/* The program in front of a Windows setup file.
 *
 * The cabinet of a setup file has to start within the file's first
 * 524,272 bytes, right after the program that runs it. The engine itself is
 * larger than that, so the setup file starts with this small launcher, which
 * carries the engine gzip-compressed as the resource "ENGINE". It unpacks
 * the engine into a folder of its own under the temporary folder, runs it
 * with the launcher's own command line plus /exename:"<this file>" (so the
 * engine finds its packages beside the setup file the user started; an
 * /exename: given on the command line comes first and wins), waits for it,
 * removes the copy and ends with the engine's exit code.
 *
 * Written in C against kernel32 and zlib only, to stay a few kilobytes. */
#include <windows.h>
#include <zlib.h>

static int g_quiet;

/* Reports a launcher failure, without a box when the run is unattended. */
static int Fail(const wchar_t* text) {
  if (!g_quiet) MessageBoxW(NULL, text, L"Setup", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  return -1;
}

static void* Alloc(size_t bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1); }

/* Case-insensitive search for an ASCII word in a wide string. */
static int ContainsNoCase(const wchar_t* text, const char* word) {
  for (; *text; ++text) {
    const wchar_t* t = text;
    const char* w = word;
    while (*w && *t && (*t | 0x20) == (*w | 0x20)) ++t, ++w;
    if (!*w) return 1;
  }
  return 0;
}

/* The command line after the program name, split the way the C runtime
 * splits it: a quoted name ends at the next quote, a bare one at a blank. */
static const wchar_t* Arguments(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line) ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  return line;
}

/* Inflates the resource "ENGINE" (gzip) into a fresh buffer. */
static unsigned char* UnpackEngine(DWORD* size) {
  HRSRC found = FindResourceW(NULL, L"ENGINE", (LPCWSTR)RT_RCDATA);
  HGLOBAL loaded = found ? LoadResource(NULL, found) : NULL;
  const unsigned char* gz = loaded ? (const unsigned char*)LockResource(loaded) : NULL;
  DWORD gzSize = found ? SizeofResource(NULL, found) : 0;
  if (!gz || gzSize < 18) return NULL;
  /* gzip ends with the length of the original modulo 2^32. */
  *size = (DWORD)gz[gzSize - 4] | (DWORD)gz[gzSize - 3] << 8 | (DWORD)gz[gzSize - 2] << 16 |
          (DWORD)gz[gzSize - 1] << 24;
  unsigned char* out = (unsigned char*)Alloc(*size);
  if (!out) return NULL;
  z_stream s;
  ZeroMemory(&s, sizeof s);
  if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) return NULL;
  s.next_in = (Bytef*)gz;
  s.avail_in = gzSize;
  s.next_out = out;
  s.avail_out = *size;
  int rc = inflate(&s, Z_FINISH);
  int complete = rc == Z_STREAM_END && s.total_out == *size;
  inflateEnd(&s);
  if (!complete) {
    HeapFree(GetProcessHeap(), 0, out);
    return NULL;
  }
  return out;
}

/* Creates a folder of its own under the temporary folder. */
static int MakeWorkFolder(wchar_t* folder) {
  wchar_t temp[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) return 0;
  for (DWORD k = 0; k < 1000; ++k) {
    DWORD tag = (GetTickCount() + k * 7919u) ^ (GetCurrentProcessId() << 16);
    wsprintfW(folder, L"%sVX%08lX.tmp", temp, (unsigned long)tag);
    if (CreateDirectoryW(folder, NULL)) return 1;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return 0;
  }
  return 0;
}

static int WriteWholeFile(const wchar_t* path, const unsigned char* data, DWORD size) {
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return 0;
  DWORD done = 0, written = 0;
  while (done < size && WriteFile(h, data + done, size - done, &written, NULL) && written) done += written;
  return CloseHandle(h) && done == size;
}

/* Removes the engine copy and its folder; the image of a process that has
 * just ended can stay locked for a moment. */
static void RemoveWorkFolder(const wchar_t* folder, const wchar_t* engine) {
  for (int k = 0; k < 100; ++k) {
    if (DeleteFileW(engine) || GetLastError() == ERROR_FILE_NOT_FOUND) break;
    Sleep(50);
  }
  RemoveDirectoryW(folder);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR ansiLine, int show) {
  (void)instance, (void)previous, (void)ansiLine, (void)show;
  const wchar_t* line = GetCommandLineW();
  const wchar_t* args = Arguments(line);
  g_quiet = ContainsNoCase(args, "suppressmsgboxes");

  static wchar_t self[32768];
  DWORD selfLength = GetModuleFileNameW(NULL, self, 32768);
  if (selfLength == 0 || selfLength >= 32768) return Fail(L"Setup cannot find its own file.");

  DWORD size = 0;
  unsigned char* engine = UnpackEngine(&size);
  if (!engine) return Fail(L"The setup program is damaged.");

  static wchar_t folder[MAX_PATH + 32], enginePath[MAX_PATH + 64];
  if (!MakeWorkFolder(folder)) return Fail(L"Setup cannot create a temporary folder.");
  lstrcpyW(enginePath, folder);
  lstrcatW(enginePath, L"\\VXEngine.exe");
  if (!WriteWholeFile(enginePath, engine, size)) {
    RemoveWorkFolder(folder, enginePath);
    return Fail(L"Setup cannot write to the temporary folder.");
  }
  HeapFree(GetProcessHeap(), 0, engine);

  /* "<engine>" <arguments> /exename:"<this file>" */
  size_t length = (size_t)lstrlenW(enginePath) + (size_t)lstrlenW(args) + selfLength + 32;
  wchar_t* command = (wchar_t*)Alloc(length * sizeof(wchar_t));
  if (!command) {
    RemoveWorkFolder(folder, enginePath);
    return Fail(L"Setup is out of memory.");
  }
  lstrcpyW(command, L"\"");
  lstrcatW(command, enginePath);
  lstrcatW(command, L"\"");
  lstrcatW(command, args);
  lstrcatW(command, L" /exename:\"");
  lstrcatW(command, self);
  lstrcatW(command, L"\"");

  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  GetStartupInfoW(&startup);
  if (!CreateProcessW(enginePath, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    RemoveWorkFolder(folder, enginePath);
    return Fail(L"Setup cannot start.");
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = (DWORD)-1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  RemoveWorkFolder(folder, enginePath);
  return (int)code;
}
