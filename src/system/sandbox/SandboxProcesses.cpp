// SandboxHost, processes: programs of the machine run as the host's
// programs, named mutexes as lock files, plug-in "DLLs" as native shared
// objects.
#include "system/sandbox/SandboxHost.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
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
#include <map>
#include <thread>

#include "system/RunLog.h"
#include "system/kqStrUtils.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

// The Windows rules for splitting a command line into arguments: blanks
// separate, double quotes group (and are removed).
std::vector<std::string> SplitProgramArguments(const std::string& line) {
  std::vector<std::string> args;
  std::string cur;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) args.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += c;
      any = true;
    }
  }
  if (any) args.push_back(cur);
  return args;
}

}  // namespace

// --- Mutexes ----------------------------------------------------------------------
// A named mutex is a lock file under <root>/mutex/ held with flock, so that
// two engine processes on the same machine see each other; machine.ini may
// list names under [Mutexes] that "another program" holds.

HandleValue SandboxHost::CreateNamedMutex(const std::string& name, bool& existed) {
  std::lock_guard<std::mutex> lock(mutexLock_);
  existed = !Fact("Mutexes", name).empty();
  for (auto& [h, m] : mutexes_)
    if (SameText(m.first, name)) existed = true;
  std::string file;
  for (char c : UpperCase(name)) file += std::isalnum((unsigned char)c) ? c : '_';
  NativeMakeDirs(root_ + "/mutex");
  int fd = ::open((root_ + "/mutex/" + file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) == 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) existed = true;
  if (fd >= 0) ::flock(fd, LOCK_SH | LOCK_NB);
  HandleValue h = nextHandle_++;
  mutexes_[h] = {name, fd};
  t_lastError = existed ? uint32_t(kErrorAlreadyExists) : 0u;
  return h;
}

void SandboxHost::CloseHandle(HandleValue handle) {
  if (ReleaseWorker(handle)) return;
  std::lock_guard<std::mutex> lock(mutexLock_);
  if (auto p = processes_.find(handle); p != processes_.end()) {
    // The process runs on; reap it now if it has already ended.
    if (!p->second.done && p->second.pid > 0) ::waitpid(p->second.pid, nullptr, WNOHANG);
    processes_.erase(p);
    return;
  }
  auto it = mutexes_.find(handle);
  if (it == mutexes_.end()) return;
  if (it->second.second >= 0) ::close(it->second.second);
  mutexes_.erase(it);
}

// --- Processes -----------------------------------------------------------------------------
// A program of the machine runs as the host's program for its mapped path:
// a [Programs] entry of machine.ini (a shell command), else the native file
// itself when it is executable. "command.com /c" and "cmd /c" with ren and
// del are carried out by the machine itself.

HandleValue SandboxHost::TrackProcess(const Process& process) {
  std::lock_guard<std::mutex> lock(mutexLock_);
  HandleValue h = nextHandle_++;
  processes_[h] = process;
  return h;
}

HandleValue SandboxHost::FinishedProcess(uint32_t code) {
  Process p;
  p.done = true;
  p.exitCode = code;
  return TrackProcess(p);
}

bool SandboxHost::RunBuiltin(const std::vector<std::string>& args, uint32_t& code) {
  std::string prog = LowerCase(ExtractFileName(args[0]));
  if (prog != "command.com" && prog != "command" && prog != "cmd.exe" && prog != "cmd") return false;
  if (args.size() < 3 || !SameText(args[1], "/c")) return false;
  std::string verb = LowerCase(args[2]);
  if (verb == "exit") {
    code = args.size() > 3 ? uint32_t(std::strtoul(args[3].c_str(), nullptr, 10)) : 0;
    return true;
  }
  if ((verb == "ren" || verb == "rename") && args.size() == 5) {
    std::string target = ExtractFilePath(args[3]) + args[4];
    code = RenameFile(args[3], target) ? 0 : 1;
    return true;
  }
  if ((verb == "del" || verb == "erase") && args.size() == 4) {
    code = RemoveFile(args[3]) ? 0 : 1;
    return true;
  }
  return false;
}

