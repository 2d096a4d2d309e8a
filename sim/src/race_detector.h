// What the race detector (ThreadSanitizer) is told about the simulated
// Windows.
//
// The scheduler runs one simulated thread at a time and hands the baton over
// with real locks. Left alone, the detector would see every slice of every
// thread ordered after the slice before it, and could never report a race
// between the program's threads. So, in a ThreadSanitizer build:
// - the simulation's own code is not watched (SimCode), neither its memory
//   nor its synchronisation: its state is guarded by the baton, and the
//   baton's hand-over, which always runs as the simulation's code, orders
//   nothing;
// - the program's code is watched (ProgramCode): its threads' bodies, its
//   dialog procedures, the test bodies run as programs;
// - the orderings Windows itself gives are stated one by one
//   (HappensBefore/HappensAfter): a thread's creation before its first step,
//   SetEvent before the wait it satisfies, LeaveCriticalSection before the
//   next owner's EnterCriticalSection, a post before the message is taken, a
//   sent message both ways, a thread's end before a wait on it.
// In every other build all of this compiles to nothing.
#pragma once

#include <memory>

#if defined(__SANITIZE_THREAD__)
#define SIMWIN_RACE_DETECTOR 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SIMWIN_RACE_DETECTOR 1
#endif
#endif

namespace sim::race {

#ifdef SIMWIN_RACE_DETECTOR

// Says whose code the calling thread runs until the end of the scope. The
// scopes nest; the innermost one holds.
class CodeScope {
 public:
  CodeScope(const CodeScope&) = delete;
  CodeScope& operator=(const CodeScope&) = delete;

 protected:
  explicit CodeScope(bool watched);
  ~CodeScope();

 private:
  bool previous_;
};

class SimCode : CodeScope {
 public:
  SimCode() : CodeScope(false) {}
};

class ProgramCode : CodeScope {
 public:
  ProgramCode() : CodeScope(true) {}
};

// Everything the calling thread did so far happens before whatever a thread
// does after HappensAfter on the same key.
void HappensBefore(const void* key);
void HappensAfter(const void* key);

// A key of its own for one event that is passed along (a posted message),
// so that taking it orders the taker after that event alone.
class OrderKey {
 public:
  OrderKey() : key_(std::make_shared<char>()) {}
  const void* Get() const { return key_.get(); }

 private:
  std::shared_ptr<char> key_;
};

// The end of the run unwinds a thread that Windows would simply have
// stopped: nothing it does from now on is watched.
void StopWatchingThread();
// Before a host thread ends: the detector refuses threads that end while
// told to ignore them.
void EndOfThread();

#else

class SimCode {
 public:
  SimCode() {}  // user-provided, so that an unused guard draws no warning
};
class ProgramCode {
 public:
  ProgramCode() {}
};
inline void HappensBefore(const void*) {}
inline void HappensAfter(const void*) {}
class OrderKey {
 public:
  const void* Get() const { return nullptr; }
};
inline void StopWatchingThread() {}
inline void EndOfThread() {}

#endif

// A simulated call reads or writes the program's buffers on behalf of the
// calling thread, as the Windows call does: those accesses are the
// program's, and watched.
template <class Access>
void AsProgram(Access&& access) {
  const ProgramCode program;
  access();
}

}  // namespace sim::race

namespace sim {

void Yield();

// The entry of a simulated API function: the simulation's own code from here
// to the function's return, and a scheduling point.
class ApiCall {
 public:
  ApiCall() { Yield(); }

 private:
  race::SimCode simCode_;
};

}  // namespace sim
