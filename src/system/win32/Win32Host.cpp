#include "system/win32/Win32Host.h"

#include <windows.h>
// After windows.h:
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "system/PeImage.h"
#include "system/PlatformHost.h"
#include "system/kqFileUtils.h"
#include "system/kqStrUtils.h"

namespace vx {

namespace {

class Win32File : public HostFile {
 public:
  explicit Win32File(HANDLE h) : h_(h) {}
  ~Win32File() override { ::CloseHandle(h_); }
  bool Read(void* buffer, size_t size, size_t& done) override {
    done = 0;
    while (done < size) {
      DWORD chunk = DWORD(size - done > 0x40000000 ? 0x40000000 : size - done), got = 0;
      if (!::ReadFile(h_, (char*)buffer + done, chunk, &got, nullptr)) return false;
      if (got == 0) break;
      done += got;
    }
    return true;
  }
  bool Write(const void* buffer, size_t size, size_t& done) override {
    done = 0;
    while (done < size) {
      DWORD chunk = DWORD(size - done > 0x40000000 ? 0x40000000 : size - done), put = 0;
      if (!::WriteFile(h_, (const char*)buffer + done, chunk, &put, nullptr)) return false;
      if (put == 0) return false;
      done += put;
    }
    return true;
  }
  bool Seek(int64_t offset, int origin) override {
    LARGE_INTEGER li;
    li.QuadPart = offset;
    DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
    return ::SetFilePointerEx(h_, li, nullptr, method) != 0;
  }
  int64_t Position() override {
    LARGE_INTEGER zero{}, pos{};
    return ::SetFilePointerEx(h_, zero, &pos, FILE_CURRENT) ? pos.QuadPart : -1;
  }
  int64_t Size() override {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(h_, &size) ? size.QuadPart : -1;
  }
  bool SetEnd() override { return ::SetEndOfFile(h_) != 0; }

 private:
  HANDLE h_;
};

WindowMessageHandler g_mainWindowHandler;

LRESULT CALLBACK MainWindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  intptr_t result = 0;
  if (g_mainWindowHandler && g_mainWindowHandler(msg, wp, lp, result)) return result;
  return ::DefWindowProcA(wnd, msg, wp, lp);
}

// Centres the message box in the work area when it is first activated, and
// keeps it on the screen.
HHOOK g_msgBoxHook = nullptr;

LRESULT CALLBACK CentreHook(int code, WPARAM wp, LPARAM lp) {
  if (code == HCBT_ACTIVATE) {
    HWND box = (HWND)wp;
    RECT work{}, rc{};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    ::GetWindowRect(box, &rc);
    int w = rc.right - rc.left, h = rc.bottom - rc.top;
    int left = work.left + ((work.right - work.left) - w) / 2;
    int top = work.top + ((work.bottom - work.top) - h) / 2;
    int sw = ::GetSystemMetrics(SM_CXSCREEN), sh = ::GetSystemMetrics(SM_CYSCREEN);
    if (left + w > sw) left = sw - w;
    if (left < 0) left = 0;
    if (top + h > sh) top = sh - h;
    if (top < 0) top = 0;
    ::SetWindowPos(box, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOZORDER);
    LRESULT r = ::CallNextHookEx(g_msgBoxHook, code, wp, lp);
    ::UnhookWindowsHookEx(g_msgBoxHook);
    g_msgBoxHook = nullptr;
    return r;
  }
  return ::CallNextHookEx(g_msgBoxHook, code, wp, lp);
}

BOOL CALLBACK CollectWindow(HWND wnd, LPARAM lp) {
  reinterpret_cast<std::vector<WindowHandle>*>(lp)->push_back((WindowHandle)wnd);
  return TRUE;
}

uint64_t ToUInt64(const FILETIME& ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
FILETIME ToFileTime(uint64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = DWORD(t);
  ft.dwHighDateTime = DWORD(t >> 32);
  return ft;
}

HKEY Key(RegKey key) { return (HKEY)key; }

// The security functions of advapi32, looked up once: they are missing on
// the 9x family.
struct SecurityApi {
  using AllocSidFn = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                   DWORD, PSID*);
  using EqualSidFn = BOOL(WINAPI*)(PSID, PSID);
  using FreeSidFn = PVOID(WINAPI*)(PSID);
  using OpenTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
  using TokenInfoFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
  AllocSidFn allocSid = nullptr;
  EqualSidFn equalSid = nullptr;
  FreeSidFn freeSid = nullptr;
  OpenTokenFn openToken = nullptr;
  TokenInfoFn tokenInfo = nullptr;
  bool loaded = false;

  static const SecurityApi& Get() {
    static SecurityApi api = [] {
      SecurityApi a;
      HMODULE lib = ::LoadLibraryA("advapi32.dll");
      if (!lib) return a;
      a.allocSid = (AllocSidFn)(void*)::GetProcAddress(lib, "AllocateAndInitializeSid");
      a.equalSid = (EqualSidFn)(void*)::GetProcAddress(lib, "EqualSid");
      a.freeSid = (FreeSidFn)(void*)::GetProcAddress(lib, "FreeSid");
      a.openToken = (OpenTokenFn)(void*)::GetProcAddress(lib, "OpenProcessToken");
      a.tokenInfo = (TokenInfoFn)(void*)::GetProcAddress(lib, "GetTokenInformation");
      a.loaded = a.allocSid && a.equalSid && a.freeSid && a.openToken && a.tokenInfo;
      return a;
    }();
    return api;
  }
};

}  // namespace

