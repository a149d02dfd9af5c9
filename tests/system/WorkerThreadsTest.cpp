// The installation's worker thread on the current host (a sandbox machine
// natively, the real system under Wine): its exit code, waiting for it
// beside the main thread's messages, messages it sends to the main window,
// suspension and closing its handle.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "support/TestMachine.h"
#include "system/host.h"

namespace {

using namespace vx;

constexpr uint32_t kAskMessage = 0x8000 + 17;  // WM_APP + 17: the test's own message
constexpr uint32_t kPatienceMs = 10000;        // how long anything that must happen may take

class WorkerThreads : public ::testing::Test {
 protected:
  // Waits for the worker as the install driver does, dispatching the main
  // thread's messages in between: kWaitObject0 once it has ended,
  // kWaitTimeout when `ms` have passed first.
  uint32_t WaitForEnd(HandleValue thread, uint32_t ms) {
    uint32_t start = h.TickCount();
    for (;;) {
      uint32_t spent = h.TickCount() - start;
      uint32_t r = h.WaitForWorkerOrMessage(thread, spent >= ms ? 0 : ms - spent);
      if (r != kWaitInput) return r;
      while (h.DispatchOneMessage() > 0) {
      }
    }
  }
  uint32_t ExitCode(HandleValue thread) {
    uint32_t code = 0;
    EXPECT_TRUE(h.WorkerExitCode(thread, code));
    return code;
  }
  // Sleeps until `ready` holds, at most kPatienceMs; whether it does.
  template <typename F>
  bool Eventually(F ready) {
    uint32_t start = h.TickCount();
    while (!ready()) {
      if (h.TickCount() - start > kPatienceMs) return false;
      h.SleepMs(5);
    }
    return true;
  }

