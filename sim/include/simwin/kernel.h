// The kernel of the simulated Windows as tests see it: open handles, the
// simulated threads, and faults injected into thread creation. The scheduler
// and the kernel objects themselves are in sim/src (sched.cpp, kernel.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "simwin/sched.h"

namespace sim {

class Machine;

// Thread ids are fixed so that runs are reproducible: the main thread gets
// kMainThreadId, each further program thread the next multiple of 4. The
// script thread has its own id outside that range, and so have the threads
// of other programs (StartOtherProgramThread): the first gets
// kOtherProgramThreadId, each further one the next multiple of 4, far above
// any id the program's threads reach in a run.
inline constexpr DWORD kMainThreadId = 0x100;
inline constexpr DWORD kScriptThreadId = 0x10;
inline constexpr DWORD kOtherProgramThreadId = 0x10000;

// The instance handle of the simulated executable (GetModuleHandleA(NULL)).
inline const HINSTANCE kModuleInstance = reinterpret_cast<HINSTANCE>(0x400000);

enum class ThreadState {
  kSuspended,  // created with CREATE_SUSPENDED and not resumed yet
  kReady,      // at a scheduling point, can run
  kBlocked,    // in a wait (see ThreadInfo::blockedIn)
  kFinished,   // returned, or ended when the run ended
};

struct ThreadInfo {
  DWORD id = 0;
  std::string description;  // "main thread 0x100", "thread 0x104", "script"
  bool script = false;
  bool otherProgram = false;  // a thread of another program, not the program's own
  ThreadState state = ThreadState::kReady;
  std::string blockedIn;  // the blocking call while kBlocked, e.g. "Sleep(100)"
  DWORD exitCode = STILL_ACTIVE;
  bool endedByRunEnd = false;  // ended by ExitProcess semantics or a hang, not by returning
  // What the thread runs: its start routine, or the procedure the program's
  // thread-start wrapper runs (MachineOptions::threadProcedure); null for the
  // main and script threads.
  ThreadRoutine routine = nullptr;
};

struct HandleInfo {
  HANDLE handle = nullptr;
  std::string description;  // the object's Describe()
};

class Kernel {
 public:
  Kernel(Machine& machine, std::uint64_t seed);
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // ---- observation ----
  std::size_t OpenHandleCount() const;
  std::vector<HandleInfo> OpenHandles() const;  // in the order they were opened
  // Every thread of the run in creation order (the script thread and the
  // threads of other programs included).
  std::vector<ThreadInfo> Threads() const;
  Ticks Now() const;

  // ---- faults ----
  // The nth call of CreateThread in this machine (1 = the first) fails with
  // ERROR_NOT_ENOUGH_MEMORY. May be given several times.
  void FailThreadCreation(int nth);
  // Every CreateThread from now on fails (until called with false).
  void FailAllThreadCreation(bool fail = true);
  // The thread that the nth call of CreateThread creates takes its first step
  // no earlier than `ms` after its creation: Windows promises no time by
  // which a new thread first runs.
  void DelayThreadStart(int nth, Ticks ms);
  // The nth call of CreateEventA in this machine (1 = the first) fails with
  // ERROR_NOT_ENOUGH_MEMORY, as when the system is out of resources.
  void FailEventCreation(int nth);
  // Every wait that the thread with this id begins while the virtual clock
  // reads from `from` to `until` (WaitForSingleObject,
  // MsgWaitForMultipleObjectsEx) fails at once with WAIT_FAILED and
  // ERROR_INVALID_HANDLE, as a wait on a handle that another part of the
  // process has closed does.
  void FailWaits(DWORD thread, Ticks from, Ticks until);

  // ---- schedules ----
  // While the virtual clock reads from `from` to `until`, the thread with
  // this id is chosen at every scheduling point at which it can run, as if it
  // had a core to itself: a test can so force one of the orders that Windows
  // allows but the seeded choice seldom makes.
  void FavourThread(DWORD id, Ticks from, Ticks until);

  // ---- internal (sim/src/kernel_internal.h) ----
  struct Impl;
  Impl& Internal() { return *impl_; }
  const Impl& Internal() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