// --- Batch files ------------------------------------------------------------------------
// The machine carries out the batch files the engine writes itself (the
// self-delete batch: a "del" retried until the file is gone, "rd", the
// batch deleting itself) as Windows' command interpreter would: the batch
// becomes a shell script with the machine's paths resolved when it starts,
// a program counter standing for the labels. A loop that jumps back waits
// a little each round and ends after about a minute, so that a batch
// waiting for a file another program holds cannot spin forever.

namespace {

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The words of a batch line: blanks separate, double quotes group.
std::vector<std::string> BatchWords(const std::string& line) { return SplitProgramArguments(line); }

}  // namespace

bool SandboxHost::TranslateBatch(const std::string& text, const std::string& folder, std::string& script,
                                 std::string& error) {
  struct Line {
    std::string sh;  // the statement; "" for none
    std::string jump;  // a label to go to ("" none)
    bool conditional = false;
  };
  std::vector<Line> lines;
  std::map<std::string, size_t> labels;
  auto native = [&](const std::string& path) {
    std::string p = RemoveQuotes(path);
    bool absolute = (p.size() >= 2 && p[1] == ':') || StartsWithText(p, "\\\\");
    if (!absolute) p = IncludeTrailingBackslash(folder) + p;
    Resolved r = Resolve(p);
    return r.ok ? r.native : std::string();
  };
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string raw = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (!raw.empty() && raw[0] == '@') raw = Trim(raw.substr(1));
    if (raw.empty() || StartsWithText(raw, "::")) continue;
    if (raw[0] == ':') {
      labels[UpperCase(Trim(raw.substr(1)))] = lines.size();
      continue;
    }
    std::vector<std::string> w = BatchWords(raw);
    std::string verb = LowerCase(w[0]);
    Line l;
    bool negate = false;
    if (verb == "if" && w.size() >= 2 && LowerCase(w[1]) == "not") {
      negate = true;
      w.erase(w.begin() + 1);
    }
    if (verb == "rem" || verb == "echo" || verb == "echo.") {
      // Nothing a person would see: the batch runs hidden.
    } else if ((verb == "del" || verb == "erase") && w.size() == 2) {
      std::string n = native(w[1]);
      l.sh = n.empty() ? ":" : InUse(n) ? "false" : "rm -f -- " + ShellQuote(n);
    } else if ((verb == "rd" || verb == "rmdir") && w.size() == 2) {
      std::string n = native(w[1]);
      l.sh = n.empty() ? ":" : "rmdir -- " + ShellQuote(n) + " 2>/dev/null";
    } else if (verb == "if" && w.size() == 5 && LowerCase(w[1]) == "exist" && LowerCase(w[3]) == "goto") {
      std::string n = native(w[2]);
      l.sh = n.empty() ? (negate ? "true" : "false") : std::string(negate ? "[ ! -e " : "[ -e ") + ShellQuote(n) + " ]";
      l.jump = UpperCase(w[4]);
      l.conditional = true;
    } else if (verb == "goto" && w.size() == 2) {
      l.jump = UpperCase(w[1]);
    } else if (verb == "exit") {
      size_t at = w.size() >= 2 && LowerCase(w[1]) == "/b" ? 2 : 1;
      int32_t code = 0;
      if (w.size() > at) ParseDecimal32(w[at], code);
      l.sh = Format("exit %d", int(code));
    } else {
      error = "the machine cannot carry out the batch line " + LogQuote(raw);
      return false;
    }
    lines.push_back(l);
  }
  script = "pc=0; back=0\nwhile :; do\n  case $pc in\n";
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& l = lines[i];
    std::string next = std::to_string(i + 1);
    script += "  " + std::to_string(i) + ")\n";
    if (!l.jump.empty()) {
      auto target = labels.find(l.jump.substr(0, 1) == ":" ? l.jump.substr(1) : l.jump);
      if (target == labels.end()) {
        error = "the batch has no label " + LogQuote(l.jump);
        return false;
      }
      std::string go = std::to_string(target->second);
      std::string wait = target->second <= i
                             ? "back=$((back+1)); [ $back -gt 1200 ] && exit 1; sleep 0.05; "
                             : "";
      if (l.conditional)
        script += "    if " + l.sh + "; then " + wait + "pc=" + go + "; else pc=" + next + "; fi ;;\n";
      else
        script += "    " + wait + "pc=" + go + " ;;\n";
    } else {
      script += "    " + (l.sh.empty() ? std::string(":") : l.sh) + "; pc=" + next + " ;;\n";
    }
  }
  script += "  *) exit 0 ;;\n  esac\ndone\n";
  return true;
}

