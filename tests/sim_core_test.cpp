// The core of the simulated Windows: scheduler, virtual time, kernel objects
// and the run harness.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "simwin/hid.h"
#include "simwin/kernel.h"
#include "simwin/machine.h"

namespace {

sim::MachineOptions Options(std::uint64_t seed = 1) {
  sim::MachineOptions options;
  options.seed = seed;
  return options;
}

// Runs `body` on a thread of its own; the parameter is a std::function.
DWORD CALLBACK RunFunction(LPVOID parameter) {
  (*static_cast<std::function<void()>*>(parameter))();
  return 7;
}

HANDLE Spawn(std::function<void()>& body, DWORD flags = 0) {
  return CreateThread(nullptr, 0, &RunFunction, &body, flags, nullptr);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SimClock, MinutesOfPollingTakeNoRealTime) {
  sim::Machine m(Options());
  std::vector<DWORD> ticks;
  const auto start = std::chrono::steady_clock::now();
  auto result = m.RunThread([&] {
    for (int i = 0; i < 6000; ++i) Sleep(100);  // ten minutes of polling
    ticks.push_back(GetTickCount());
    Sleep(0);  // still a scheduling point, no time passes
    ticks.push_back(GetTickCount());
  });
  const auto real = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_EQ(ticks, (std::vector<DWORD>{600000, 600000}));
  EXPECT_LT(real, std::chrono::seconds(5));  // a safety margin, not a benchmark
}

TEST(SimClock, RunStopsAtTheVirtualTimeLimit) {
  auto options = Options();
  options.limit = 5000;
  sim::Machine m(options);
  auto result = m.RunThread([] {
    for (;;) Sleep(1000);
  });
  EXPECT_EQ(result.outcome, sim::Outcome::kTimeLimit);
  EXPECT_EQ(m.Kern().Now(), 5000u);
  ASSERT_EQ(result.threadsAliveAtExit.size(), 1u);
  EXPECT_TRUE(Contains(result.threadsAliveAtExit[0], "main thread 0x100: Sleep(1000)"))
      << result.threadsAliveAtExit[0];
}

TEST(SimEvents, WaitsTimeOutAndWake) {
  struct Case {
    bool manual;
    bool initial;
    DWORD timeout;
    DWORD first;    // result of the first wait
    DWORD second;   // of a second wait right after
    sim::Ticks at;  // virtual time after both
  };
  const Case cases[] = {
      {false, true, 50, WAIT_OBJECT_0, WAIT_TIMEOUT, 50},  // auto-reset: taken once
      {true, true, 50, WAIT_OBJECT_0, WAIT_OBJECT_0, 0},   // manual: stays signalled
      {false, false, 50, WAIT_TIMEOUT, WAIT_TIMEOUT, 100},
      {true, false, 0, WAIT_TIMEOUT, WAIT_TIMEOUT, 0},
  };
  for (const Case& c : cases) {
    sim::Machine m(Options());
    DWORD first = 0, second = 0;
    sim::Ticks at = 0;
    auto result = m.RunThread([&] {
      HANDLE event = CreateEventA(nullptr, c.manual, c.initial, nullptr);
      first = WaitForSingleObject(event, c.timeout);
      second = WaitForSingleObject(event, c.timeout);
      at = sim::Now();
      CloseHandle(event);
    });
    EXPECT_EQ(result.outcome, sim::Outcome::kExited);
    EXPECT_EQ(first, c.first) << c.manual << c.initial;
    EXPECT_EQ(second, c.second) << c.manual << c.initial;
    EXPECT_EQ(at, c.at) << c.manual << c.initial;
  }
}

TEST(SimEvents, AutoResetReleasesOneWaiterManualReleasesAll) {
  for (bool manual : {false, true}) {
    sim::Machine m(Options());
    std::atomic<int> woken = 0;  // both waiters may count at once
    auto result = m.RunThread([&] {
      HANDLE event = CreateEventA(nullptr, manual, FALSE, nullptr);
      std::function<void()> waiter = [&] {
        if (WaitForSingleObject(event, 1000) == WAIT_OBJECT_0) ++woken;
      };
      HANDLE a = Spawn(waiter);
      HANDLE b = Spawn(waiter);
      Sleep(10);
      SetEvent(event);
      EXPECT_EQ(WaitForSingleObject(a, INFINITE), WAIT_OBJECT_0);
      EXPECT_EQ(WaitForSingleObject(b, INFINITE), WAIT_OBJECT_0);
      for (HANDLE h : {a, b, event}) CloseHandle(h);
    });
    EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
    EXPECT_EQ(woken, manual ? 2 : 1);
  }
}

TEST(SimEvents, BadHandlesFail) {
  sim::Machine m(Options());
  m.RunThread([] {
    HANDLE bogus = reinterpret_cast<HANDLE>(0x7777);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(bogus));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    std::function<void()> nothing = [] {};
    HANDLE thread = Spawn(nothing);
    EXPECT_FALSE(SetEvent(thread));  // a thread is no event
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  });
}

