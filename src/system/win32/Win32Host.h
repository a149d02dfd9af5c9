// Win32Host: the Host seam over the real Windows API. This is the product;
// it is tested under Wine.
#pragma once

#include "system/host.h"

namespace vx {

class Win32Host : public Host {
 public:
  Win32Host();
  ~Win32Host() override;

  uint32_t GetAttributes(const std::string& path) override;
  bool SetAttributes(const std::string& path, uint32_t attributes) override;
  bool MakeFolder(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  bool RenameFile(const std::string& from, const std::string& to) override;
  bool ListFolder(const std::string& folder, const std::string& pattern, std::vector<FindEntry>& entries,
                  uint32_t& error) override;
  std::unique_ptr<HostFile> OpenFile(const std::string& path, FileAccess access, FileCreate create,
                                     uint32_t share) override;
  std::string CurrentFolder() override;
  bool SetCurrentFolder(const std::string& path) override;
  std::string FullPath(const std::string& path) override;

  std::string ExecutablePath() override;
  std::optional<std::string> GetEnv(const std::string& name) override;
  std::string PlatformTempPath() override;
  std::string WindowsFolder() override;
  std::string SystemFolder() override;
  SystemTime LocalTime() override;
  uint32_t TickCount() override;
  void SleepMs(uint32_t ms) override;
  VersionFacts Version() override;
  uint32_t LastError() override;

  bool LoadDataResource(const std::string& name, std::string& bytes) override;

  HandleValue CreateNamedMutex(const std::string& name, bool& existed) override;
  void CloseHandle(HandleValue handle) override;

  WindowHandle CreateMainWindow(const std::string& className) override;
  void DestroyWindow(WindowHandle window) override;
  WindowHandle LastActivePopup(WindowHandle window) override;
  int ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption,
                 uint32_t flags) override;
};

}  // namespace vx