HandleValue SandboxHost::RunBatch(const std::string& batch, const std::string& folder) {
  std::string text;
  Resolved r = Resolve(batch);
  if (!r.ok || !NativeReadFile(r.native, text)) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  std::string script, error;
  if (!TranslateBatch(text, folder.empty() ? currentFolder_ : folder, script, error)) {
    RunLog("process", "refused " + LogQuote(batch) + ": " + error);
    Fail(kErrorNotSupported);
    return 0;
  }
  std::string cwd = NativePath(folder.empty() ? currentFolder_ : folder);
  if (cwd.empty() || !NativeIsDir(cwd)) {
    Fail(kErrorPathNotFound);
    return 0;
  }
  // Natively a running program's file can be deleted, so the batch that
  // waits for its caller to end is done at once: the machine lets it finish
  // before the caller goes on (within two seconds; a batch still waiting
  // after that runs on beside it), so that what it removes is gone when
  // the caller ends.
  HandleValue process = SpawnProcess({"/bin/sh", "-c", script, "sh"}, cwd);
  if (process) WaitForProcess(process, 2000);
  return process;
}

// Windows runs a file as a program by what it holds, not by an execute
// bit, which files copied onto the machine do not carry: a native program
// of the machine's own kind (an ELF image, or a script starting with "#!")
// is given the bit when it is started.
bool SandboxHost::MakeRunnable(const std::string& native) {
  std::string head(4, '\0');
  int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = ::read(fd, head.data(), head.size());
  ::close(fd);
  bool program = (n == 4 && head.compare(0, 4, "\x7f" "ELF") == 0) || (n >= 2 && head.compare(0, 2, "#!") == 0);
  struct stat st;
  if (!program || ::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  Resolved r = Resolve(WindowsPath(native));
  if (!r.ok || !Writable(r)) return false;
  return ::chmod(native.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH) == 0 && ::access(native.c_str(), X_OK) == 0;
}

std::string SandboxHost::ProgramCommand(const std::string& key) {
  auto s = facts_.find("PROGRAMS");
  if (s == facts_.end()) return "";
  auto it = s->second.find(UpperCase(key));
  return it == s->second.end() ? "" : it->second;
}

namespace {

// Runs `argv` (argv[0] the program) in `cwd` with the machine named in the
// environment. Returns the pid or -1.
int Spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& machineRoot) {
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "VX_MACHINE=", 11) != 0) envStore.emplace_back(*e);
  envStore.push_back("VX_MACHINE=" + machineRoot);
  std::vector<char*> envp, args;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStore = argv;
  for (auto& s : argStore) args.push_back(s.data());
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return pid < 0 ? -1 : int(pid);
}

}  // namespace

HandleValue SandboxHost::SpawnProcess(const std::vector<std::string>& argv, const std::string& nativeFolder) {
  Process p;
  p.pid = Spawn(argv, nativeFolder, root_);
  if (p.pid < 0) {
    Fail(kErrorNotEnoughMemory);
    return 0;
  }
  return TrackProcess(p);
}