// Three threads that take turns at scheduling points; the order they run in
// is what the seed decides.
std::string Interleaving(std::uint64_t seed) {
  sim::Machine m(Options(seed));
  std::string order;
  m.RunThread([&] {
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    std::function<void()> bodies[3];
    HANDLE threads[3];
    for (int i = 0; i < 3; ++i) {
      bodies[i] = [&order, &m, &lock, i] {
        for (int step = 0; step < 4; ++step) {
          EnterCriticalSection(&lock);
          order += static_cast<char>('a' + i);
          m.Events().Add(std::string(1, static_cast<char>('a' + i)));
          LeaveCriticalSection(&lock);
          Sleep(0);
        }
      };
      threads[i] = Spawn(bodies[i]);
    }
    for (HANDLE h : threads) {
      WaitForSingleObject(h, INFINITE);
      CloseHandle(h);
    }
    DeleteCriticalSection(&lock);
  });
  return order + "|" + m.Events().Text();
}

TEST(SimScheduler, SameSeedSameInterleavingOtherSeedsDiffer) {
  std::set<std::string> seen;
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    const std::string once = Interleaving(seed);
    EXPECT_EQ(once, Interleaving(seed)) << "seed " << seed;
    seen.insert(once);
  }
  EXPECT_GT(seen.size(), 3u);
}

// Which of two threads got to its step first: 'w' the thread that a call
// made runnable, 'c' the caller. The steps are not ordered (that is the
// point), so the first claims it atomically.
void Claim(std::atomic<char>& first, char who) {
  char none = 0;
  first.compare_exchange_strong(none, who);
}

using WakeRun = std::function<void(sim::Machine&, std::atomic<char>&)>;

// Who went first, over a number of seeds.
std::set<char> WakeOrders(const WakeRun& run) {
  std::set<char> orders;
  for (std::uint64_t seed = 1; seed <= 16; ++seed) {
    sim::Machine m(Options(seed));
    std::atomic<char> first = 0;
    const auto result = m.RunThread([&] { run(m, first); });
    EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
    orders.insert(first.load());
  }
  return orders;
}

