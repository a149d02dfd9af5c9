// The engine's visible windows over the real API: pictures loaded from
// bitmap files, popup windows that paint them, progress bars, the
// preparation dialog of the executable's resources, regions and layered
// opacity.
#include <windows.h>
// After windows.h:
#include <commctrl.h>

#include <cstring>

#include "system/win32/Win32Host.h"

namespace vx {

namespace {

const char kPictureProp[] = "VXPicture";
const char kNoEraseProp[] = "VXNoErase";

// The procedure the picture windows get right after creation: paints the
// picture, optionally keeps the background from being erased, and leaves
// everything else to default processing.
LRESULT CALLBACK PictureWindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(wnd, &ps);
      HBITMAP picture = (HBITMAP)::GetPropA(wnd, kPictureProp);
      if (dc && picture) {
        BITMAP info{};
        ::GetObjectA(picture, sizeof info, &info);
        HDC mem = ::CreateCompatibleDC(dc);
        HGDIOBJ old = ::SelectObject(mem, picture);
        ::BitBlt(dc, 0, 0, info.bmWidth, info.bmHeight, mem, 0, 0, SRCCOPY);
        ::SelectObject(mem, old);
        ::DeleteDC(mem);
      }
      ::EndPaint(wnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      if (::GetPropA(wnd, kNoEraseProp)) return 1;
      break;
    case WM_NCDESTROY:
      ::RemovePropA(wnd, kPictureProp);
      ::RemovePropA(wnd, kNoEraseProp);
      break;
  }
  return ::DefWindowProcA(wnd, msg, wp, lp);
}

// Progress bars live in comctl32, which must be initialised before its
// classes can be used (also by dialog templates).
void EnsureCommonControls() {
  static bool done = false;
  if (done) return;
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof icc;
  icc.dwICC = ICC_PROGRESS_CLASS;
  if (!::InitCommonControlsEx(&icc)) ::InitCommonControls();
  done = true;
}

using SetLayeredProc = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);

SetLayeredProc LayeredProc() {
  static SetLayeredProc proc = [] {
    HMODULE user32 = ::GetModuleHandleA("user32.dll");
    return user32 ? (SetLayeredProc)(void*)::GetProcAddress(user32, "SetLayeredWindowAttributes") : nullptr;
  }();
  return proc;
}

}  // namespace

void Win32Host::ScreenSize(int& width, int& height) {
  width = ::GetSystemMetrics(SM_CXSCREEN);
  height = ::GetSystemMetrics(SM_CYSCREEN);
}

HandleValue Win32Host::LoadPictureFile(const std::string& path, int& width, int& height) {
  HBITMAP picture = (HBITMAP)::LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE);
  if (!picture) return 0;
  BITMAP info{};
  if (!::GetObjectA(picture, sizeof info, &info)) {
    ::DeleteObject(picture);
    return 0;
  }
  width = info.bmWidth;
  height = info.bmHeight;
  return (HandleValue)picture;
}

void Win32Host::DeletePicture(HandleValue picture) {
  if (picture) ::DeleteObject((HGDIOBJ)picture);
}

WindowHandle Win32Host::CreatePictureWindow(const std::string& className, const std::string& title,
                                            WindowHandle owner, const Rect& bounds, HandleValue picture,
                                            bool noErase) {
  HWND wnd = ::CreateWindowExA(0, className.c_str(), title.c_str(), WS_POPUP, bounds.left, bounds.top,
                               bounds.right - bounds.left, bounds.bottom - bounds.top, (HWND)owner, nullptr,
                               ::GetModuleHandleA(nullptr), nullptr);
  if (!wnd) return 0;
  ::SetPropA(wnd, kPictureProp, (HANDLE)picture);
  if (noErase) ::SetPropA(wnd, kNoEraseProp, (HANDLE)1);
  ::SetWindowLongPtrA(wnd, GWLP_WNDPROC, (LONG_PTR)PictureWindowProc);
  return (WindowHandle)wnd;
}

