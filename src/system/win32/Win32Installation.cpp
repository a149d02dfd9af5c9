// What the installation needs of Windows beyond files, registry and
// windows: the worker thread of the file copy, the protected-file query of
// "sfc.dll", the font table and the broadcasts of changed fonts and
// settings.
#include <windows.h>
#include <objbase.h>

#include <exception>
#include <memory>
#include <string>

#include "system/RunLog.h"
#include "system/win32/Win32Host.h"

namespace vx {

namespace {

// What the thread routine gets: the work, owned by the routine from then on.
struct WorkerStart {
  std::function<uint32_t()> work;
};

// The worker's whole life: COM for this thread around the work. The work
// and what it captured are gone before COM is uninitialised, so that no
// COM object it held outlives COM.
DWORD WINAPI WorkerRoutine(LPVOID parameter) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
  HRESULT com = ::CoInitialize(nullptr);
  DWORD code = 0;
  try {
    code = start->work();
  } catch (const std::exception& e) {
    RunLog("worker", std::string("ended by an exception: ") + e.what());
  } catch (...) {
    RunLog("worker", "ended by an exception");
  }
  start.reset();
  if (SUCCEEDED(com)) ::CoUninitialize();
  return code;
}

using SfcIsFileProtectedProc = BOOL(WINAPI*)(HANDLE, LPCWSTR);

}  // namespace

// --- The worker thread --------------------------------------------------------------

HandleValue Win32Host::StartWorker(std::function<uint32_t()> work) {
  auto start = std::make_unique<WorkerStart>();
  start->work = std::move(work);
  DWORD id = 0;
  HANDLE thread = ::CreateThread(nullptr, 0, WorkerRoutine, start.get(), 0, &id);
  if (!thread) return 0;
  start.release();  // the routine owns it now
  return (HandleValue)thread;
}

bool Win32Host::WorkerExitCode(HandleValue thread, uint32_t& code) {
  DWORD c = 0;
  if (!thread || !::GetExitCodeThread((HANDLE)thread, &c)) return false;
  code = c;
  return true;
}

uint32_t Win32Host::WaitForWorkerOrMessage(HandleValue thread, uint32_t milliseconds) {
  HANDLE handle = (HANDLE)thread;
  DWORD r = ::MsgWaitForMultipleObjects(1, &handle, FALSE, milliseconds, QS_ALLINPUT);
  if (r == WAIT_OBJECT_0) return kWaitObject0;
  if (r == WAIT_OBJECT_0 + 1) return kWaitInput;
  if (r == WAIT_TIMEOUT) return kWaitTimeout;
  return kWaitFailed;
}

uint32_t Win32Host::SuspendWorker(HandleValue thread) { return ::SuspendThread((HANDLE)thread); }
uint32_t Win32Host::ResumeWorker(HandleValue thread) { return ::ResumeThread((HANDLE)thread); }

void Win32Host::CloseWorker(HandleValue thread) {
  if (thread) ::CloseHandle((HANDLE)thread);
}

// --- Protected files ------------------------------------------------------------------

bool Win32Host::LoadProtectedFileQuery() {
  if (sfcIsFileProtected_) return true;
  HMODULE sfc = ::LoadLibraryA("sfc.dll");
  if (!sfc) return false;
  void* proc = (void*)::GetProcAddress(sfc, "SfcIsFileProtected");
  if (!proc) {
    ::FreeLibrary(sfc);
    return false;
  }
  sfc_ = (ModuleHandle)sfc;
  sfcIsFileProtected_ = proc;
  return true;
}

bool Win32Host::IsProtectedFile(const std::string& path) {
  if (!sfcIsFileProtected_) return false;
  // The query takes wide paths: the ANSI path in the system code page.
  int n = ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 0) return false;
  std::wstring wide(size_t(n), L'\0');
  if (::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], n) <= 0) return false;
  return ((SfcIsFileProtectedProc)sfcIsFileProtected_)(nullptr, wide.c_str()) != FALSE;
}

void Win32Host::FreeProtectedFileQuery() {
  sfcIsFileProtected_ = nullptr;
  if (sfc_) ::FreeLibrary((HMODULE)sfc_);
  sfc_ = 0;
}

// --- Fonts and broadcasts ---------------------------------------------------------------

bool Win32Host::AddFontFile(const std::string& path) { return ::AddFontResourceA(path.c_str()) > 0; }

bool Win32Host::RemoveFontFile(const std::string& path) { return ::RemoveFontResourceA(path.c_str()) != 0; }

bool Win32Host::BroadcastFontChange(uint32_t timeoutMs) {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutA(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}

bool Win32Host::BroadcastSettingChange(const std::string& area, uint32_t timeoutMs) {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, (LPARAM)area.c_str(), SMTO_ABORTIFHUNG,
                               timeoutMs, &result) != 0;
}

}  // namespace vx
