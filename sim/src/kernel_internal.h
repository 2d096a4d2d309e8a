// Internal state of the simulated kernel: the scheduler (one baton passed
// between host threads), virtual time, the handle table and the threads.
// Shared by sched.cpp, kernel.cpp and machine.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "race_detector.h"
#include "simwin/kernel.h"
#include "simwin/machine.h"

namespace sim {

// Thrown inside a simulated thread that the end of the run has ended, to
// unwind its stack. Deliberately not a std::exception, so that product code
// catching std::exception does not swallow it.
struct ThreadEnded {};

// Misuse of an API that would crash or corrupt a real process (an
// uninitialised critical section, leaving one that is not owned). Stops the
// run as a crash.
struct ProgramFault : std::logic_error {
  using std::logic_error::logic_error;
};

class ThreadObject;

struct SimThread {
  DWORD id = 0;
  std::string name;  // "main thread 0x100", "thread 0x104", "script"
  bool script = false;
  bool otherProgram = false;  // a thread of another program (StartOtherProgramThread)
  bool isMain = false;        // the process's main thread: its return ends the run
  std::function<void()> body;
  ThreadRoutine routine = nullptr;  // what it runs, for observation
  std::thread host;
  std::condition_variable cv;  // signalled when the baton is handed to this thread

  // What the thread waits for while it does not hold the baton.
  bool yielding = false;                         // a plain scheduling point
  const std::function<bool()>* ready = nullptr;  // null or empty: only the deadline
  std::optional<Ticks> deadline;
  std::string_view what;              // valid while the thread waits
  bool wokeReady = false;             // result of the last wait
  bool waiting = false;               // parked, not holding the baton
  std::exception_ptr conditionError;  // thrown by its wait condition: rethrown by the wait

  bool started = false;
  DWORD suspendCount = 0;
  Ticks startAt = 0;                 // no first step before this time
  std::function<bool()> startReady;  // before the first turn: not suspended

  bool finished = false;
  bool ended = false;  // ended by the end of the run: unwinds, never blocks again
  DWORD exitCode = STILL_ACTIVE;
  DWORD lastError = ERROR_SUCCESS;
  int priority = THREAD_PRIORITY_NORMAL;
  bool inIo = false;
  bool ioCancelled = false;

  std::shared_ptr<ThreadObject> object;  // the kernel object handles refer to

  // One of the program's threads: neither the script nor another program's.
  bool ProgramThread() const { return !script && !otherProgram; }
  std::string Position() const;  // the blocking call, for reports
  ThreadState State() const;
};

class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(SimThread* thread) : thread_(thread) {}
  SimThread& Thread() const { return *thread_; }
  bool Waitable() const override { return true; }
  bool Signaled() const override { return thread_->finished; }
  std::string Describe() const override;

 private:
  SimThread* thread_;  // owned by the kernel, which outlives every handle
};

struct CriticalSectionState {
  DWORD owner = 0;
  int recursion = 0;
};

struct Kernel::Impl {
  Impl(Machine& m, std::uint64_t s) : machine(m), seed(s), rng(s) {}

  // ---- scheduler (sched.cpp) ----
  std::uint64_t RandomBelow(std::uint64_t bound);
  // Picks the thread to run next, advancing virtual time or stopping the run
  // as needed; null when every thread has finished after a stop.
  SimThread* PickNext();
  // Hands the baton from `from` (null: the controller) to `next` and, unless
  // `from` has finished, waits until it comes back.
  void SwitchTo(SimThread* from, SimThread* next);
  void Reschedule(SimThread* from) { SwitchTo(from, PickNext()); }
  // Returns when the baton has been handed to `t`.
  void AwaitBaton(SimThread& t);
  // Ends the run: records the outcome and marks every live thread ended.
  void Stop(Outcome why, const std::string& message);
  bool EvaluateReady(SimThread& t);

  // ---- threads ----
  SimThread& NewThread(DWORD id, std::string name, bool script, std::function<void()> body);
  void StartHost(SimThread& t);
  void HostMain(SimThread& t);
  void RunHosted(SimThread& t);  // HostMain's body
  // ExitProcess on `t`: the run ends, and `t` runs no more program code.
  [[noreturn]] void EndProcess(SimThread& t, int code);
  void JoinAll();
  SimThread* FindThread(DWORD id);

  std::string ThreadReport() const;

  Machine& machine;
  std::uint64_t seed;
  std::mt19937_64 rng;
  Ticks now = 0;
  Ticks limit = 0;
  int realSecondsLimit = 60;

  std::vector<std::unique_ptr<SimThread>> threads;  // creation order
  DWORD nextThreadId = kMainThreadId;
  DWORD nextOtherProgramThreadId = kOtherProgramThreadId;

  std::map<std::uintptr_t, std::shared_ptr<KernelObject>> handles;  // open handles
  std::map<const KernelObject*, int> handleCounts;
  std::uintptr_t nextHandle = 0x1001;

  std::map<std::uintptr_t, CriticalSectionState> sections;
  std::uintptr_t nextSection = 1;

  std::set<int> failThreadNth;
  std::set<int> failEventNth;
  int createEventCalls = 0;
  struct WaitFault {
    DWORD thread = 0;
    Ticks from = 0;
    Ticks until = 0;
  };
  std::vector<WaitFault> waitFaults;
  // True when a wait that the calling thread begins now is to fail.
  bool WaitFails() const;
  std::map<int, Ticks> startDelays;  // by CreateThread call number
  struct Favour {
    DWORD thread = 0;
    Ticks from = 0;
    Ticks until = 0;
  };
  std::optional<Favour> favour;
  bool failAllThreads = false;
  int createThreadCalls = 0;

  DWORD outsideLastError = ERROR_SUCCESS;
  std::string commandLine;  // GetCommandLineA
  std::string commandTail;  // WinMain's command line: without the program name  // last error
                            // outside any simulated thread

  // ---- baton ----
  std::mutex mutex;
  std::condition_variable controllerCv;
  // Written under `mutex`; read without it while a thread spins for its turn.
  std::atomic<SimThread*> running{nullptr};  // null: the controller (Machine::Run's caller)
  bool runOver = false;

  // ---- run state ----
  bool inRun = false;
  bool stopping = false;
  Outcome outcome = Outcome::kExited;
  int exitCode = 0;
  std::string report;
  std::vector<std::string> aliveAtEnd;
  std::chrono::steady_clock::time_point realStart;
  std::uint64_t schedulingPoints = 0;
  std::uint64_t sequence = 0;  // the event sequence (NextSequence)
};

// The kernel of the machine under way, and the simulated thread running
// this code (null on a host thread that is not a simulated one).
Kernel::Impl& CurrentKernel();
SimThread* CurrentSimThread();
void SetCurrentSimThread(SimThread* thread);

std::string HexString(std::uintptr_t value);

}  // namespace sim
