// SandboxHost, windows: the main window and its messages, message boxes
// (printed to standard error; nobody can click them, so they take their
// default button) and the engine's own windows. There is no screen: each
// window is a record of what Windows would hold for it (class, title,
// owner, place and size, region, opacity, progress), and what a person
// would see is written to the run log as "window: ..." records, so that a
// run on the sandbox can be checked for the same placement and timing
// decisions as a run on Windows.
#include "system/sandbox/SandboxHost.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "system/RunLog.h"
#include "system/kqStrUtils.h"
#include "system/kqUtils.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

uint32_t Le32(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t Le16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

// Checks a bitmap file the way LoadImage would accept it and gives its
// size: "BM", a core (12-byte) or info (40 bytes or more) header, one
// plane, a known bit count, and uncompressed pixel data that fits the file.
bool ParseBitmap(const std::string& b, int& width, int& height) {
  if (b.size() < 26 || b[0] != 'B' || b[1] != 'M') return false;
  uint32_t bitsAt = Le32(b, 10), headerSize = Le32(b, 14);
  int64_t w, h;
  uint32_t planes, bits, compression = 0;
  if (headerSize == 12) {
    w = Le16(b, 18);
    h = Le16(b, 20);
    planes = Le16(b, 22);
    bits = Le16(b, 24);
  } else if (headerSize >= 40 && b.size() >= 14 + size_t(40)) {
    w = int32_t(Le32(b, 18));
    h = int32_t(Le32(b, 22));
    planes = Le16(b, 26);
    bits = Le16(b, 28);
    compression = Le32(b, 30);
  } else {
    return false;
  }
  if (h < 0) h = -h;  // top-down rows
  if (w <= 0 || h <= 0 || w > 0x7FFF || h > 0x7FFF || planes != 1) return false;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  if (bitsAt >= b.size()) return false;
  if (compression == 0 || compression == 3) {
    uint64_t row = (uint64_t(w) * bits + 31) / 32 * 4;
    if (row * uint64_t(h) > b.size() - bitsAt) return false;
  } else if (compression != 1 && compression != 2) {
    return false;
  }
  width = int(w);
  height = int(h);
  return true;
}

// The engine's dialog templates, as the executable's resources hold them:
// size in dialog units and the ids of their controls. The sandbox turns
// dialog units into pixels with the base units of "MS Sans Serif" 8 at
// 96 dpi (6 x 13) and adds a modal frame (3 pixels) and a caption (19
// pixels), as a classic Windows XP screen shows them.
struct DialogItemTemplate {
  int id;
  const char* className;
  int x, y, width, height;  // dialog units
};
struct DialogTemplate {
  const char* name;
  int width, height;
  std::vector<DialogItemTemplate> items;
};
const DialogTemplate kDialogs[] = {
    {"DLG_PRESETUP", 200, 70,
     {{100, "STATIC", 10, 15, 21, 20}, {101, "MSCTLS_PROGRESS32", 42, 52, 149, 10}, {102, "STATIC", 42, 11, 149, 34}}},
};
constexpr int kBaseX = 6, kBaseY = 13, kFrame = 3, kCaption = 19;

int DluToPixels(int units, int base, int div) { return (units * base + div / 2) / div; }

}  // namespace

std::string SandboxHost::WindowLabel(const EngineWindow& w) const {
  return LogQuote(w.title.empty() ? w.label : w.title);
}

bool SandboxHost::RegisterEngineWindowClass(const std::string& className) { return !className.empty(); }

void SandboxHost::ScreenSize(int& width, int& height) {
  auto num = [&](const char* key, int def) {
    std::string v = Fact("Screen", key);
    return v.empty() ? def : int(std::strtol(v.c_str(), nullptr, 10));
  };
  width = num("Width", 1024);
  height = num("Height", 768);
}

HandleValue SandboxHost::LoadPictureFile(const std::string& path, int& width, int& height) {
  std::string native = NativePath(path), bytes;
  int w = 0, h = 0;
  if (native.empty() || !NativeReadFile(native, bytes) || !ParseBitmap(bytes, w, h)) return 0;
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  HandleValue picture = nextEngineHandle_++;
  pictures_[picture] = {w, h};
  width = w;
  height = h;
  return picture;
}

void SandboxHost::DeletePicture(HandleValue picture) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  pictures_.erase(picture);
}