  vxtest::TestMachine machine;
  Host& h = machine.Host();
};

TEST_F(WorkerThreads, ExitCodeIsStillActiveUntilTheWorkReturnsItsResult) {
  std::atomic<bool> release{false};
  HandleValue t = h.StartWorker([&]() -> uint32_t {
    while (!release) h.SleepMs(2);
    return 42;
  });
  ASSERT_NE(t, 0u);
  EXPECT_EQ(ExitCode(t), uint32_t(kStillActive));
  // A worker that runs on lets the wait time out, however often it is asked.
  EXPECT_EQ(WaitForEnd(t, 100), kWaitTimeout);
  EXPECT_EQ(WaitForEnd(t, 0), kWaitTimeout);
  EXPECT_EQ(ExitCode(t), uint32_t(kStillActive));
  release = true;
  EXPECT_EQ(WaitForEnd(t, kPatienceMs), kWaitObject0);
  EXPECT_EQ(ExitCode(t), 42u);
  // An ended worker stays signalled: later waits return at once.
  EXPECT_EQ(h.WaitForWorkerOrMessage(t, 0), kWaitObject0);
  EXPECT_EQ(ExitCode(t), 42u);
  h.CloseWorker(t);
}

TEST_F(WorkerThreads, AnEscapingExceptionEndsTheWorkerWithZeroAndNothingElse) {
  HandleValue a = h.StartWorker([]() -> uint32_t { throw std::runtime_error("copy failed"); });
  HandleValue b = h.StartWorker([]() -> uint32_t { throw 7; });  // not even an std::exception
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(WaitForEnd(a, kPatienceMs), kWaitObject0);
  EXPECT_EQ(WaitForEnd(b, kPatienceMs), kWaitObject0);
  EXPECT_EQ(ExitCode(a), 0u);
  EXPECT_EQ(ExitCode(b), 0u);
  h.CloseWorker(a);
  h.CloseWorker(b);
  // The process goes on, and so do new workers.
  HandleValue c = h.StartWorker([] { return 5u; });
  ASSERT_NE(c, 0u);
  EXPECT_EQ(WaitForEnd(c, kPatienceMs), kWaitObject0);
  EXPECT_EQ(ExitCode(c), 5u);
  h.CloseWorker(c);
}

TEST_F(WorkerThreads, MessageFromTheWorkerIsHandledOnTheMainThreadWhileItDispatches) {
  WindowHandle window = h.CreateMainWindow("VXWorkerTestWindow");
  ASSERT_NE(window, 0u);
  uint32_t mainThread = h.CurrentThreadId();
  std::atomic<int> calls{0};
  std::atomic<uint32_t> handlerThread{0}, workerThread{0};
  h.SetMainWindowHandler([&](uint32_t message, uintptr_t wParam, uintptr_t, intptr_t& result) {
    if (message != kAskMessage) return false;
    ++calls;
    handlerThread = h.CurrentThreadId();
    result = intptr_t(wParam) * 2;
    return true;
  });
  HandleValue t = h.StartWorker([&]() -> uint32_t {
    workerThread = h.CurrentThreadId();
    return uint32_t(h.SendWindowMessage(window, kAskMessage, 21, 0));
  });
  ASSERT_NE(t, 0u);
  // Nobody dispatches yet: the worker waits for its answer.
  ASSERT_TRUE(Eventually([&] { return workerThread != 0; }));
  h.SleepMs(150);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(ExitCode(t), uint32_t(kStillActive));
  // The main thread learns that a message waits, handles it, and the
  // worker ends with the answer.
  EXPECT_EQ(h.WaitForWorkerOrMessage(t, kPatienceMs), kWaitInput);
  EXPECT_EQ(WaitForEnd(t, kPatienceMs), kWaitObject0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(ExitCode(t), 42u);
  EXPECT_EQ(handlerThread, mainThread);
  EXPECT_NE(workerThread, mainThread);
  h.CloseWorker(t);
  h.SetMainWindowHandler(nullptr);
  h.DestroyWindow(window);
}

TEST_F(WorkerThreads, SuspendedWorkerMakesNoProgressUntilEveryResume) {
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> counter{0};
  HandleValue t = h.StartWorker([&]() -> uint32_t {
    while (!stop) {
      h.WorkerCheckpoint();  // where a host that stops workers cooperatively holds them
      ++counter;
      h.SleepMs(1);
    }
    return 7;
  });
  ASSERT_NE(t, 0u);
  ASSERT_TRUE(Eventually([&] { return counter > 3; }));

  // Counts nest: after two suspensions one resumption leaves it held.
  EXPECT_EQ(h.SuspendWorker(t), 0u);
  EXPECT_EQ(h.SuspendWorker(t), 1u);
  h.SleepMs(50);  // a step under way when it was suspended may still finish
  uint32_t held = counter;
  h.SleepMs(100);
  EXPECT_EQ(counter, held);
  EXPECT_EQ(h.ResumeWorker(t), 2u);
  h.SleepMs(100);
  EXPECT_EQ(counter, held);
  // Held, it cannot end either, even when told to.
  stop = true;
  EXPECT_EQ(WaitForEnd(t, 150), kWaitTimeout);
  EXPECT_EQ(ExitCode(t), uint32_t(kStillActive));

  EXPECT_EQ(h.ResumeWorker(t), 1u);
  EXPECT_EQ(WaitForEnd(t, kPatienceMs), kWaitObject0);
  EXPECT_EQ(ExitCode(t), 7u);
  h.CloseWorker(t);
}

TEST_F(WorkerThreads, ResumedWorkerContinuesWhereItWasHeld) {
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> counter{0};
  HandleValue t = h.StartWorker([&]() -> uint32_t {
    while (!stop) {
      h.WorkerCheckpoint();
      ++counter;
      h.SleepMs(1);
    }
    return 1;
  });
  ASSERT_NE(t, 0u);
  ASSERT_TRUE(Eventually([&] { return counter > 3; }));
  EXPECT_EQ(h.SuspendWorker(t), 0u);
  h.SleepMs(50);
  uint32_t held = counter;
  EXPECT_EQ(h.ResumeWorker(t), 1u);
  EXPECT_TRUE(Eventually([&] { return counter > held + 3; }));
  stop = true;
  EXPECT_EQ(WaitForEnd(t, kPatienceMs), kWaitObject0);
  EXPECT_EQ(ExitCode(t), 1u);
  h.CloseWorker(t);
}

TEST_F(WorkerThreads, ClosingTheHandleLeavesTheThreadRunningToItsEnd) {
  std::atomic<bool> release{false}, finished{false};
  HandleValue running = h.StartWorker([&]() -> uint32_t {
    while (!release) h.SleepMs(2);
    finished = true;
    return 1;
  });
  ASSERT_NE(running, 0u);
  h.CloseWorker(running);  // while it runs
  release = true;
  EXPECT_TRUE(Eventually([&] { return finished.load(); }));

  HandleValue ended = h.StartWorker([] { return 9u; });
  ASSERT_NE(ended, 0u);
  ASSERT_EQ(WaitForEnd(ended, kPatienceMs), kWaitObject0);
  EXPECT_EQ(ExitCode(ended), 9u);
  h.CloseWorker(ended);  // after its end
  if (machine.IsSandbox()) {
    // A closed handle names nothing any more (Windows may reuse the value).
    uint32_t code = 0;
    EXPECT_FALSE(h.WorkerExitCode(ended, code));
    EXPECT_EQ(h.LastError(), kErrorInvalidHandle);
    EXPECT_EQ(h.WaitForWorkerOrMessage(ended, 0), kWaitFailed);
  }
}

}  // namespace
