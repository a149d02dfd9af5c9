/* The program in front of a setup file.
 *
 * The cabinet of a setup file has to start within the file's first
 * 524,272 bytes, right after the program that runs it. The engine itself is
 * larger than that, so the setup file starts with this small launcher, which
 * carries the engine gzip-compressed (on Windows as the resource "ENGINE",
 * natively as embedded bytes). It unpacks the engine into a folder of its
 * own under the temporary folder, runs it with the launcher's own command
 * line plus /exename:"<this file>" (so the engine finds its packages beside
 * the setup file the user started; an /exename: given on the command line
 * comes first and wins), waits for it, removes the copy and ends with the
 * engine's exit code.
 *
 * After a restart the resume entry starts a copy of this launcher that the
 * engine left in the temporary folder (see system/ResumeProgramName.h) with
 * /resume:. Once that resumed run has ended the copy
 * is of no use, and nobody else would remove it: it removes itself.
 *
 * Written in C against the system and zlib only, to stay a few kilobytes. */
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "system/ResumeProgramName.h"

/* Inflates a gzip image into a fresh buffer of malloc; null when the image
 * is damaged. gzip ends with the length of the original modulo 2^32. */
static unsigned char* Inflate(const unsigned char* gz, size_t gzSize, size_t* size) {
  if (!gz || gzSize < 18) return NULL;
  *size = (size_t)gz[gzSize - 4] | (size_t)gz[gzSize - 3] << 8 | (size_t)gz[gzSize - 2] << 16 |
          (size_t)gz[gzSize - 1] << 24;
  unsigned char* out = (unsigned char*)malloc(*size ? *size : 1);
  if (!out) return NULL;
  z_stream s;
  memset(&s, 0, sizeof s);
  if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) {
    free(out);
    return NULL;
  }
  s.next_in = (Bytef*)gz;
  s.avail_in = (uInt)gzSize;
  s.next_out = out;
  s.avail_out = (uInt)*size;
  int rc = inflate(&s, Z_FINISH);
  int complete = rc == Z_STREAM_END && s.total_out == *size;
  inflateEnd(&s);
  if (!complete) {
    free(out);
    return NULL;
  }
  return out;
}

/* Whether an argument is the switch "resume:" ("/" or "-" first, any case). */
static int IsResumeSwitch(const char* arg, size_t length) {
  static const char word[] = "resume:";
  if (length < 8 || (arg[0] != '/' && arg[0] != '-')) return 0;
  for (size_t i = 0; i < 7; ++i)
    if ((arg[1 + i] | 0x20) != word[i]) return 0;
  return 1;
}

#ifdef _WIN32
#include <windows.h>

static int g_quiet;