Win32Host::Win32Host() = default;
Win32Host::~Win32Host() { FreeProtectedFileQuery(); }

uint32_t Win32Host::GetAttributes(const std::string& path) { return ::GetFileAttributesA(path.c_str()); }

bool Win32Host::SetAttributes(const std::string& path, uint32_t attributes) {
  return ::SetFileAttributesA(path.c_str(), attributes) != 0;
}

bool Win32Host::MakeFolder(const std::string& path) { return ::CreateDirectoryA(path.c_str(), nullptr) != 0; }
bool Win32Host::RemoveFolder(const std::string& path) { return ::RemoveDirectoryA(path.c_str()) != 0; }
bool Win32Host::RemoveFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }
bool Win32Host::RenameFile(const std::string& from, const std::string& to) {
  return ::MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool Win32Host::ListFolder(const std::string& folder, const std::string& pattern, std::vector<FindEntry>& entries,
                           uint32_t& error) {
  entries.clear();
  WIN32_FIND_DATAA fd;
  // No folder is the current one: the bare pattern, not "\" + pattern,
  // which would name the root of the current drive.
  std::string search = folder.empty() ? pattern : IncludeTrailingBackslash(folder) + pattern;
  HANDLE h = ::FindFirstFileA(search.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return false;
  }
  do {
    FindEntry e;
    e.name = fd.cFileName;
    e.attributes = fd.dwFileAttributes;
    e.size = (uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    entries.push_back(e);
  } while (::FindNextFileA(h, &fd));
  error = ::GetLastError();
  ::FindClose(h);
  return true;
}

std::unique_ptr<HostFile> Win32Host::OpenFile(const std::string& path, FileAccess access, FileCreate create,
                                              uint32_t share) {
  DWORD acc = access == FileAccess::Read ? GENERIC_READ
              : access == FileAccess::Write ? GENERIC_WRITE
                                            : GENERIC_READ | GENERIC_WRITE;
  DWORD disp = create == FileCreate::OpenExisting   ? OPEN_EXISTING
               : create == FileCreate::OpenAlways   ? OPEN_ALWAYS
               : create == FileCreate::CreateAlways ? CREATE_ALWAYS
                                                    : CREATE_NEW;
  DWORD sh = 0;
  if (share & kShareRead) sh |= FILE_SHARE_READ;
  if (share & kShareWrite) sh |= FILE_SHARE_WRITE;
  if (share & kShareDelete) sh |= FILE_SHARE_DELETE;
  HANDLE h = ::CreateFileA(path.c_str(), acc, sh, nullptr, disp, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32File>(h);
}

std::string Win32Host::CurrentFolder() {
  char buf[MAX_PATH + 1];
  DWORD n = ::GetCurrentDirectoryA(sizeof buf, buf);
  return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

bool Win32Host::SetCurrentFolder(const std::string& path) { return ::SetCurrentDirectoryA(path.c_str()) != 0; }

std::string Win32Host::FullPath(const std::string& path) {
  char buf[MAX_PATH * 2];
  char* part = nullptr;
  DWORD n = ::GetFullPathNameA(path.c_str(), sizeof buf, buf, &part);
  return n && n < sizeof buf ? std::string(buf, n) : path;
}

bool Win32Host::MoveFileWithFlags(const std::string& from, const std::string& to, uint32_t flags) {
  return ::MoveFileExA(from.c_str(), to.empty() ? nullptr : to.c_str(), flags) != 0;
}

bool Win32Host::GetFileWriteTime(const std::string& path, uint64_t& time) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  time = ToUInt64(data.ftLastWriteTime);
  return true;
}

bool Win32Host::SetFileWriteTime(const std::string& path, uint64_t time) {
  HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)  // the 9x family knows no FILE_WRITE_ATTRIBUTES
    h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME ft = ToFileTime(time);
  bool ok = ::SetFileTime(h, nullptr, nullptr, &ft) != 0;
  ::CloseHandle(h);
  return ok;
}

uint64_t Win32Host::ToLocalFileTime(uint64_t utc) {
  FILETIME in = ToFileTime(utc), out{};
  return ::FileTimeToLocalFileTime(&in, &out) ? ToUInt64(out) : utc;
}

std::string Win32Host::ShortPathName(const std::string& path) {
  char buf[MAX_PATH + 1];
  DWORD n = ::GetShortPathNameA(path.c_str(), buf, sizeof buf);
  return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

bool Win32Host::DiskFreeBytes(const std::string& folder, uint64_t& available) {
  using Fn = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  static Fn fn = (Fn)(void*)::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetDiskFreeSpaceExA");
  if (!fn) {
    ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
  }
  ULARGE_INTEGER avail{}, total{}, free{};
  if (!fn(folder.c_str(), &avail, &total, &free)) return false;
  available = avail.QuadPart;
  return true;
}

bool Win32Host::DiskFreeClusters(const std::string& root, uint32_t& sectorsPerCluster, uint32_t& bytesPerSector,
                                 uint32_t& freeClusters) {
  DWORD spc = 0, bps = 0, fc = 0, tc = 0;
  if (!::GetDiskFreeSpaceA(root.c_str(), &spc, &bps, &fc, &tc)) return false;
  sectorsPerCluster = spc;
  bytesPerSector = bps;
  freeClusters = fc;
  return true;
}

// --- Registry ---------------------------------------------------------------------

uint32_t Win32Host::OpenRegKey(RegKey parent, const std::string& subKey, bool write, RegKey& key) {
  HKEY k = nullptr;
  LONG r = ::RegOpenKeyExA(Key(parent), subKey.c_str(), 0, write ? KEY_WRITE : KEY_READ, &k);
  key = r == ERROR_SUCCESS ? (RegKey)k : 0;
  return uint32_t(r);
}

uint32_t Win32Host::CreateRegKey(RegKey parent, const std::string& subKey, RegKey& key) {
  HKEY k = nullptr;
  LONG r = ::RegCreateKeyA(Key(parent), subKey.c_str(), &k);
  key = r == ERROR_SUCCESS ? (RegKey)k : 0;
  return uint32_t(r);
}

void Win32Host::CloseRegKey(RegKey key) {
  if (key && (key < kHKeyClassesRoot || key > kHKeyUsers + 0x10)) ::RegCloseKey(Key(key));
}

uint32_t Win32Host::QueryRegValue(RegKey key, const std::string& name, uint32_t& type, std::string& data) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD t = 0, size = 0;
    LONG r = ::RegQueryValueExA(Key(key), name.c_str(), nullptr, &t, nullptr, &size);
    if (r != ERROR_SUCCESS) return uint32_t(r);
    std::string buf(size_t(size) + 1, '\0');  // room for a terminator some systems add
    DWORD got = size + 1;
    r = ::RegQueryValueExA(Key(key), name.c_str(), nullptr, &t, (BYTE*)buf.data(), &got);
    if (r == ERROR_MORE_DATA) continue;  // the value grew meanwhile
    if (r != ERROR_SUCCESS) return uint32_t(r);
    buf.resize(got);
    type = t;
    data = std::move(buf);
    return ERROR_SUCCESS;
  }
  return ERROR_MORE_DATA;
}

uint32_t Win32Host::SetRegValue(RegKey key, const std::string& name, uint32_t type, const std::string& data) {
  return uint32_t(::RegSetValueExA(Key(key), name.c_str(), 0, type, (const BYTE*)data.data(), DWORD(data.size())));
}

uint32_t Win32Host::DeleteRegValue(RegKey key, const std::string& name) {
  return uint32_t(::RegDeleteValueA(Key(key), name.c_str()));
}

uint32_t Win32Host::DeleteRegKey(RegKey key, const std::string& subKey) {
  return uint32_t(::RegDeleteKeyA(Key(key), subKey.c_str()));
}

uint32_t Win32Host::EnumRegKey(RegKey key, uint32_t index, std::string& name) {
  char buf[1025];
  DWORD len = sizeof buf;
  LONG r = ::RegEnumKeyExA(Key(key), index, buf, &len, nullptr, nullptr, nullptr, nullptr);
  if (r == ERROR_SUCCESS) name.assign(buf, len);
  return uint32_t(r);
}

uint32_t Win32Host::EnumRegValue(RegKey key, uint32_t index, std::string& name) {
  std::string buf(16384, '\0');
  DWORD len = DWORD(buf.size());
  LONG r = ::RegEnumValueA(Key(key), index, buf.data(), &len, nullptr, nullptr, nullptr, nullptr);
  if (r == ERROR_SUCCESS) name.assign(buf.data(), len);
  return uint32_t(r);
}

// --- Profile functions ---------------------------------------------------------------

std::string Win32Host::ProfileRead(const std::string& file, const std::optional<std::string>& section,
                                   const std::optional<std::string>& key, const std::string& def, uint32_t size) {
  if (size == 0) return std::string();
  std::string buf(size, '\0');
  DWORD n = ::GetPrivateProfileStringA(section ? section->c_str() : nullptr, key ? key->c_str() : nullptr,
                                       def.c_str(), buf.data(), size, file.c_str());
  buf.resize(n < size ? n : size);
  return buf;
}

bool Win32Host::ProfileWrite(const std::string& file, const std::string& section,
                             const std::optional<std::string>& key, const std::optional<std::string>& value) {
  return ::WritePrivateProfileStringA(section.c_str(), key ? key->c_str() : nullptr,
                                      value ? value->c_str() : nullptr, file.c_str()) != 0;
}

std::string Win32Host::ExecutablePath() {
  char buf[MAX_PATH * 2];
  DWORD n = ::GetModuleFileNameA(nullptr, buf, sizeof buf);
  return std::string(buf, n);
}

std::optional<std::string> Win32Host::GetEnv(const std::string& name) {
  DWORD n = ::GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::string v(n, '\0');
  n = ::GetEnvironmentVariableA(name.c_str(), v.data(), n);
  v.resize(n);
  return v;
}

std::string Win32Host::PlatformTempPath() {
  char buf[MAX_PATH + 1];
  DWORD n = ::GetTempPathA(sizeof buf, buf);
  return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

std::string Win32Host::WindowsFolder() {
  char buf[MAX_PATH + 1];
  UINT n = ::GetWindowsDirectoryA(buf, sizeof buf);
  return ExcludeTrailingBackslash(std::string(buf, n < sizeof buf ? n : 0));
}

std::string Win32Host::SystemFolder() {
  char buf[MAX_PATH + 1];
  UINT n = ::GetSystemDirectoryA(buf, sizeof buf);
  return ExcludeTrailingBackslash(std::string(buf, n < sizeof buf ? n : 0));
}

SystemTime Win32Host::LocalTime() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  SystemTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.dayOfWeek = st.wDayOfWeek;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.milliseconds = st.wMilliseconds;
  return t;
}

uint32_t Win32Host::TickCount() { return ::GetTickCount(); }
void Win32Host::SleepMs(uint32_t ms) { ::Sleep(ms); }

VersionFacts Win32Host::Version() {
  OSVERSIONINFOA vi{};
  vi.dwOSVersionInfoSize = sizeof vi;
  VersionFacts v;
  if (::GetVersionExA(&vi)) {
    v.platform = vi.dwPlatformId;
    v.major = vi.dwMajorVersion;
    v.minor = vi.dwMinorVersion;
    v.build = vi.dwBuildNumber;
    v.servicePack = vi.szCSDVersion;
  }
  return v;
}

uint32_t Win32Host::LastError() { return ::GetLastError(); }

std::vector<std::string> Win32Host::EnvironmentStrings() {
  std::vector<std::string> list;
  char* block = ::GetEnvironmentStringsA();
  if (!block) return list;
  for (const char* p = block; *p; p += std::strlen(p) + 1) list.emplace_back(p);
  ::FreeEnvironmentStringsA(block);
  return list;
}

bool Win32Host::ExpandEnvStrings(const std::string& text, std::string& expanded) {
  DWORD n = ::ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
  for (int attempt = 0; n && attempt < 4; ++attempt) {
    std::string buf(size_t(n) + 1, '\0');
    DWORD m = ::ExpandEnvironmentStringsA(text.c_str(), buf.data(), DWORD(buf.size()));
    if (m == 0) return false;
    if (m <= buf.size()) {
      buf.resize(m ? m - 1 : 0);  // the count includes the terminating zero
      expanded = std::move(buf);
      return true;
    }
    n = m;
  }
  return false;
}

uint16_t Win32Host::UserLangId() { return ::GetUserDefaultLangID(); }
uint16_t Win32Host::SystemLangId() { return ::GetSystemDefaultLangID(); }

std::string Win32Host::ShellFolderPath(int csidl) {
  LPITEMIDLIST pidl = nullptr;
  if (::SHGetSpecialFolderLocation(nullptr, csidl, &pidl) != S_OK || !pidl) return std::string();
  char buf[MAX_PATH + 1] = {0};
  bool ok = ::SHGetPathFromIDListA(pidl, buf) != 0;
  ::CoTaskMemFree(pidl);
  return ok ? std::string(buf) : std::string();
}

AdminCheck Win32Host::CheckAdminGroup() {
  const SecurityApi& api = SecurityApi::Get();
  if (!api.loaded) return AdminCheck::NoSecurityApi;
  HANDLE token = nullptr;
  if (!api.openToken(::GetCurrentProcess(), TOKEN_READ, &token)) return AdminCheck::NotMember;
  DWORD size = 0;
  api.tokenInfo(token, TokenGroups, nullptr, 0, &size);
  std::vector<char> buf(size ? size : 1);
  bool haveGroups = size && api.tokenInfo(token, TokenGroups, buf.data(), size, &size);
  ::CloseHandle(token);
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!api.allocSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins))
    return AdminCheck::SidFailed;
  bool member = false;
  if (haveGroups) {
    const TOKEN_GROUPS* groups = (const TOKEN_GROUPS*)buf.data();
    for (DWORD i = 0; i < groups->GroupCount && !member; ++i)
      member = api.equalSid(groups->Groups[i].Sid, admins) != 0;
  }
  api.freeSid(admins);
  return member ? AdminCheck::Member : AdminCheck::NotMember;
}

