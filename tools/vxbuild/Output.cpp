#include "Output.h"

#include <spawn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/FileDigest.h"

extern char** environ;

namespace fs = std::filesystem;

namespace vxbuild {

// --- OutputSet -----------------------------------------------------------------------------

OutputSet::~OutputSet() {
  for (auto& f : files_) {
    if (f->stream.is_open()) f->stream.close();
    std::error_code ec;
    if (!f->temporary.empty()) fs::remove(f->temporary, ec);
  }
}

OutputSet::File* OutputSet::Find(const fs::path& target) const {
  for (auto& f : files_)
    if (f->target == target) return f.get();
  return nullptr;
}

fs::path OutputSet::Temporary(const fs::path& target) const {
  File* f = Find(target);
  return f ? f->temporary : fs::path();
}

bool OutputSet::Open(const fs::path& target, bool executable, std::ofstream*& stream, std::string& error) {
  // Hidden and beside the target, so that the final rename stays within one
  // file system and nothing half-written ever has the target's name.
  std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".vxbuild-XXXXXX")).string();
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    error = "cannot write in the folder \"" + target.parent_path().string() + "\": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  auto f = std::make_unique<File>();
  f->target = target;
  f->temporary = pattern;
  f->executable = executable;
  f->stream.open(pattern, std::ios::binary | std::ios::trunc);
  File* raw = f.get();
  files_.push_back(std::move(f));
  if (!raw->stream) {
    error = "cannot write \"" + pattern + "\"";
    return false;
  }
  stream = &raw->stream;
  return true;
}

bool OutputSet::Close(const fs::path& target, std::string& error) {
  File* f = Find(target);
  if (!f) return false;
  f->stream.close();
  if (!f->stream) {
    error = "cannot write \"" + f->temporary.string() + "\" (disk full?)";
    return false;
  }
  return true;
}

bool OutputSet::Commit(std::string& error) {
  mode_t mask = ::umask(0);
  ::umask(mask);
  for (auto& f : files_) {
    if (f->stream.is_open()) f->stream.close();
    if (::chmod(f->temporary.c_str(), (f->executable ? 0755 : 0644) & ~mask) != 0) {
      error = "cannot set the mode of \"" + f->temporary.string() + "\": " + std::strerror(errno);
      return false;
    }
    int fd = ::open(f->temporary.c_str(), O_RDONLY);
    if (fd >= 0) {
      ::fsync(fd);
      ::close(fd);
    }
  }
  for (auto& f : files_) {
    std::error_code ec;
    fs::rename(f->temporary, f->target, ec);
    if (ec) {
      error = "cannot replace \"" + f->target.string() + "\": " + ec.message();
      return false;
    }
    f->temporary.clear();
  }
  return true;
}

// --- Progress ------------------------------------------------------------------------------

Progress::Progress() { enabled_ = ::isatty(STDOUT_FILENO) && ::isatty(STDERR_FILENO); }

void Progress::Start(const std::string& name) {
  name_ = name;
  start_ = last_ = std::chrono::steady_clock::now();
  shown_ = false;
}

void Progress::Update(uint64_t files, uint64_t bytes) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(250)) return;
  last_ = now;
  Show(files, bytes);
}

void Progress::Show(uint64_t files, uint64_t bytes) {
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  double mb = double(bytes) / 1e6;
  std::fprintf(stderr, "\rvxbuild: %s: %llu files, %.1f MB, %.1f MB/s\033[K", name_.c_str(),
               (unsigned long long)files, mb, seconds > 0 ? mb / seconds : 0.0);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::Finish() {
  if (enabled_ && shown_) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
  shown_ = false;
}

// --- Digests -------------------------------------------------------------------------------

bool NativeFileDigest(const fs::path& path, uint32_t& crc) {
  crc = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), std::streamsize(buffer.size()));
    crc = vx::Crc32c(crc, buffer.data(), size_t(in.gcount()));
  }
  return in.eof();
}

// --- Signing -------------------------------------------------------------------------------

bool IsWindowsImage(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  char head[2] = {};
  return in.read(head, 2) && head[0] == 'M' && head[1] == 'Z';
}

bool SignFile(const fs::path& file, const std::string& cert, const std::string& key, const std::string& password,
              const std::string& timestamp, std::string& error) {
  fs::path signedFile = file;
  signedFile += ".signed";
  fs::path log = file;
  log += ".log";
  std::vector<std::string> args = {"osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256"};
  if (!password.empty()) args.insert(args.end(), {"-pass", password});
  if (!timestamp.empty()) args.insert(args.end(), {"-ts", timestamp});
  args.insert(args.end(), {"-in", file.string(), "-out", signedFile.string()});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  int spawned = ::posix_spawnp(&pid, "osslsigncode", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned == 0) ::waitpid(pid, &status, 0);
  std::string output;
  {
    std::ifstream in(log, std::ios::binary);
    output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::error_code ec;
  fs::remove(log, ec);
  if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fs::remove(signedFile, ec);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    error = spawned != 0 ? "cannot run osslsigncode (install the package osslsigncode): " + std::string(std::strerror(spawned))
                         : "osslsigncode failed: " + output;
    return false;
  }
  fs::rename(signedFile, file, ec);
  if (ec) {
    fs::remove(signedFile, ec);
    error = "cannot replace \"" + file.string() + "\" with its signed copy";
    return false;
  }
  return true;
}

}  // namespace vxbuild