WindowHandle SandboxHost::CreatePictureWindow(const std::string& className, const std::string& title,
                                              WindowHandle owner, const Rect& bounds, HandleValue picture,
                                              bool noErase) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  if (className.empty() || !pictures_.count(picture)) return 0;
  EngineWindow w;
  w.className = className;
  w.title = w.label = title;
  w.owner = owner;
  w.bounds = bounds;
  WindowHandle handle = nextEngineHandle_++;
  engineWindows_[handle] = w;
  RunLog("window", Format("create %s class %s at (%d,%d) size %dx%d", WindowLabel(w).c_str(), className.c_str(),
                          bounds.left, bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top));
  return handle;
}

WindowHandle SandboxHost::CreateProgressBar(WindowHandle parent, const Rect& bounds, uint32_t barColour,
                                            uint32_t backColour) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto p = engineWindows_.find(parent);
  if (p == engineWindows_.end()) return 0;
  EngineWindow w;
  w.className = "MSCTLS_PROGRESS32";
  w.label = "progress bar";
  w.parent = parent;
  w.visible = true;
  // Child coordinates are the parent's client area; the bounds kept are
  // those of the screen, as GetWindowRect gives them.
  w.bounds = {p->second.bounds.left + bounds.left, p->second.bounds.top + bounds.top,
              p->second.bounds.left + bounds.right, p->second.bounds.top + bounds.bottom};
  WindowHandle handle = nextEngineHandle_++;
  engineWindows_[handle] = w;
  RunLog("window", Format("progress bar in %s at (%d,%d) size %dx%d colours %06X on %06X",
                          WindowLabel(p->second).c_str(), bounds.left, bounds.top, bounds.right - bounds.left,
                          bounds.bottom - bounds.top, unsigned(barColour), unsigned(backColour)));
  return handle;
}

WindowHandle SandboxHost::CreateResourceDialog(const std::string& name, WindowHandle owner) {
  const DialogTemplate* t = nullptr;
  for (const auto& d : kDialogs)
    if (SameText(d.name, name)) t = &d;
  if (!t) {
    Fail(1812);  // ERROR_RESOURCE_NAME_NOT_FOUND
    return 0;
  }
  Rect work;
  WorkArea(work);
  int width = DluToPixels(t->width, kBaseX, 4) + 2 * kFrame;
  int height = DluToPixels(t->height, kBaseY, 8) + 2 * kFrame + kCaption;
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  EngineWindow w;
  w.className = "#32770";
  w.label = t->name;
  w.owner = owner;
  // DS_CENTER: centred in the work area.
  int left = work.left + (work.right - work.left - width) / 2;
  int top = work.top + (work.bottom - work.top - height) / 2;
  w.bounds = {left, top, left + width, top + height};
  WindowHandle handle = nextEngineHandle_++;
  engineWindows_[handle] = w;
  int clientLeft = left + kFrame, clientTop = top + kFrame + kCaption;
  for (const DialogItemTemplate& i : t->items) {
    EngineWindow item;
    item.className = i.className;
    item.label = Format("%s item %d", t->name, i.id);
    item.parent = handle;
    item.id = i.id;
    item.visible = true;
    item.bounds.left = clientLeft + DluToPixels(i.x, kBaseX, 4);
    item.bounds.top = clientTop + DluToPixels(i.y, kBaseY, 8);
    item.bounds.right = item.bounds.left + DluToPixels(i.width, kBaseX, 4);
    item.bounds.bottom = item.bounds.top + DluToPixels(i.height, kBaseY, 8);
    engineWindows_[nextEngineHandle_++] = item;
  }
  RunLog("window", Format("create dialog %s at (%d,%d) size %dx%d", t->name, left, top, width, height));
  return handle;
}

WindowHandle SandboxHost::DialogItem(WindowHandle dialog, int id) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  for (const auto& [h, w] : engineWindows_)
    if (w.parent == dialog && w.id == id && dialog) return h;
  return 0;
}

void SandboxHost::SetProgressRange(WindowHandle bar, int low, int high, int step) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(bar);
  if (it == engineWindows_.end()) return;
  it->second.low = low;
  it->second.high = high;
  it->second.step = step;
}

void SandboxHost::SetProgressPosition(WindowHandle bar, int position) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(bar);
  if (it == engineWindows_.end()) return;
  EngineWindow& w = it->second;
  // The control keeps its position within its range.
  position = std::clamp(position, w.low, std::max(w.low, w.high));
  if (position == w.position) return;
  w.position = position;
  auto parent = engineWindows_.find(w.parent);
  if (parent != engineWindows_.end() && parent->second.visible)
    RunLog("window", Format("progress %s %d", WindowLabel(parent->second).c_str(), position));
}

