// Shell links through the shell's own link object (CLSID_ShellLink with
// IShellLinkA and IPersistFile), and the shell's change notification.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>
#include <vector>

#include "system/win32/Win32Host.h"

namespace vx {

namespace {

// An interface pointer released with the block that holds it.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (p_) p_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  void** out() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

bool CreateShellLink(ComRef<IShellLinkA>& link) {
  return SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.out()));
}

// The path in the form IPersistFile takes; empty when it cannot be converted.
std::wstring WidePath(const std::string& path) {
  int n = ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], n);
  wide.resize(size_t(n - 1));
  return wide;
}

// A getter's text: the buffer up to its first zero.
std::string Text(const std::vector<char>& buffer) { return std::string(buffer.data()); }

// Room for the longest text the getters give (INFOTIPSIZE for the
// description, far more than MAX_PATH for the arguments).
constexpr int kTextRoom = 4096;

}  // namespace

bool Win32Host::InitializeCom() { return SUCCEEDED(::CoInitialize(nullptr)); }

void Win32Host::UninitializeCom() { ::CoUninitialize(); }

bool Win32Host::SaveShellLink(const std::string& path, const ShellLinkData& data) {
  ComRef<IShellLinkA> link;
  if (!CreateShellLink(link)) return false;
  // In this order; the first call that fails ends the save.
  if (FAILED(link->SetPath(data.target.c_str())) || FAILED(link->SetArguments(data.arguments.c_str())) ||
      FAILED(link->SetWorkingDirectory(data.workingFolder.c_str())) || FAILED(link->SetShowCmd(data.showCmd)) ||
      FAILED(link->SetHotkey(WORD(data.hotkey))) || FAILED(link->SetDescription(data.description.c_str())) ||
      FAILED(link->SetIconLocation(data.iconFile.c_str(), data.iconIndex)))
    return false;
  ComRef<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.out()))) return false;
  std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  return SUCCEEDED(file->Save(wide.c_str(), FALSE));
}

bool Win32Host::LoadShellLink(const std::string& path, ShellLinkData& data) {
  ComRef<IShellLinkA> link;
  if (!CreateShellLink(link)) return false;
  ComRef<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.out()))) return false;
  std::wstring wide = WidePath(path);
  if (wide.empty() || FAILED(file->Load(wide.c_str(), STGM_READ))) return false;
  std::vector<char> buffer(kTextRoom, '\0');
  ShellLinkData out;
  // GetPath answers S_FALSE for a link without a path: the target is "".
  if (FAILED(link->GetPath(buffer.data(), MAX_PATH, nullptr, SLGP_RAWPATH))) return false;
  out.target = Text(buffer);
  buffer.assign(kTextRoom, '\0');
  if (FAILED(link->GetArguments(buffer.data(), kTextRoom))) return false;
  out.arguments = Text(buffer);
  buffer.assign(kTextRoom, '\0');
  if (FAILED(link->GetWorkingDirectory(buffer.data(), MAX_PATH))) return false;
  out.workingFolder = Text(buffer);
  buffer.assign(kTextRoom, '\0');
  if (FAILED(link->GetDescription(buffer.data(), kTextRoom))) return false;
  out.description = Text(buffer);
  buffer.assign(kTextRoom, '\0');
  int index = 0;
  if (FAILED(link->GetIconLocation(buffer.data(), MAX_PATH, &index))) return false;
  out.iconFile = Text(buffer);
  out.iconIndex = index;
  WORD hotkey = 0;
  if (FAILED(link->GetHotkey(&hotkey))) return false;
  out.hotkey = hotkey;
  int show = 0;
  if (FAILED(link->GetShowCmd(&show))) return false;
  out.showCmd = show;
  data = out;
  return true;
}

void Win32Host::NotifyShellItemChanged(const std::string& path) {
  ::SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHA | SHCNF_FLUSH, path.c_str(), nullptr);
}

}  // namespace vx