void Finish(HANDLE thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

HANDLE OpenDevice(sim::Machine& m, sim::Ticks latency) {
  sim::HidInterfaceSpec spec;
  spec.latency = latency;
  const sim::HidId id = m.Hid().Plug(spec);
  return CreateFileA(m.Hid().Path(id).c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The caller sets an event at 1 ms that another thread waits for.
void SetEventAtOneMs(sim::Machine&, std::atomic<char>& first) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::function<void()> woken = [&] {
    WaitForSingleObject(event, INFINITE);
    Claim(first, 'w');
  };
  HANDLE thread = Spawn(woken);
  Sleep(1);
  SetEvent(event);
  Claim(first, 'c');
  Finish(thread);
  CloseHandle(event);
}

// On a machine with several processors a thread that a call makes runnable
// may run at once, before the caller's next step; which goes first is the
// seed's choice. Each case wakes a thread that steps as 'w', then steps as 'c'.
TEST(SimScheduler, AWokenThreadMayRunBeforeTheCallersNextStep) {
  const std::pair<const char*, WakeRun> cases[] = {
      {"CreateThread",
       [](sim::Machine&, std::atomic<char>& first) {
         std::function<void()> woken = [&] { Claim(first, 'w'); };
         HANDLE thread = Spawn(woken);
         Claim(first, 'c');
         Finish(thread);
       }},
      {"ResumeThread",
       [](sim::Machine&, std::atomic<char>& first) {
         std::function<void()> woken = [&] { Claim(first, 'w'); };
         HANDLE thread = Spawn(woken, CREATE_SUSPENDED);
         ResumeThread(thread);
         Claim(first, 'c');
         Finish(thread);
       }},
      {"SetEvent", &SetEventAtOneMs},
      {"LeaveCriticalSection",
       [](sim::Machine&, std::atomic<char>& first) {
         CRITICAL_SECTION lock;
         InitializeCriticalSection(&lock);
         EnterCriticalSection(&lock);
         std::function<void()> woken = [&] {
           EnterCriticalSection(&lock);
           Claim(first, 'w');
           LeaveCriticalSection(&lock);
         };
         HANDLE thread = Spawn(woken);
         Sleep(1);
         LeaveCriticalSection(&lock);
         Claim(first, 'c');
         Finish(thread);
         DeleteCriticalSection(&lock);
       }},
      {"CancelSynchronousIo",
       [](sim::Machine&, std::atomic<char>& first) {
         std::function<void()> woken = [&] {
           sim::BeginSynchronousIo();
           sim::WaitUntil([] { return sim::IoCancelled(); }, std::nullopt, "ReadFile(test)");
           sim::EndSynchronousIo();
           Claim(first, 'w');
         };
         HANDLE thread = Spawn(woken);
         Sleep(1);
         CancelSynchronousIo(thread);
         Claim(first, 'c');
         Finish(thread);
       }},
      {"WriteFile, with a call waiting behind it on the handle",
       [](sim::Machine& m, std::atomic<char>& first) {
         HANDLE device = OpenDevice(m, 10);
         std::function<void()> woken = [&] {
           Sleep(1);
           HIDD_ATTRIBUTES attributes{};
           HidD_GetAttributes(device, &attributes);
           Claim(first, 'w');
         };
         HANDLE thread = Spawn(woken);
         const std::uint8_t report[sim::kHidReportSize] = {};
         DWORD written = 0;
         WriteFile(device, report, sizeof report, &written, nullptr);
         Claim(first, 'c');
         Finish(thread);
         CloseHandle(device);
       }},
      {"CloseHandle, with a read pending on the device",
       [](sim::Machine& m, std::atomic<char>& first) {
         HANDLE device = OpenDevice(m, 0);
         std::function<void()> woken = [&] {
           std::uint8_t report[sim::kHidReportSize] = {};
           DWORD read = 0;
           ReadFile(device, report, sizeof report, &read, nullptr);
           Claim(first, 'w');
         };
         HANDLE thread = Spawn(woken);
         Sleep(1);
         CloseHandle(device);
         Claim(first, 'c');
         Finish(thread);
       }},
  };
  for (const auto& [call, run] : cases) {
    EXPECT_EQ(WakeOrders(run), (std::set<char>{'c', 'w'})) << call;
  }
}

// A test can force one of those orders: the favoured thread is chosen
// whenever it can run, within its window of virtual time and only there.
TEST(SimScheduler, AFavouredThreadRunsWheneverItCanWithinItsWindow) {
  struct Window {
    sim::Ticks from, until;
    std::set<char> orders;
  };
  for (const Window& w : {Window{1, 1, {'c'}}, Window{2, 3, {'c', 'w'}}}) {
    const WakeRun run = [&w](sim::Machine& m, std::atomic<char>& first) {
      m.Kern().FavourThread(sim::kMainThreadId, w.from, w.until);
      SetEventAtOneMs(m, first);
    };
    EXPECT_EQ(WakeOrders(run), w.orders) << w.from << ".." << w.until;
  }
}

// Within one millisecond the call log still tells what came first: every
// entry has its place in the run's event sequence, which a test's own
// observations share. Sleeps are logged as they start, waits as they return.
TEST(SimScheduler, TheCallLogOrdersCallsWithinAMillisecond) {
  sim::Machine m(Options());
  std::uint64_t beforeSet = 0;
  m.RunThread([&] {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::function<void()> waiter = [&] {
      EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
      WaitForSingleObject(event, INFINITE);
    };
    HANDLE thread = Spawn(waiter);
    Sleep(1);  // the waiter's first wait times out meanwhile
    beforeSet = sim::NextSequence();
    SetEvent(event);
    Finish(thread);
    CloseHandle(event);
  });
  std::vector<std::string> waits;
  std::uint64_t previous = 0;
  for (const sim::Call& c : m.Calls().All()) {
    EXPECT_GT(c.seq, previous) << c.name;
    previous = c.seq;
    if (c.name == "Sleep") {
      EXPECT_LT(c.seq, beforeSet);
    }
    if (c.name == "WaitForSingleObject" && c.thread != sim::kMainThreadId) {
      waits.push_back(c.args.substr(c.args.find(' ') + 1));
      if (c.args.ends_with("signaled")) {
        EXPECT_GT(c.seq, beforeSet);
      }
    }
  }
  EXPECT_EQ(waits, (std::vector<std::string>{"timed out", "signaled"}));
  EXPECT_EQ(m.Kern().Now(), 1u);
}

TEST(SimScheduler, DeadlockOfTwoThreadsIsReported) {
  sim::Machine m(Options(42));
  const auto start = std::chrono::steady_clock::now();
  auto result = m.RunThread(
      [] {
        HANDLE toMain = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HANDLE toWorker = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        std::function<void()> worker = [&] {
          WaitForSingleObject(toWorker, INFINITE);  // main would set it, after its own wait
          SetEvent(toMain);
        };
        HANDLE thread = Spawn(worker);
        WaitForSingleObject(toMain, INFINITE);
        SetEvent(toWorker);
        CloseHandle(thread);
      },
      [](sim::Script& s) { s.At(100); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(result.outcome, sim::Outcome::kDeadlock);
  const std::string& r = result.report;
  EXPECT_TRUE(Contains(r, "seed 42")) << r;
  EXPECT_TRUE(Contains(r, "deadlock")) << r;
  EXPECT_TRUE(
      Contains(r, "main thread 0x100: WaitForSingleObject(0x1001 auto-reset event, INFINITE)"))
      << r;
  EXPECT_TRUE(Contains(r, "thread 0x104: WaitForSingleObject(0x1005 auto-reset event, INFINITE)"))
      << r;
  EXPECT_TRUE(Contains(r, "script: finished")) << r;
  EXPECT_EQ(result.threadsAliveAtExit.size(), 2u);
}

TEST(SimKernel, CancelSynchronousIo) {
  sim::Machine m(Options());
  bool sawCancel = false;
  auto result = m.RunThread([&] {
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::function<void()> transfer = [&] {
      sim::BeginSynchronousIo();
      SetEvent(started);
      sawCancel = sim::WaitUntil([] { return sim::IoCancelled(); }, std::nullopt, "ReadFile(test)");
      sim::EndSynchronousIo();
      Sleep(1000);  // no transfer pending any more
    };
    HANDLE thread = Spawn(transfer);
    SetLastError(0);
    EXPECT_FALSE(CancelSynchronousIo(thread));  // not begun yet: the cancel is lost
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    WaitForSingleObject(started, INFINITE);
    EXPECT_TRUE(CancelSynchronousIo(thread));
    EXPECT_FALSE(CancelSynchronousIo(thread));  // already cancelled
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    Sleep(10);
    EXPECT_FALSE(CancelSynchronousIo(thread));  // the transfer has ended
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_FALSE(CancelSynchronousIo(started));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(started);
  });
  EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_TRUE(sawCancel);
}

TEST(SimKernel, HandlesAreCountedAndNeverReused) {
  sim::Machine m(Options());
  m.RunThread([&] {
    EXPECT_EQ(m.Kern().OpenHandleCount(), 0u);
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::function<void()> nothing = [] {};
    HANDLE t = Spawn(nothing);
    HANDLE t2 = OpenThread(SYNCHRONIZE, FALSE, 0x104);
    ASSERT_NE(t2, nullptr);
    EXPECT_EQ(m.Kern().OpenHandleCount(), 3u);
    const auto open = m.Kern().OpenHandles();
    ASSERT_EQ(open.size(), 3u);
    EXPECT_EQ(open[0].description, "manual-reset event");
    EXPECT_EQ(open[1].description, "thread 0x104");
    EXPECT_EQ(open[2].description, "thread 0x104");
    WaitForSingleObject(t, INFINITE);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_FALSE(CloseHandle(t));  // twice
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t2, &code));  // the object lives on through t2
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(t2));
    EXPECT_EQ(OpenThread(SYNCHRONIZE, FALSE, 0x104), nullptr);  // exited, no handle left
    EXPECT_TRUE(CloseHandle(a));
    HANDLE b = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(b, a);
    EXPECT_NE(b, t);
    EXPECT_EQ(m.Kern().OpenHandleCount(), 1u);
  });
  EXPECT_EQ(m.Kern().OpenHandleCount(), 1u);  // the last event was never closed: a leak to see
  EXPECT_EQ(m.Calls().Named("CloseHandle").size(), 4u);
}

TEST(SimKernel, ThreadCreationFailures) {
  sim::Machine m(Options());
  m.Kern().FailThreadCreation(2);
  std::vector<bool> created;
  m.RunThread([&] {
    std::function<void()> nothing = [] {};
    for (int i = 0; i < 3; ++i) {
      SetLastError(0);
      DWORD id = 0;
      HANDLE h = CreateThread(nullptr, 0, &RunFunction, &nothing, 0, &id);
      created.push_back(h != nullptr);
      if (h == nullptr) {
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        continue;
      }
      WaitForSingleObject(h, INFINITE);
      CloseHandle(h);
    }
    m.Kern().FailAllThreadCreation();
    EXPECT_EQ(Spawn(nothing), nullptr);
  });
  EXPECT_EQ(created, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(m.Kern().OpenHandleCount(), 0u);
}

DWORD CALLBACK Quit(LPVOID) { return 0; }
void Wrapped() {}

// A thread is known by what it runs: its start routine, or what a start
// wrapper of the program runs when the machine is told how to see that.
TEST(SimKernel, ThreadsAreKnownByTheirRoutine) {
  auto options = Options();
  options.threadProcedure = [](LPTHREAD_START_ROUTINE start, LPVOID) {
    return start == &RunFunction ? &Wrapped : nullptr;
  };
  sim::Machine m(options);
  m.RunThread([] {
    std::function<void()> nothing = [] {};
    for (HANDLE h : {Spawn(nothing), CreateThread(nullptr, 0, &Quit, nullptr, 0, nullptr)}) {
      WaitForSingleObject(h, INFINITE);
      CloseHandle(h);
    }
  });
  const auto threads = m.Kern().Threads();
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads[0].routine, nullptr);  // the main thread
  EXPECT_EQ(threads[1].routine, &Wrapped);
  EXPECT_EQ(threads[2].routine, reinterpret_cast<sim::ThreadRoutine>(&Quit));
}

TEST(SimKernel, SuspendedThreadRunsOnlyWhenResumed) {
  sim::Machine m(Options());
  bool ran = false;
  auto result = m.RunThread([&] {
    std::function<void()> body = [&] { ran = true; };
    HANDLE t = Spawn(body, CREATE_SUSPENDED);
    Sleep(1000);
    EXPECT_FALSE(ran);
    EXPECT_EQ(m.Kern().Threads()[1].state, sim::ThreadState::kSuspended);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(ResumeThread(t), 0u);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ran);
    CloseHandle(t);
  });
  EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
}