HandleValue SandboxHost::StartProcess(const std::string& commandLine, const std::string& folder, int showCmd,
                                      uint32_t creationFlags) {
  std::vector<std::string> args = SplitProgramArguments(commandLine);
  if (args.empty()) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  RunLog("process", "start " + LogQuote(commandLine));
  uint32_t code = 0;
  if (RunBuiltin(args, code)) return FinishedProcess(code);
  // "cmd /c <batch file>": the machine is the command interpreter.
  if (args.size() >= 3 && SameText(args[1], "/c")) {
    std::string interpreter = LowerCase(ExtractFileName(args[0]));
    std::string ext = LowerCase(ExtractFileExt(args[2]));
    if ((interpreter == "cmd" || interpreter == "cmd.exe" || interpreter == "command" ||
         interpreter == "command.com") &&
        (ext == ".bat" || ext == ".cmd"))
      return RunBatch(FullPath(args[2]), folder);
  }
  // Find the program as CreateProcess does: a bare name in the program's
  // own folder, the current folder, the system and Windows folders and the
  // folders of PATH, ".exe" added when it has no extension.
  std::string prog = args[0];
  std::vector<std::string> candidates;
  std::string name = ExtractFileExt(prog).empty() ? prog + ".exe" : prog;
  if (ExtractFilePath(prog).empty()) {
    std::vector<std::string> dirs = {ExtractFileDir(ExecutablePath()), folder.empty() ? currentFolder_ : folder,
                                     SystemFolder(), WindowsFolder()};
    if (auto path = GetEnv("PATH")) {
      std::string expanded;
      if (!ExpandEnvStrings(*path, expanded)) expanded = *path;
      for (const std::string& d : SplitString(expanded, ';'))
        if (!Trim(d).empty()) dirs.push_back(Trim(d));
    }
    for (const std::string& dir : dirs)
      if (!dir.empty()) candidates.push_back(IncludeTrailingBackslash(dir) + name);
  } else {
    candidates.push_back(FullPath(prog));
    if (name != prog) candidates.push_back(FullPath(name));
  }
  std::string winPath;
  for (const std::string& c : candidates) {
    Resolved r = Resolve(c);
    struct stat st;
    if (r.ok && ::stat(r.native.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      winPath = c;
      break;
    }
  }
  std::string command = ProgramCommand(winPath.empty() ? ExtractFileName(name) : winPath);
  if (command.empty()) command = ProgramCommand(ExtractFileName(name));
  if (winPath.empty() && command.empty()) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  std::string cwd = NativePath(folder.empty() ? currentFolder_ : folder);
  if (cwd.empty() || !NativeIsDir(cwd)) {
    Fail(kErrorPathNotFound);
    return 0;
  }
  std::vector<std::string> argv;
  std::string ext = LowerCase(ExtractFileExt(winPath));
  if (command.empty() && (ext == ".bat" || ext == ".cmd")) return RunBatch(winPath, folder);
  if (!command.empty()) {
    argv = {"/bin/sh", "-c", command, "sh"};
  } else {
    std::string native = NativePath(winPath);
    if (::access(native.c_str(), X_OK) != 0 && !MakeRunnable(native)) {
      Fail(kErrorBadExeFormat);
      return 0;
    }
    argv = {native};
  }
  argv.insert(argv.end(), args.begin() + 1, args.end());
  return SpawnProcess(argv, cwd);
}

HandleValue SandboxHost::ShellOpen(WindowHandle owner, const std::string& file, const std::string& params,
                                   const std::string& folder, int showCmd) {
  std::string path = RemoveQuotes(file);
  Resolved r = Resolve(path);
  if (!r.ok || !NativeExists(r.native)) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  std::string ext = LowerCase(ExtractFileExt(path));
  if (ext == ".exe" || ext == ".com" || ext == ".bat" || ext == ".pif")
    return StartProcess("\"" + path + "\" " + params, folder, showCmd, 0);
  std::string command = ProgramCommand(ext);
  if (command.empty()) {
    Fail(kErrorNoAssociation);
    return 0;
  }
  std::vector<std::string> argv = {"/bin/sh", "-c", command, "sh", r.native};
  for (const std::string& a : SplitCommandLine(params)) argv.push_back(a);
  return SpawnProcess(argv, NativePath(folder.empty() ? currentFolder_ : folder));
}

uint32_t SandboxHost::WaitForProcess(HandleValue process, uint32_t milliseconds) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutexLock_);
      auto it = processes_.find(process);
      if (it == processes_.end()) return kWaitFailed;
      Process& p = it->second;
      if (p.done) return kWaitObject0;
      int status = 0;
      pid_t r = ::waitpid(p.pid, &status, WNOHANG);
      if (r == p.pid) {
        p.done = true;
        p.exitCode = WIFEXITED(status) ? uint32_t(WEXITSTATUS(status)) : 0xC000013Au;
        return kWaitObject0;
      }
      if (r < 0) return kWaitFailed;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (milliseconds != 0xFFFFFFFFu && elapsed.count() >= milliseconds) return kWaitTimeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool SandboxHost::ProcessExitCode(HandleValue process, uint32_t& code) {
  WaitForProcess(process, 0);
  std::lock_guard<std::mutex> lock(mutexLock_);
  auto it = processes_.find(process);
  if (it == processes_.end()) return Fail(kErrorInvalidHandle);
  code = it->second.done ? it->second.exitCode : 259;  // STILL_ACTIVE
  return true;
}