WindowHandle Win32Host::CreateProgressBar(WindowHandle parent, const Rect& bounds, uint32_t barColour,
                                          uint32_t backColour) {
  EnsureCommonControls();
  HWND bar = ::CreateWindowExA(0, "MSCTLS_PROGRESS32", "", WS_CHILD | WS_VISIBLE, bounds.left, bounds.top,
                               bounds.right - bounds.left, bounds.bottom - bounds.top, (HWND)parent, nullptr,
                               ::GetModuleHandleA(nullptr), nullptr);
  if (!bar) return 0;
  ::SendMessageA(bar, PBM_SETBARCOLOR, 0, (LPARAM)barColour);
  ::SendMessageA(bar, PBM_SETBKCOLOR, 0, (LPARAM)backColour);
  return (WindowHandle)bar;
}

WindowHandle Win32Host::CreateResourceDialog(const std::string& name, WindowHandle owner) {
  EnsureCommonControls();
  return (WindowHandle)::CreateDialogParamA(::GetModuleHandleA(nullptr), name.c_str(), (HWND)owner, nullptr, 0);
}

WindowHandle Win32Host::DialogItem(WindowHandle dialog, int id) {
  return dialog ? (WindowHandle)::GetDlgItem((HWND)dialog, id) : 0;
}

void Win32Host::SetProgressRange(WindowHandle bar, int low, int high, int step) {
  if (!bar) return;
  ::SendMessageA((HWND)bar, PBM_SETRANGE32, (WPARAM)low, (LPARAM)high);
  ::SendMessageA((HWND)bar, PBM_SETSTEP, (WPARAM)step, 0);
}

void Win32Host::SetProgressPosition(WindowHandle bar, int position) {
  if (bar) ::SendMessageA((HWND)bar, PBM_SETPOS, (WPARAM)position, 0);
}

bool Win32Host::SetWindowTitle(WindowHandle window, const std::string& title) {
  return window && ::SetWindowTextA((HWND)window, title.c_str());
}

bool Win32Host::WindowBounds(WindowHandle window, Rect& bounds) {
  RECT rc{};
  if (!window || !::GetWindowRect((HWND)window, &rc)) return false;
  bounds.left = rc.left;
  bounds.top = rc.top;
  bounds.right = rc.right;
  bounds.bottom = rc.bottom;
  return true;
}

bool Win32Host::MoveWindowTo(WindowHandle window, int left, int top) {
  return window &&
         ::SetWindowPos((HWND)window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOZORDER);
}

void Win32Host::ShowAndUpdateWindow(WindowHandle window) {
  if (!window) return;
  ::ShowWindow((HWND)window, SW_SHOW);
  ::UpdateWindow((HWND)window);
}

bool Win32Host::WindowVisible(WindowHandle window) { return window && ::IsWindowVisible((HWND)window); }

bool Win32Host::SetWindowRegionData(WindowHandle window, const std::string& regionData) {
  // ExtCreateRegion trusts the header's rectangle count: check it against
  // the bytes there are before handing them over.
  if (!window || regionData.size() < sizeof(RGNDATAHEADER)) return false;
  RGNDATAHEADER header;
  std::memcpy(&header, regionData.data(), sizeof header);
  if (header.dwSize != sizeof(RGNDATAHEADER) || header.iType != RDH_RECTANGLES ||
      header.nCount > (regionData.size() - sizeof header) / sizeof(RECT))
    return false;
  HRGN region = ::ExtCreateRegion(nullptr, DWORD(regionData.size()),
                                  reinterpret_cast<const RGNDATA*>(regionData.data()));
  if (!region) return false;
  if (!::SetWindowRgn((HWND)window, region, TRUE)) {
    ::DeleteObject(region);
    return false;
  }
  return true;  // the window owns the region now
}

bool Win32Host::LayeredWindowsAvailable() { return LayeredProc() != nullptr; }

bool Win32Host::SetWindowAlpha(WindowHandle window, uint8_t alpha) {
  SetLayeredProc proc = LayeredProc();
  if (!window || !proc) return false;
  LONG style = ::GetWindowLongA((HWND)window, GWL_EXSTYLE);
  ::SetWindowLongA((HWND)window, GWL_EXSTYLE, style | WS_EX_LAYERED);
  return proc((HWND)window, 0, alpha, LWA_ALPHA) != 0;
}

}  // namespace vx