struct Guard {
  HANDLE event;
  bool* destroyed;
  ~Guard() {
    // Runs while the ended thread unwinds: nothing here may block.
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_FAILED);
    CloseHandle(event);
    *destroyed = true;
  }
};

TEST(SimRun, ExitEndsTheOtherThreadsAndTheScript) {
  sim::Machine m(Options());
  bool destroyed = false;
  bool scriptReturned = false;
  std::function<void()> blocked;
  auto result = m.RunThread(
      [&] {
        blocked = [&] {
          Guard guard{CreateEventA(nullptr, FALSE, FALSE, nullptr), &destroyed};
          WaitForSingleObject(guard.event, INFINITE);
        };
        HANDLE t = Spawn(blocked);
        Sleep(500);
        CloseHandle(t);
      },
      [&](sim::Script& s) {
        s.At(60000);
        scriptReturned = true;
      });
  EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_EQ(m.Kern().Now(), 500u);
  ASSERT_EQ(result.threadsAliveAtExit.size(), 1u);
  EXPECT_TRUE(Contains(result.threadsAliveAtExit[0], "thread 0x104: WaitForSingleObject("))
      << result.threadsAliveAtExit[0];
  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(scriptReturned);
  EXPECT_EQ(m.Kern().OpenHandleCount(), 0u);
  for (const auto& t : m.Kern().Threads()) EXPECT_EQ(t.state, sim::ThreadState::kFinished);
}