bool Win32Host::EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = ::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &tp.Privileges[0].Luid) &&
            ::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
  ::CloseHandle(token);
  return ok;
}

bool Win32Host::RestartSystem(uint32_t flags) { return ::ExitWindowsEx(flags, 0) != 0; }

// --- Processes ------------------------------------------------------------------------

HandleValue Win32Host::StartProcess(const std::string& commandLine, const std::string& folder, int showCmd,
                                    uint32_t creationFlags) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = WORD(showCmd);
  PROCESS_INFORMATION pi{};
  std::string cmd = commandLine;  // CreateProcess may write into it
  if (!::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, creationFlags, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &si, &pi))
    return 0;
  ::CloseHandle(pi.hThread);
  return (HandleValue)pi.hProcess;
}

HandleValue Win32Host::ShellOpen(WindowHandle owner, const std::string& file, const std::string& params,
                                 const std::string& folder, int showCmd) {
  SHELLEXECUTEINFOA sei{};
  sei.cbSize = sizeof sei;
  // No error box of the shell: the caller reports the failure itself, and
  // an unattended run must never wait for a click.
  sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  sei.hwnd = (HWND)owner;
  sei.lpFile = file.c_str();
  sei.lpParameters = params.empty() ? nullptr : params.c_str();
  sei.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  sei.nShow = showCmd;
  if (!::ShellExecuteExA(&sei)) return 0;
  return (HandleValue)sei.hProcess;
}

