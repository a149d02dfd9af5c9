// Registration of COM servers and type libraries: the server's own
// DllRegisterServer / DllUnregisterServer, a local server's /REGSERVER
// switch through WinExec, and the type-library functions of OLEAUT32.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>

#include "system/PeImage.h"
#include "system/kqFileUtils.h"
#include "system/win32/Win32Host.h"

namespace vx {

namespace {

using ServerEntryProc = HRESULT(STDAPICALLTYPE*)();
using UnRegisterTypeLibProc = HRESULT(STDAPICALLTYPE*)(REFGUID, WORD, WORD, LCID, SYSKIND);

// Whether the image is one this process can map: the loader is only handed
// files whose headers and sections are complete and of its own machine
// (DLL or program alike), so that a truncated or foreign file fails as
// ERROR_BAD_EXE_FORMAT without any of its code running.
bool LoadableImage(Host& host, const std::string& path) {
  auto file = host.OpenFile(path, FileAccess::Read, FileCreate::OpenExisting, kShareRead | kShareWrite | kShareDelete);
  if (!file) return false;
  PeImage image;
  if (!ReadPeImage(FileByteReader(*file), image)) return false;
  if (image.machine != OwnPeMachine() || image.pe32Plus != (image.machine == kPeMachineAmd64)) return false;
  return image.SectionsWithin(uint64_t(file->Size()));
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), w.data(), n);
  return w;
}

std::string Narrow(const wchar_t* text) {
  if (!text || !*text) return std::string();
  int n = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) ::WideCharToMultiByte(CP_ACP, 0, text, -1, s.data(), n, nullptr, nullptr);
  return s;
}

}  // namespace

ServerEntryCall Win32Host::CallServerEntry(const std::string& path, const std::string& probe,
                                           const std::string& entry, int32_t& hresult) {
  if (path.find_first_of("\\/:") != std::string::npos && !LoadableImage(*this, path)) {
    ::SetLastError(ERROR_BAD_EXE_FORMAT);
    return ServerEntryCall::NotLoaded;
  }
  // No "cannot find a DLL" box of the system: the caller reports the failure.
  UINT mode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = ::LoadLibraryA(path.c_str());
  ::SetErrorMode(mode);
  if (!module) return ServerEntryCall::NotLoaded;
  ServerEntryCall result = ServerEntryCall::NoExport;
  if (::GetProcAddress(module, probe.c_str())) {
    auto proc = reinterpret_cast<ServerEntryProc>(reinterpret_cast<void*>(::GetProcAddress(module, entry.c_str())));
    if (!proc) {
      result = ServerEntryCall::EntryMissing;
    } else {
      // Servers create COM objects while they register (type libraries,
      // categories); the thread gets COM for the call as regsvr32 gives it.
      HRESULT com = ::OleInitialize(nullptr);
      hresult = int32_t(proc());
      if (SUCCEEDED(com)) ::OleUninitialize();
      result = ServerEntryCall::Called;
    }
  }
  ::FreeLibrary(module);
  return result;
}

uint32_t Win32Host::WinExecCommand(const std::string& commandLine, int showCmd) {
  return ::WinExec(commandLine.c_str(), UINT(showCmd));
}

HandleValue Win32Host::LoadTypeLibrary(const std::string& path, int32_t& hresult) {
  ITypeLib* library = nullptr;
  std::wstring wide = Wide(path);
  HRESULT hr = ::LoadTypeLibEx(wide.c_str(), REGKIND_NONE, &library);
  hresult = int32_t(hr);
  if (FAILED(hr) || !library) return 0;
  return (HandleValue)library;
}

std::string Win32Host::TypeLibraryHelpFile(HandleValue library) {
  if (!library) return "";
  BSTR helpFile = nullptr;
  if (FAILED(reinterpret_cast<ITypeLib*>(library)->GetDocumentation(-1, nullptr, nullptr, nullptr, &helpFile)))
    return "";
  std::string text = Narrow(helpFile);
  ::SysFreeString(helpFile);
  return text;
}

int32_t Win32Host::RegisterTypeLibrary(HandleValue library, const std::string& path, const std::string& helpFolder) {
  if (!library) return int32_t(E_INVALIDARG);
  std::wstring widePath = Wide(path), wideHelp = Wide(helpFolder);
  return int32_t(::RegisterTypeLib(reinterpret_cast<ITypeLib*>(library), widePath.data(),
                                   helpFolder.empty() ? nullptr : wideHelp.data()));
}

int32_t Win32Host::UnregisterTypeLibrary(HandleValue library) {
  if (!library) return int32_t(E_INVALIDARG);
  HMODULE oleaut = ::GetModuleHandleA("OLEAUT32.DLL");
  if (!oleaut) oleaut = ::LoadLibraryA("OLEAUT32.DLL");
  auto unregister = oleaut ? reinterpret_cast<UnRegisterTypeLibProc>(
                                 reinterpret_cast<void*>(::GetProcAddress(oleaut, "UnRegisterTypeLib")))
                           : nullptr;
  if (!unregister) return int32_t(E_NOTIMPL);
  auto* typeLib = reinterpret_cast<ITypeLib*>(library);
  TLIBATTR* attributes = nullptr;
  HRESULT hr = typeLib->GetLibAttr(&attributes);
  if (FAILED(hr) || !attributes) return int32_t(hr);
  hr = unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                  attributes->syskind);
  typeLib->ReleaseTLibAttr(attributes);
  return int32_t(hr);
}

void Win32Host::ReleaseTypeLibrary(HandleValue library) {
  if (library) reinterpret_cast<ITypeLib*>(library)->Release();
}

}  // namespace vx