TEST(SimRun, ScriptFailureAndProgramCrashStopTheRun) {
  {
    sim::Machine m(Options(9));
    auto result = m.RunThread([] { Sleep(INFINITE); },
                              [](sim::Script& s) {
                                s.At(20);
                                throw sim::ScriptFailure("the dialog never appeared");
                              });
    EXPECT_EQ(result.outcome, sim::Outcome::kScriptFailed);
    EXPECT_TRUE(
        Contains(result.report, "seed 9: script failed: the dialog never appeared at 20 ms"))
        << result.report;
  }
  {
    // A wait condition that throws: the exception comes out of the waiting
    // thread's wait, as if that thread had evaluated it.
    sim::Machine m(Options());
    bool caughtInThread = false;
    auto result = m.RunThread(
        [&] {
          try {
            sim::WaitUntil([]() -> bool { throw std::runtime_error("bad state"); }, std::nullopt,
                           "test");
          } catch (const std::runtime_error&) {
            caughtInThread = true;
          }
          Sleep(100);
        },
        [](sim::Script& s) {
          s.WaitFor([]() -> bool { throw sim::ScriptFailure("no such control"); });
        });
    EXPECT_TRUE(caughtInThread);
    EXPECT_EQ(result.outcome, sim::Outcome::kScriptFailed);
    EXPECT_TRUE(Contains(result.report, "script failed: no such control")) << result.report;
  }
  {
    sim::Machine m(Options());
    auto result = m.RunThread([] {
      CRITICAL_SECTION section;
      InitializeCriticalSection(&section);
      LeaveCriticalSection(&section);  // never entered
    });
    EXPECT_EQ(result.outcome, sim::Outcome::kCrashed);
    EXPECT_TRUE(Contains(result.report, "does not own")) << result.report;
  }
}