int SandboxHost::ProgressPosition(WindowHandle bar) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(bar);
  return it == engineWindows_.end() ? -1 : it->second.position;
}

bool SandboxHost::SetWindowTitle(WindowHandle window, const std::string& title) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  if (it == engineWindows_.end()) return false;
  it->second.title = title;
  RunLog("window", Format("title of %s %s", LogQuote(it->second.label).c_str(), LogQuote(title).c_str()));
  return true;
}

bool SandboxHost::WindowBounds(WindowHandle window, Rect& bounds) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  if (it == engineWindows_.end()) return false;
  bounds = it->second.bounds;
  return true;
}

bool SandboxHost::MoveWindowTo(WindowHandle window, int left, int top) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  if (it == engineWindows_.end()) return false;
  int dx = left - it->second.bounds.left, dy = top - it->second.bounds.top;
  // Children move with their parent.
  for (auto& [h, w] : engineWindows_)
    if (h == window || w.parent == window) {
      w.bounds.left += dx;
      w.bounds.right += dx;
      w.bounds.top += dy;
      w.bounds.bottom += dy;
    }
  RunLog("window", Format("move %s to (%d,%d)", WindowLabel(it->second).c_str(), left, top));
  return true;
}

void SandboxHost::ShowAndUpdateWindow(WindowHandle window) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  if (it == engineWindows_.end()) return;
  EngineWindow& w = it->second;
  w.visible = true;
  std::string text = Format("show %s at (%d,%d) size %dx%d", WindowLabel(w).c_str(), w.bounds.left, w.bounds.top,
                            w.bounds.right - w.bounds.left, w.bounds.bottom - w.bounds.top);
  text += w.alpha < 0 ? " opaque" : Format(" alpha %d", w.alpha);
  if (w.regionRects >= 0) text += Format(" region of %d rectangles", w.regionRects);
  RunLog("window", text);
}

bool SandboxHost::WindowVisible(WindowHandle window) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  return it != engineWindows_.end() && it->second.visible;
}

bool SandboxHost::SetWindowRegionData(WindowHandle window, const std::string& regionData) {
  // RGNDATAHEADER: dwSize 32, iType 1 (rectangles), nCount, nRgnSize,
  // bounding rectangle; then nCount rectangles of 16 bytes.
  if (regionData.size() < 32 || Le32(regionData, 0) != 32 || Le32(regionData, 4) != 1) return false;
  uint32_t count = Le32(regionData, 8);
  if (count > (regionData.size() - 32) / 16) return false;
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  if (it == engineWindows_.end()) return false;
  it->second.regionRects = int(count);
  return true;
}

bool SandboxHost::LayeredWindowsAvailable() {
  // user32 of Windows 2000 and later has SetLayeredWindowAttributes;
  // [Machine] LayeredWindows=0/1 overrides.
  std::string fact = Fact("Machine", "LayeredWindows");
  if (!fact.empty()) return fact != "0";
  VersionFacts v = Version();
  return v.platform == kPlatformNT && v.major >= 5;
}

bool SandboxHost::SetWindowAlpha(WindowHandle window, uint8_t alpha) {
  if (!LayeredWindowsAvailable()) return false;
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  if (it == engineWindows_.end()) return false;
  it->second.alpha = alpha;
  return true;
}

void SandboxHost::DestroyWindow(WindowHandle window) {
  if (window == 1) {
    std::lock_guard<std::mutex> lock(windowLock_);
    mainWindow_ = false;
    return;
  }
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  if (it == engineWindows_.end()) return;
  RunLog("window", "destroy " + WindowLabel(it->second));
  for (auto c = engineWindows_.begin(); c != engineWindows_.end();)
    c = c->second.parent == window ? engineWindows_.erase(c) : std::next(c);
  engineWindows_.erase(window);
}

// The engine's top-level windows (not their controls), after the machine's
// other programs' windows.
std::vector<WindowHandle> SandboxHost::EngineTopLevelWindows() {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  std::vector<WindowHandle> list;
  for (const auto& [h, w] : engineWindows_)
    if (!w.parent) list.push_back(h);
  return list;
}

std::string SandboxHost::EngineWindowTitle(WindowHandle window, bool& found) {
  std::lock_guard<std::mutex> lock(engineWindowLock_);
  auto it = engineWindows_.find(window);
  found = it != engineWindows_.end();
  return found ? it->second.title : std::string();
}