uint32_t Win32Host::WaitForProcess(HandleValue process, uint32_t milliseconds) {
  return ::WaitForSingleObject((HANDLE)process, milliseconds);
}

bool Win32Host::ProcessExitCode(HandleValue process, uint32_t& code) {
  DWORD c = 0;
  if (!::GetExitCodeProcess((HANDLE)process, &c)) return false;
  code = c;
  return true;
}

bool Win32Host::LoadDataResource(const std::string& name, std::string& bytes) {
  HRSRC res = ::FindResourceA(nullptr, name.c_str(), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
  if (!res) return false;
  HGLOBAL mem = ::LoadResource(nullptr, res);
  DWORD size = ::SizeofResource(nullptr, res);
  const void* data = mem ? ::LockResource(mem) : nullptr;
  if (!data) return false;
  bytes.assign((const char*)data, size);
  return true;
}

HandleValue Win32Host::CreateNamedMutex(const std::string& name, bool& existed) {
  HANDLE h = ::CreateMutexA(nullptr, FALSE, name.c_str());
  existed = h && ::GetLastError() == ERROR_ALREADY_EXISTS;
  return (HandleValue)h;
}

void Win32Host::CloseHandle(HandleValue handle) {
  if (handle) ::CloseHandle((HANDLE)handle);
}

bool Win32Host::RegisterEngineWindowClass(const std::string& className) {
  HINSTANCE inst = ::GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = inst;
  wc.hIcon = ::LoadIconA(inst, "MAINICON");
  wc.hCursor = ::LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
  wc.lpszClassName = className.c_str();
  if (::RegisterClassExA(&wc) || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS) return true;
  // Systems without the extended registration take the plain one.
  WNDCLASSA plain{};
  plain.style = wc.style;
  plain.lpfnWndProc = MainWindowProc;
  plain.hInstance = inst;
  plain.hIcon = wc.hIcon;
  plain.hCursor = wc.hCursor;
  plain.lpszClassName = className.c_str();
  return ::RegisterClassA(&plain) || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

WindowHandle Win32Host::CreateMainWindow(const std::string& className) {
  if (!RegisterEngineWindowClass(className)) return 0;
  HWND wnd = ::CreateWindowExA(0, className.c_str(), "", WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MAXIMIZEBOX,
                               0, 0, 0, 0, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
  return (WindowHandle)wnd;
}

void Win32Host::DestroyWindow(WindowHandle window) {
  if (window) ::DestroyWindow((HWND)window);
}

WindowHandle Win32Host::LastActivePopup(WindowHandle window) {
  return window ? (WindowHandle)::GetLastActivePopup((HWND)window) : 0;
}

std::vector<WindowHandle> Win32Host::TopLevelWindows() {
  std::vector<WindowHandle> list;
  ::EnumWindows(CollectWindow, (LPARAM)&list);
  return list;
}

std::string Win32Host::WindowTitle(WindowHandle window) {
  // A hung window of another program must not stop the engine.
  DWORD_PTR len = 0;
  if (!::SendMessageTimeoutA((HWND)window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 1000, &len) || len == 0)
    return std::string();
  std::string buf(size_t(len) + 1, '\0');
  DWORD_PTR got = 0;
  if (!::SendMessageTimeoutA((HWND)window, WM_GETTEXT, buf.size(), (LPARAM)buf.data(), SMTO_ABORTIFHUNG, 1000, &got))
    return std::string();
  buf.resize(got < len ? got : len);
  return buf;
}

int Win32Host::DispatchOneMessage() {
  MSG msg;
  if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return 0;
  if (msg.message == WM_QUIT) return -1;
  ::TranslateMessage(&msg);
  ::DispatchMessageA(&msg);
  return 1;
}

bool Win32Host::WorkArea(Rect& area) {
  RECT rc{};
  if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &rc, 0)) return false;
  area.left = rc.left;
  area.top = rc.top;
  area.right = rc.right;
  area.bottom = rc.bottom;
  return true;
}

int Win32Host::ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption, uint32_t flags) {
  g_msgBoxHook = ::SetWindowsHookExA(WH_CBT, CentreHook, nullptr, ::GetCurrentThreadId());
  int r = ::MessageBoxA((HWND)owner, text.c_str(), caption.c_str(), flags);
  if (g_msgBoxHook) {
    ::UnhookWindowsHookEx(g_msgBoxHook);
    g_msgBoxHook = nullptr;
  }
  return r;
}

}  // namespace vx

