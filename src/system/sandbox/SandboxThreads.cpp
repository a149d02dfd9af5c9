// SandboxHost, threads: the installation's worker thread as a real thread,
// with Windows' exit code, suspend count and waits. There is no COM on the
// machine, so the thread only runs its work.
//
// Suspension is cooperative: SuspendWorker raises the count, and the worker
// stops at its next safe point (HoldIfSuspendedWorker: the machine's file
// opens, reads and writes, its messages to the main window, and
// WorkerCheckpoint) until the count is back to zero. Stopping a thread
// anywhere, as SuspendThread does, could stop it inside the C library or
// the machine's own locks and leave the main thread waiting for it forever;
// the worker does nothing on the machine between two safe points, so what
// another thread can see of the machine is the same.
#include <chrono>
#include <exception>
#include <system_error>

#include "system/RunLog.h"
#include "system/sandbox/SandboxHost.h"
#include "system/sandbox/SandboxNative.h"

namespace vx {

namespace {

// The gate of the worker running on this thread (none on other threads).
thread_local WorkerGate* t_workerGate = nullptr;

constexpr uint32_t kMaximumSuspendCount = 127;  // MAXIMUM_SUSPEND_COUNT
constexpr uint32_t kErrorSignalRefused = 156;   // ERROR_SIGNAL_REFUSED
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

}  // namespace

void HoldIfSuspendedWorker() {
  WorkerGate* gate = t_workerGate;
  if (!gate) return;
  std::unique_lock<std::mutex> lock(gate->lock);
  gate->changed.wait(lock, [gate] { return gate->suspendCount == 0 || gate->released; });
}

void SandboxHost::WorkerCheckpoint() { HoldIfSuspendedWorker(); }

std::shared_ptr<WorkerGate> SandboxHost::FindWorker(HandleValue thread) {
  std::lock_guard<std::mutex> lock(workerLock_);
  auto it = workers_.find(thread);
  return it == workers_.end() ? nullptr : it->second;
}

HandleValue SandboxHost::StartWorker(std::function<uint32_t()> work) {
  auto gate = std::make_shared<WorkerGate>();
  HandleValue handle;
  {
    std::lock_guard<std::mutex> lock(mutexLock_);  // one numbering for every kernel handle
    handle = nextHandle_++;
  }
  // The handle names the worker before its thread runs, so that the work
  // can use it at once.
  std::lock_guard<std::mutex> lock(workerLock_);
  workers_[handle] = gate;
  std::thread thread;
  try {
    thread = std::thread([this, gate, work = std::move(work)]() mutable {
      t_workerGate = gate.get();
      uint32_t code = 0;
      try {
        code = work();
      } catch (const std::exception& e) {
        RunLog("worker", std::string("ended by an exception: ") + e.what());
      } catch (...) {
        RunLog("worker", "ended by an exception");
      }
      work = nullptr;  // what the work captured goes before the thread counts as ended
      t_workerGate = nullptr;
      {
        std::lock_guard<std::mutex> g(gate->lock);
        gate->exitCode = code;
        gate->done = true;
      }
      gate->changed.notify_all();
      {
        std::lock_guard<std::mutex> w(windowLock_);
      }
      windowWake_.notify_all();
    });
  } catch (const std::system_error&) {
    workers_.erase(handle);
    Fail(kErrorNotEnoughMemory);
    return 0;
  }
  workerThreads_.emplace_back(gate, std::move(thread));
  return handle;
}

bool SandboxHost::WorkerExitCode(HandleValue thread, uint32_t& code) {
  std::shared_ptr<WorkerGate> gate = FindWorker(thread);
  if (!gate) return Fail(kErrorInvalidHandle);
  std::lock_guard<std::mutex> lock(gate->lock);
  code = gate->done ? gate->exitCode : uint32_t(kStillActive);
  return true;
}

uint32_t SandboxHost::WaitForWorkerOrMessage(HandleValue thread, uint32_t milliseconds) {
  std::shared_ptr<WorkerGate> gate = FindWorker(thread);
  if (!gate) {
    Fail(kErrorInvalidHandle);
    return kWaitFailed;
  }
  auto ended = [&] {
    std::lock_guard<std::mutex> g(gate->lock);
    return gate->done;
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock<std::mutex> lock(windowLock_);
  for (;;) {
    if (ended()) return kWaitObject0;
    if (std::this_thread::get_id() == windowThread_ && !windowQueue_.empty()) return kWaitInput;
    if (milliseconds == kInfinite) {
      windowWake_.wait(lock);
    } else if (windowWake_.wait_until(lock, deadline) == std::cv_status::timeout) {
      if (ended()) return kWaitObject0;
      if (std::this_thread::get_id() == windowThread_ && !windowQueue_.empty()) return kWaitInput;
      return kWaitTimeout;
    }
  }
}

uint32_t SandboxHost::SuspendWorker(HandleValue thread) {
  std::shared_ptr<WorkerGate> gate = FindWorker(thread);
  if (!gate) {
    Fail(kErrorInvalidHandle);
    return kSuspendFailed;
  }
  uint32_t previous;
  {
    std::lock_guard<std::mutex> lock(gate->lock);
    if (gate->done) {
      Fail(kErrorAccessDenied);  // a thread that has ended cannot be suspended
      return kSuspendFailed;
    }
    if (gate->suspendCount >= kMaximumSuspendCount) {
      Fail(kErrorSignalRefused);
      return kSuspendFailed;
    }
    previous = gate->suspendCount++;
  }
  // A worker that suspends itself stops here.
  if (t_workerGate == gate.get()) HoldIfSuspendedWorker();
  return previous;
}

uint32_t SandboxHost::ResumeWorker(HandleValue thread) {
  std::shared_ptr<WorkerGate> gate = FindWorker(thread);
  if (!gate) {
    Fail(kErrorInvalidHandle);
    return kSuspendFailed;
  }
  uint32_t previous;
  {
    std::lock_guard<std::mutex> lock(gate->lock);
    if (gate->done) {
      Fail(kErrorAccessDenied);
      return kSuspendFailed;
    }
    previous = gate->suspendCount;
    if (gate->suspendCount > 0) --gate->suspendCount;
  }
  gate->changed.notify_all();
  return previous;
}

void SandboxHost::CloseWorker(HandleValue thread) {
  if (!ReleaseWorker(thread)) Fail(kErrorInvalidHandle);
}

bool SandboxHost::ReleaseWorker(HandleValue handle) {
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(workerLock_);
    if (!workers_.erase(handle)) return false;
    // Threads that have ended and that no handle names any more are joined
    // now; the others are joined when the machine closes.
    for (auto it = workerThreads_.begin(); it != workerThreads_.end();) {
      bool named = false;
      for (const auto& [h, gate] : workers_) named = named || gate == it->first;
      bool done;
      {
        std::lock_guard<std::mutex> g(it->first->lock);
        done = it->first->done;
      }
      if (done && !named && it->second.get_id() != std::this_thread::get_id()) {
        ended.push_back(std::move(it->second));
        it = workerThreads_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (std::thread& t : ended) t.join();
  return true;
}

void SandboxHost::StopWorkers() {
  // Calls waiting for the main window get 0, later ones get it at once,
  // and no worker is held any more: every worker can run to its end.
  {
    std::lock_guard<std::mutex> lock(windowLock_);
    windowClosing_ = true;
    for (PendingCall* call : windowQueue_) call->done = true;
    windowQueue_.clear();
  }
  windowDone_.notify_all();
  std::vector<std::pair<std::shared_ptr<WorkerGate>, std::thread>> threads;
  {
    std::lock_guard<std::mutex> lock(workerLock_);
    threads.swap(workerThreads_);
    workers_.clear();
  }
  for (auto& [gate, thread] : threads) {
    {
      std::lock_guard<std::mutex> g(gate->lock);
      gate->released = true;
    }
    gate->changed.notify_all();
  }
  for (auto& entry : threads) {
    std::thread& thread = entry.second;
    if (!thread.joinable()) continue;
    if (thread.get_id() == std::this_thread::get_id()) thread.detach();  // closed by its own worker
    else thread.join();
  }
}

}  // namespace vx
