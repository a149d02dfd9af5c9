#include "system/win32/Win32Host.h"

#include <windows.h>

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

LRESULT CALLBACK MainWindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
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

}  // namespace

Win32Host::Win32Host() = default;
Win32Host::~Win32Host() = default;

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
  HANDLE h = ::FindFirstFileA((IncludeTrailingBackslash(folder) + pattern).c_str(), &fd);
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

WindowHandle Win32Host::CreateMainWindow(const std::string& className) {
  HINSTANCE inst = ::GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = inst;
  wc.hIcon = ::LoadIconA(inst, "MAINICON");
  wc.hCursor = ::LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
  wc.lpszClassName = className.c_str();
  if (!::RegisterClassExA(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    WNDCLASSA plain{};
    plain.style = wc.style;
    plain.lpfnWndProc = MainWindowProc;
    plain.hInstance = inst;
    plain.hIcon = wc.hIcon;
    plain.hCursor = wc.hCursor;
    plain.lpszClassName = className.c_str();
    if (!::RegisterClassA(&plain) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return 0;
  }
  HWND wnd = ::CreateWindowExA(0, className.c_str(), "", WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MAXIMIZEBOX,
                               0, 0, 0, 0, nullptr, nullptr, inst, nullptr);
  return (WindowHandle)wnd;
}

void Win32Host::DestroyWindow(WindowHandle window) {
  if (window) ::DestroyWindow((HWND)window);
}

WindowHandle Win32Host::LastActivePopup(WindowHandle window) {
  return window ? (WindowHandle)::GetLastActivePopup((HWND)window) : 0;
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
