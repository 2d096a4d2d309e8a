// Internal interface of the simulated Windows: the scheduler, virtual time and
// kernel objects. Every simulated API call runs with the baton held (only one
// simulated thread runs at a time), so sim state needs no locks of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "simwin/win32_api.h"

namespace sim {

using Ticks = std::uint64_t;  // virtual milliseconds since the machine started

// A routine a thread runs, as an address to compare with a function's.
using ThreadRoutine = void (*)();

// ---- scheduler -----------------------------------------------------------------
Ticks Now();

// A scheduling point: another ready thread may run before this call returns.
// Every simulated API function calls it on entry.
void Yield();

// The scheduling point of a call that may have made another thread runnable
// (set an event, left a critical section, resumed a thread, posted or
// answered a message, completed a transfer, closed a device handle). On a
// machine with several processors the woken thread may run at once, before
// the caller's next step, so the seeded choice gets its say here, before the
// call returns to the caller's code. (The script's own actions, a click or a
// plug, have none: each is one step of the user or the device.)
void WakePoint();

// Blocks the calling simulated thread until `ready()` returns true or the
// virtual clock reaches `deadline`. `ready` is evaluated by the scheduler with
// the baton held, whenever it picks the next thread. Returns true when ready,
// false on time-out. `what` names the blocking call for deadlock reports
// (e.g. "ReadFile(joystick)", "GetMessageA").
bool WaitUntil(const std::function<bool()>& ready, std::optional<Ticks> deadline,
               std::string_view what);

// Convenience: sleeps `ms` of virtual time (a scheduling point even for 0).
void SleepFor(Ticks ms);

// The next number of the run's event sequence: the order in which things
// happened across all threads, finer than the millisecond. The call log and
// the HID capture number their entries with it; a test's own observations
// (a hook of a device, a step of the script) take theirs here.
std::uint64_t NextSequence();

// Seeded choice shared by every part of the simulation (faults, latencies).
std::uint64_t Random(std::uint64_t bound);  // uniform in [0, bound)

// Identity of the calling simulated thread (its thread id as the program sees it).
DWORD CurrentThreadId();

// Starts a simulated thread of another program, as a script may to play one:
// it runs `body` as the simulation's own code, as the script thread does,
// and is none of the program's threads (its id lies outside theirs; see
// kOtherProgramThreadId). It takes its first step at a scheduling point of
// the same millisecond, and finishes when `body` returns. When the run ends
// first, it is ended as the script thread is, except that a wait of it that
// is over by then (the program has answered its message) returns, and only
// its next wait ends it. Only during a run. Returns its id.
DWORD StartOtherProgramThread(std::function<void()> body);

// ---- kernel objects --------------------------------------------------------------
// Anything a HANDLE may refer to. Waitable objects override Signaled().
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual bool Waitable() const { return false; }
  virtual bool Signaled() const { return false; }
  // Called when a wait on the object is satisfied (auto-reset events reset).
  virtual void Acquire() {}
  // Called when the last handle to the object is closed.
  virtual void OnLastHandleClosed() {}
  virtual std::string Describe() const = 0;
};

// Handle table. Handles are small odd integers cast to HANDLE, never null and
// never INVALID_HANDLE_VALUE. Each OpenHandle() counts as one open handle.
HANDLE OpenHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);  // null when not open
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Synchronous I/O cancellation: a transfer that blocks registers itself so that
// CancelSynchronousIo on its thread can abort it. The device model waits with
// `ready` || IoCancelled(); see hid.
void BeginSynchronousIo();
bool IoCancelled();  // for the calling thread's current transfer
void EndSynchronousIo();

}  // namespace sim