/* Reports a launcher failure, without a box when the run is unattended. */
static int Fail(const wchar_t* text) {
  if (!g_quiet) MessageBoxW(NULL, text, L"Setup", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  return -1;
}

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

/* Whether the command line holds the switch /resume:, argument by argument
 * (blanks separate, double quotes group). */
static int HasResumeSwitch(const wchar_t* args) {
  char arg[16];
  while (*args) {
    while (*args == L' ' || *args == L'\t') ++args;
    size_t n = 0;
    int quoted = 0;
    for (; *args && (quoted || (*args != L' ' && *args != L'\t')); ++args) {
      if (*args == L'"') quoted = !quoted;
      else if (n < sizeof arg) arg[n++] = *args < 128 ? (char)*args : '?';
    }
    if (IsResumeSwitch(arg, n)) return 1;
  }
  return 0;
}

/* Removes this program once it has ended, the way the engine removes
 * itself: a batch beside it deletes it as soon as the image is no longer
 * in use, then deletes itself. When Windows is already shutting down the
 * batch may not get to run: the deletion is then left to the restart. */
static void RemoveSelfLater(const wchar_t* self) {
  static wchar_t batch[MAX_PATH + 16];
  static char selfOem[3 * MAX_PATH], batchOem[3 * MAX_PATH], line[4 * 3 * MAX_PATH];
  size_t length = (size_t)lstrlenW(self);
  int started = 0;
  if (length >= 4 && length < MAX_PATH && !GetSystemMetrics(SM_SHUTTINGDOWN)) {
    lstrcpyW(batch, self);
    lstrcpyW(batch + length - 4, L".bat");
    /* The command interpreter reads batch files in the OEM code page. */
    if (WideCharToMultiByte(CP_OEMCP, 0, self, -1, selfOem, sizeof selfOem, NULL, NULL) &&
        WideCharToMultiByte(CP_OEMCP, 0, batch, -1, batchOem, sizeof batchOem, NULL, NULL)) {
      /* ":try", del "<self>", if exist "<self>" goto try, del "<batch>" */
      lstrcpyA(line, ":try\r\ndel \"");
      lstrcatA(line, selfOem);
      lstrcatA(line, "\"\r\nif exist \"");
      lstrcatA(line, selfOem);
      lstrcatA(line, "\" goto try\r\ndel \"");
      lstrcatA(line, batchOem);
      lstrcatA(line, "\"\r\n");
      HANDLE h = CreateFileW(batch, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
      DWORD written = 0;
      int complete = h != INVALID_HANDLE_VALUE && WriteFile(h, line, (DWORD)lstrlenA(line), &written, NULL) &&
                     written == (DWORD)lstrlenA(line);
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      if (complete) {
        static wchar_t command[MAX_PATH + 32];
        STARTUPINFOW startup;
        PROCESS_INFORMATION process;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        wsprintfW(command, L"\"%s\"", batch);
        started = CreateProcessW(NULL, command, NULL, NULL, FALSE, IDLE_PRIORITY_CLASS | CREATE_NO_WINDOW, NULL, NULL,
                                 &startup, &process);
        if (started) {
          CloseHandle(process.hThread);
          CloseHandle(process.hProcess);
        } else {
          DeleteFileW(batch);
        }
      }
    }
  }
  if (!started) MoveFileExW(self, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
}

/* Whether this program is the resume program the engine left behind. */
static int IsResumeProgram(const wchar_t* self) {
  const wchar_t* name = self;
  for (const wchar_t* p = self; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  char ascii[16];
  size_t n = 0;
  for (; name[n] && n < sizeof ascii; ++n) ascii[n] = name[n] < 128 ? (char)name[n] : '?';
  return !name[n] && VxIsResumeProgramName(ascii, n);
}

/* The resource "ENGINE", inflated. */
static unsigned char* UnpackEngine(size_t* size) {
  HRSRC found = FindResourceW(NULL, L"ENGINE", (LPCWSTR)RT_RCDATA);
  HGLOBAL loaded = found ? LoadResource(NULL, found) : NULL;
  const unsigned char* gz = loaded ? (const unsigned char*)LockResource(loaded) : NULL;
  return Inflate(gz, found ? SizeofResource(NULL, found) : 0, size);
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

static int WriteWholeFile(const wchar_t* path, const unsigned char* data, size_t size) {
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return 0;
  size_t done = 0;
  DWORD written = 0;
  while (done < size && WriteFile(h, data + done, (DWORD)(size - done), &written, NULL) && written) done += written;
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

  size_t size = 0;
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
  free(engine);

  /* "<engine>" <arguments> /exename:"<this file>" */
  size_t length = (size_t)lstrlenW(enginePath) + (size_t)lstrlenW(args) + selfLength + 32;
  wchar_t* command = (wchar_t*)malloc(length * sizeof(wchar_t));
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
  if (HasResumeSwitch(args) && IsResumeProgram(self)) RemoveSelfLater(self);
  return (int)code;
}

#else
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern const unsigned char vx_engine_gz[];
extern const size_t vx_engine_gz_size;

static int Fail(const char* text) {
  fprintf(stderr, "setup: %s\n", text);
  return 255;
}

static int WriteWholeFile(const char* path, const unsigned char* data, size_t size) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0700);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += (size_t)n;
  }
  return close(fd) == 0 && done == size;
}

int main(int argc, char** argv) {
  static char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return Fail("cannot find its own file");
  self[n] = 0;

  size_t size = 0;
  unsigned char* engine = Inflate(vx_engine_gz, vx_engine_gz_size, &size);
  if (!engine) return Fail("the setup program is damaged");

  const char* temp = getenv("TMPDIR");
  static char folder[PATH_MAX], enginePath[PATH_MAX + 16];
  snprintf(folder, sizeof folder, "%s/vxsetup.XXXXXX", temp && *temp ? temp : "/tmp");
  if (!mkdtemp(folder)) return Fail("cannot create a temporary folder");
  snprintf(enginePath, sizeof enginePath, "%s/vxengine", folder);
  int written = WriteWholeFile(enginePath, engine, size);
  free(engine);
  if (!written) {
    unlink(enginePath);
    rmdir(folder);
    return Fail("cannot write to the temporary folder");
  }

  /* The sandbox machine reaches the Linux file system through drive Z:. */
  static char exename[PATH_MAX + 16];
  snprintf(exename, sizeof exename, "/exename:Z:%s", self);
  for (char* p = exename; *p; ++p)
    if (*p == '/' && p > exename) *p = '\\';

  char** args = (char**)malloc(sizeof(char*) * (size_t)(argc + 2));
  if (!args) return Fail("out of memory");
  args[0] = enginePath;
  for (int i = 1; i < argc; ++i) args[i] = argv[i];
  args[argc] = exename;
  args[argc + 1] = NULL;

  int status = 0;
  pid_t child = fork();
  if (child == 0) {
    execv(enginePath, args);
    _exit(127);
  }
  if (child > 0)
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  unlink(enginePath);
  rmdir(folder);
  if (child < 0) return Fail("cannot start");
  /* The resume program of a resumed run: no longer needed. (A running
   * program's file can be removed at once here.) */
  const char* name = strrchr(self, '/') ? strrchr(self, '/') + 1 : self;
  int resumed = 0;
  for (int i = 1; i < argc; ++i) resumed |= IsResumeSwitch(argv[i], strlen(argv[i]));
  if (resumed && VxIsResumeProgramName(name, strlen(name))) unlink(self);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}
#endif