// --- Libraries --------------------------------------------------------------------
// A plug-in "DLL" in the sandbox is a native shared object stored in the
// machine under its Windows name.

namespace {

// Whether a native file is a shared object this process can map: an ELF
// image of its own class and machine whose loadable segments all lie within
// the file. The dynamic loader maps segments without comparing them with
// the file's length, and touching a page beyond the end of a truncated copy
// would kill the process.
bool LoadableSharedObject(const std::string& native) {
  std::string image;
  if (!NativeReadFile(native, image) || image.size() < sizeof(ElfW(Ehdr))) return false;
  ElfW(Ehdr) eh;
  std::memcpy(&eh, image.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32))
    return false;
#if defined(__x86_64__)
  if (eh.e_machine != EM_X86_64) return false;
#elif defined(__i386__)
  if (eh.e_machine != EM_386) return false;
#elif defined(__aarch64__)
  if (eh.e_machine != EM_AARCH64) return false;
#endif
  if (eh.e_type != ET_DYN || eh.e_phentsize != sizeof(ElfW(Phdr)) || eh.e_phnum == 0) return false;
  if (uint64_t(eh.e_phoff) + uint64_t(eh.e_phnum) * sizeof(ElfW(Phdr)) > image.size()) return false;
  for (size_t i = 0; i < eh.e_phnum; ++i) {
    ElfW(Phdr) ph;
    std::memcpy(&ph, image.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
    if (ph.p_type == PT_LOAD && uint64_t(ph.p_offset) + ph.p_filesz > image.size()) return false;
  }
  return true;
}

}  // namespace

ModuleHandle SandboxHost::LoadModule(const std::string& path) {
  std::string native = NativePath(path);
  struct stat st;
  if (native.empty() || ::stat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    Fail(kErrorFileNotFound);
    return 0;
  }
  if (!LoadableSharedObject(native)) {
    Fail(kErrorBadExeFormat);
    return 0;
  }
  void* module = ::dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    Fail(kErrorBadExeFormat);
    return 0;
  }
  return reinterpret_cast<ModuleHandle>(module);
}

void* SandboxHost::ModuleProc(ModuleHandle module, const std::string& name) {
  return module ? ::dlsym(reinterpret_cast<void*>(module), name.c_str()) : nullptr;
}

void SandboxHost::UnloadModule(ModuleHandle module) {
  if (module) ::dlclose(reinterpret_cast<void*>(module));
}

// The sandbox has no icons; a distinct handle per size stands for them.
HandleValue SandboxHost::LoadEngineIcon(bool small) { return small ? 0x1610 : 0x3220; }

}  // namespace vx