TEST(SimKernel, CriticalSectionExcludesOtherThreadsAndIsRecursive) {
  sim::Machine m(Options(3));
  std::string trace;
  auto result = m.RunThread([&] {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    std::function<void()> body = [&] {
      for (int i = 0; i < 3; ++i) {
        EnterCriticalSection(&section);
        EnterCriticalSection(&section);
        trace += '[';
        Sleep(5);
        trace += ']';
        LeaveCriticalSection(&section);
        LeaveCriticalSection(&section);
        Sleep(0);
      }
    };
    HANDLE a = Spawn(body);
    HANDLE b = Spawn(body);
    WaitForSingleObject(a, INFINITE);
    WaitForSingleObject(b, INFINITE);
    CloseHandle(a);
    CloseHandle(b);
    DeleteCriticalSection(&section);
  });
  EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_EQ(trace, "[][][][][][]");
}

TEST(SimKernel, ModuleFileNameIsTruncatedAsWindowsDoes) {
  struct Case {
    DWORD size;
    DWORD result;
    const char* text;
    DWORD error;
  };
  const Case cases[] = {
      {MAX_PATH, 13, "C:\\app\\up.exe", 0},
      {14, 13, "C:\\app\\up.exe", 0},
      {13, 13, "C:\\app\\up.ex", ERROR_INSUFFICIENT_BUFFER},
      {4, 4, "C:\\", ERROR_INSUFFICIENT_BUFFER},
      {0, 0, "?", ERROR_INSUFFICIENT_BUFFER},
  };
  auto options = Options();
  options.moduleFileName = "C:\\app\\up.exe";
  sim::Machine m(options);
  m.RunThread([&] {
    for (const Case& c : cases) {
      char buffer[MAX_PATH] = "?";
      SetLastError(0);
      EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, c.size), c.result) << c.size;
      EXPECT_STREQ(buffer, c.text) << c.size;
      EXPECT_EQ(GetLastError(), c.error) << c.size;
    }
    EXPECT_EQ(GetModuleHandleA(nullptr), sim::kModuleInstance);
    EXPECT_EQ(GetModuleHandleA("UP.EXE"), sim::kModuleInstance);
    EXPECT_EQ(GetModuleHandleA("other.dll"), nullptr);
  });
}

std::string seenCommandLine;
int RecordingEntry(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show) {
  seenCommandLine = commandLine;
  EXPECT_EQ(instance, sim::kModuleInstance);
  EXPECT_EQ(show, SW_SHOWNORMAL);
  EXPECT_STREQ(GetCommandLineA(), "\"C:\\Program Files\\up.exe\"  /x y");
  return 5;
}

TEST(SimRun, WinMainGetsTheArgumentsAndItsResultIsTheExitCode) {
  auto options = Options();
  options.commandLine = "\"C:\\Program Files\\up.exe\"  /x y";
  options.entry = &RecordingEntry;
  sim::Machine m(options);
  auto result = m.Run({});
  EXPECT_EQ(result.outcome, sim::Outcome::kExited);
  EXPECT_EQ(result.exitCode, 5);
  EXPECT_EQ(seenCommandLine, "/x y");

  sim::Machine noEntry(Options());
  EXPECT_THROW(noEntry.Run({}), std::logic_error);
}

}  // namespace