// --- Windows and message boxes ------------------------------------------------------

WindowHandle SandboxHost::CreateMainWindow(const std::string& className) {
  std::lock_guard<std::mutex> lock(windowLock_);
  windowThread_ = std::this_thread::get_id();
  mainWindow_ = true;
  return 1;
}
WindowHandle SandboxHost::LastActivePopup(WindowHandle window) { return window; }

int SandboxHost::ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                            uint32_t flags) {
  // Nobody can click here: show the box on standard error and take its
  // default button.
  int answer = DefaultButton(flags);
  std::fprintf(stderr, "[%s] %s -> %s\n", caption.c_str(), text.c_str(), ButtonName(answer).c_str());
  return answer;
}

// --- Messages to the main window ---------------------------------------------------
// The sandbox has no window system. A message to the main window from its
// own thread runs the handler at once; from another thread it is queued and
// the sender waits until the owning thread takes it in DispatchOneMessage,
// which is what SendMessage does across threads on Windows.

void SandboxHost::SetMainWindowHandler(WindowMessageHandler handler) {
  std::lock_guard<std::mutex> lock(windowLock_);
  windowHandler_ = std::move(handler);
}

intptr_t SandboxHost::HandleWindowMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  WindowMessageHandler handler;
  {
    std::lock_guard<std::mutex> lock(windowLock_);
    handler = windowHandler_;
  }
  intptr_t result = 0;
  if (handler && handler(message, wParam, lParam, result)) return result;
  return 0;
}

intptr_t SandboxHost::SendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  if (window != 1) return 0;
  HoldIfSuspendedWorker();
  std::unique_lock<std::mutex> lock(windowLock_);
  if (std::this_thread::get_id() == windowThread_) {
    lock.unlock();
    return HandleWindowMessage(message, wParam, lParam);
  }
  if (windowClosing_) return 0;  // nobody will dispatch it any more
  PendingCall call{message, wParam, lParam};
  windowQueue_.push_back(&call);
  windowWake_.notify_all();
  windowDone_.wait(lock, [&] { return call.done; });
  return call.result;
}

int SandboxHost::DispatchOneMessage() {
  PendingCall* call = nullptr;
  {
    std::lock_guard<std::mutex> lock(windowLock_);
    if (std::this_thread::get_id() != windowThread_ || windowQueue_.empty()) return 0;
    call = windowQueue_.front();
    windowQueue_.pop_front();
  }
  intptr_t result = HandleWindowMessage(call->message, call->wParam, call->lParam);
  {
    std::lock_guard<std::mutex> lock(windowLock_);
    call->result = result;
    call->done = true;
  }
  windowDone_.notify_all();
  return 1;
}

uint32_t SandboxHost::CurrentThreadId() {
  return uint32_t(std::hash<std::thread::id>()(std::this_thread::get_id()) & 0x7FFFFFFF) | 1;
}

// --- Windows ----------------------------------------------------------------------------------
// The machine's other programs show the windows listed under [Windows].

std::vector<WindowHandle> SandboxHost::TopLevelWindows() {
  std::vector<WindowHandle> list;
  auto s = facts_.find("WINDOWS");
  if (s != facts_.end())
    for (size_t i = 0; i < s->second.size(); ++i) list.push_back(WindowHandle(0x10000 + i));
  {
    // The engine's hidden main window has no title.
    std::lock_guard<std::mutex> lock(windowLock_);
    if (mainWindow_) list.push_back(1);
  }
  for (WindowHandle engine : EngineTopLevelWindows()) list.push_back(engine);
  return list;
}

std::string SandboxHost::WindowTitle(WindowHandle window) {
  bool engine = false;
  std::string title = EngineWindowTitle(window, engine);
  if (engine) return title;
  auto s = facts_.find("WINDOWS");
  if (s == facts_.end() || window < 0x10000) return "";
  size_t index = window - 0x10000;
  if (index >= s->second.size()) return "";
  auto it = s->second.begin();
  std::advance(it, index);
  return it->second;
}

bool SandboxHost::WorkArea(Rect& area) {
  auto num = [&](const char* key, int def) {
    std::string v = Fact("WorkArea", key);
    return v.empty() ? def : int(std::strtol(v.c_str(), nullptr, 10));
  };
  area.left = num("Left", 0);
  area.top = num("Top", 0);
  area.right = num("Right", 1024);
  area.bottom = num("Bottom", 738);
  return true;
}

}  // namespace vx