namespace vx {

void Win32Host::SetMainWindowHandler(WindowMessageHandler handler) { g_mainWindowHandler = std::move(handler); }

intptr_t Win32Host::SendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  return ::SendMessageA((HWND)window, message, (WPARAM)wParam, (LPARAM)lParam);
}

uint32_t Win32Host::CurrentThreadId() { return ::GetCurrentThreadId(); }

// The file is looked at before the loader sees it: a DLL of the other
// bitness, a truncated copy or a file that is no image fails as
// ERROR_BAD_EXE_FORMAT, as Windows itself reports a DLL of the wrong kind,
// and none of its code runs. A bare name (a system library the loader
// finds on its search path) goes to the loader unchecked.
ModuleHandle Win32Host::LoadModule(const std::string& path) {
  if (path.find_first_of("\\/:") != std::string::npos) {
    auto file = OpenFile(path, FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite | kShareDelete);
    if (file && !LoadableDllProblem(FileByteReader(*file), uint64_t(file->Size())).empty()) {
      ::SetLastError(ERROR_BAD_EXE_FORMAT);
      return 0;
    }
  }
  return (ModuleHandle)::LoadLibraryA(path.c_str());
}

void* Win32Host::ModuleProc(ModuleHandle module, const std::string& name) {
  return module ? (void*)::GetProcAddress((HMODULE)module, name.c_str()) : nullptr;
}

