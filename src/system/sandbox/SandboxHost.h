// SandboxHost: one Windows machine emulated inside a folder (the machine
// root), so that the engine runs natively for tests and previews.
//
//   <root>/machine.ini   facts: OS version, folders, environment, drives...
//   <root>/drive_c/      drive C: (other drive_<letter> folders likewise)
//   <root>/HKLM.reg ...  registry hives as REGEDIT4 text
//
// Windows paths are resolved case-insensitively against what exists, as
// Windows does. Drive Z: maps the real file system's root, as under Wine,
// so that a setup file started from anywhere can be read; it is read-only
// unless the machine is opened with `hostWritable` (tools that work on the
// user's files), so a sandboxed run never changes files outside its root.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "system/host.h"

namespace vx {

enum class MachineKind { XP, W2000, NT4, W98, W95, Me };

struct SandboxOptions {
  bool hostWritable = false;       // drive Z: may be written
  std::string executable;          // native path of "the running program"; "" = this process
};

class SandboxHost : public Host {
 public:
  // Opens the machine at `root`, creating a fresh one (Windows XP) when the
  // folder holds no machine yet.
  explicit SandboxHost(const std::string& root, SandboxOptions options = {});
  ~SandboxHost() override;

  // The machine root chosen by VX_MACHINE, else "$HOME/.vxmachine".
  static std::string DefaultRoot();
  // Lays out a fresh machine of the given kind in `root` (which must not
  // hold one yet). False when the folder cannot be written.
  static bool InitMachine(const std::string& root, MachineKind kind);
  static bool ParseMachineKind(const std::string& text, MachineKind& kind);

  const std::string& Root() const { return root_; }
  // The native path a Windows path maps to ("" when it maps nowhere).
  std::string NativePath(const std::string& windowsPath);
  // The Windows path of a native path (through the drive that holds it).
  std::string WindowsPath(const std::string& nativePath);
  // A fact from machine.ini ("" when missing).
  std::string Fact(const std::string& section, const std::string& key) const;

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

 private:
  struct Drive {
    std::string base;  // native folder, no trailing slash ("" for "/")
    bool writable = true;
  };
  struct Resolved {
    bool ok = false;
    std::string native;
    char drive = 0;
  };

  void LoadFacts();
  std::string Normalize(const std::string& path, bool& ok);
  Resolved Resolve(const std::string& path);
  bool Writable(const Resolved& r);
  bool Fail(uint32_t error);

  std::string root_;
  SandboxOptions options_;
  std::map<std::string, std::map<std::string, std::string>> facts_;  // upper-cased keys
  std::map<char, Drive> drives_;
  std::string currentFolder_;
  std::mutex mutexLock_;
  std::map<HandleValue, std::pair<std::string, int>> mutexes_;  // handle -> (name, lock fd)
  HandleValue nextHandle_ = 0x100;
};

// Embedded resources of the native engine (the counterpart of RCDATA).
void RegisterEmbeddedResource(const std::string& name, const unsigned char* data, size_t size);
void UnregisterEmbeddedResource(const std::string& name);

}  // namespace vx