void Win32Host::UnloadModule(ModuleHandle module) {
  if (module) ::FreeLibrary((HMODULE)module);
}

}  // namespace vx

// --- Error mode, text comparison, locales and COM ---------------------------------------

namespace vx {

namespace {

// EnumSystemLocales passes no context to its callback; the list being
// filled is the calling thread's.
thread_local std::vector<uint32_t>* t_locales = nullptr;

BOOL CALLBACK CollectLocale(LPSTR text) {
  if (t_locales && text) t_locales->push_back(uint32_t(std::strtoul(text, nullptr, 16)));
  return TRUE;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" to a GUID; false when malformed.
bool ParseGuid(const std::string& text, GUID& guid) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return false;
  std::wstring wide(text.begin(), text.end());
  return SUCCEEDED(::CLSIDFromString(const_cast<LPOLESTR>(wide.c_str()), &guid));
}

}  // namespace

uint32_t Win32Host::SetProcessErrorMode(uint32_t mode) { return ::SetErrorMode(mode); }

int Win32Host::CompareLocaleText(const std::string& a, const std::string& b) {
  int r = ::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), int(a.size()), b.data(), int(b.size()));
  return r == 0 ? 0 : r - CSTR_EQUAL;
}

std::vector<uint32_t> Win32Host::InstalledLocales() {
  std::vector<uint32_t> list;
  std::vector<uint32_t>* saved = t_locales;
  t_locales = &list;
  ::EnumSystemLocalesA(CollectLocale, LCID_INSTALLED);
  t_locales = saved;
  return list;
}

std::string Win32Host::LocaleText(uint32_t lcid, uint32_t type) {
  if (Version().platform == kPlatformNT) {
    wchar_t wide[256];
    int n = ::GetLocaleInfoW(lcid, type, wide, 256);
    if (n <= 0) return "";
    char text[256 * 2];
    int m = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    if (m <= 0) return "";
    std::string s(text);
    if (s.size() > 255) s.resize(255);
    return s;
  }
  char text[256];
  int n = ::GetLocaleInfoA(lcid, type, text, sizeof text);
  return n > 0 ? std::string(text) : std::string();
}

bool Win32Host::CodePageCharset(uint32_t codePage, uint32_t& charset) {
  CHARSETINFO info{};
  if (!::TranslateCharsetInfo((DWORD*)(uintptr_t)codePage, &info, TCI_SRCCODEPAGE)) return false;
  charset = info.ciCharset;
  return true;
}

bool Win32Host::ComObjectAvailable(const std::string& clsid, const std::string& iid) {
  GUID classId, interfaceId;
  if (!ParseGuid(clsid, classId) || !ParseGuid(iid, interfaceId)) return false;
  HRESULT init = ::CoInitialize(nullptr);
  IUnknown* instance = nullptr;
  HRESULT hr = ::CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, interfaceId, (void**)&instance);
  bool ok = SUCCEEDED(hr) && instance;
  if (instance) instance->Release();
  if (SUCCEEDED(init)) ::CoUninitialize();
  return ok;
}

bool Win32Host::NamedMutexExists(const std::string& name) {
  HANDLE h = ::OpenMutexA(READ_CONTROL, FALSE, name.c_str());
  if (!h) return false;
  ::CloseHandle(h);
  return true;
}

HandleValue Win32Host::LoadEngineIcon(bool small) {
  int size = small ? 16 : 32;
  return (HandleValue)::LoadImageA(::GetModuleHandleA(nullptr), "MAINICON", IMAGE_ICON, size, size, 0);
}

}  // namespace vx

// --- The platform's host --------------------------------------------------------------

namespace vx {

std::unique_ptr<Host> CreatePlatformHost() { return std::make_unique<Win32Host>(); }

std::vector<std::string> ProgramParameters(int, char**) {
  std::vector<std::string> params = SplitCommandLine(::GetCommandLineA());
  if (!params.empty()) params.erase(params.begin());
  return params;
}

}  // namespace vx
