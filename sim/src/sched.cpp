// The scheduler of the simulated Windows. Every simulated thread is a host
// thread, but only the one holding the baton runs; the others wait on their
// own condition variable. A thread gives the baton up at every scheduling
// point; the scheduler then picks, with the machine's seeded generator, one
// of the threads that can run, or moves the virtual clock to the earliest
// wake-up, or stops the run (deadlock, time limit).
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <system_error>
#include <utility>

#include "kernel_internal.h"

namespace sim {

namespace {

thread_local SimThread* tlsThread = nullptr;
// The thread whose wait condition the scheduler is evaluating: while it is
// set, "the calling thread" (IoCancelled, CurrentThreadId...) means that one.
// Only the baton holder touches it.
SimThread* evaluating = nullptr;
bool inPick = false;

struct Candidate {
  SimThread* thread;
  bool ready;
};

// The favoured thread among the candidates, while the clock is in its window.
const Candidate* Favoured(const std::optional<Kernel::Impl::Favour>& favour, Ticks now,
                          const std::vector<Candidate>& candidates) {
  if (!favour || now < favour->from || now > favour->until) return nullptr;
  for (const Candidate& c : candidates) {
    if (c.thread->ProgramThread() && c.thread->id == favour->thread) return &c;
  }
  return nullptr;
}

}  // namespace

Kernel::Impl& CurrentKernel() { return Machine::Current().Kern().Internal(); }

SimThread* CurrentSimThread() { return evaluating != nullptr ? evaluating : tlsThread; }
void SetCurrentSimThread(SimThread* thread) { tlsThread = thread; }

std::string HexString(std::uintptr_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%" PRIXPTR, value);
  return buf;
}

// ---- SimThread -------------------------------------------------------------------

ThreadState SimThread::State() const {
  if (finished) return ThreadState::kFinished;
  if (!started) return suspendCount > 0 ? ThreadState::kSuspended : ThreadState::kReady;
  if (!waiting || yielding) return ThreadState::kReady;
  return ThreadState::kBlocked;
}

std::string SimThread::Position() const {
  if (finished) {
    return std::string(ended ? "ended" : "finished") + ", exit code " + std::to_string(exitCode);
  }
  if (!started) return suspendCount > 0 ? "suspended (not resumed)" : "created, not started yet";
  if (!waiting) return "running";
  if (yielding) return "ready (at a scheduling point)";
  std::string text(what);
  text += deadline ? " until " + std::to_string(*deadline) + " ms" : " with no time-out";
  return text;
}

std::string ThreadObject::Describe() const { return "thread " + HexString(thread_->id); }

// ---- Kernel::Impl: scheduling ------------------------------------------------------

std::uint64_t Kernel::Impl::RandomBelow(std::uint64_t bound) {
  if (bound <= 1) return 0;
  // Rejection keeps the choice uniform, and unlike the standard
  // distributions it gives the same sequence with every standard library.
  const std::uint64_t threshold = (0 - bound) % bound;
  for (;;) {
    const std::uint64_t r = rng();
    if (r >= threshold) return r % bound;
  }
}

bool Kernel::Impl::EvaluateReady(SimThread& t) {
  if (t.started && t.yielding) return true;
  const std::function<bool()>* condition = t.started ? t.ready : &t.startReady;
  if (condition == nullptr || !*condition) return false;
  evaluating = &t;
  bool result = false;
  try {
    result = (*condition)();
  } catch (...) {
    // The thread goes on as if it had evaluated the condition itself: the
    // exception comes out of its wait.
    t.conditionError = std::current_exception();
    result = true;
  }
  evaluating = nullptr;
  return result;
}

SimThread* Kernel::Impl::PickNext() {
  std::vector<Candidate> candidates;
  for (;;) {
    if (stopping) {
      // Program threads first, in creation order, then the script and the
      // threads of other programs.
      for (auto& t : threads) {
        if (!t->finished && t->ProgramThread()) return t.get();
      }
      for (auto& t : threads) {
        if (!t->finished) return t.get();
      }
      return nullptr;
    }
    if ((++schedulingPoints & 0xFF) == 0 &&
        std::chrono::steady_clock::now() - realStart > std::chrono::seconds(realSecondsLimit)) {
      Stop(Outcome::kTimeLimit,
           "real-time limit of " + std::to_string(realSecondsLimit) + " s reached");
      continue;
    }

    candidates.clear();
    std::optional<Ticks> earliest;
    bool anyLive = false;
    inPick = true;
    for (auto& tp : threads) {
      SimThread& t = *tp;
      if (t.finished) continue;
      anyLive = true;
      if (EvaluateReady(t)) {
        candidates.push_back({&t, true});
      } else if (t.started && t.deadline) {
        if (*t.deadline <= now) {
          candidates.push_back({&t, false});
        } else if (!earliest || *t.deadline < *earliest) {
          earliest = t.deadline;
        }
      } else if (!t.started && t.suspendCount == 0 && t.startAt > now) {
        if (!earliest || t.startAt < *earliest) earliest = t.startAt;
      }
    }
    inPick = false;
    if (stopping) continue;

    if (!candidates.empty()) {
      const Candidate* favoured = Favoured(favour, now, candidates);
      const Candidate& c = favoured != nullptr      ? *favoured
                           : candidates.size() == 1 ? candidates.front()
                                                    : candidates[RandomBelow(candidates.size())];
      c.thread->wokeReady = c.ready;
      return c.thread;
    }
    if (!anyLive) {
      Stop(Outcome::kDeadlock, "no thread left to run");
    } else if (!earliest) {
      Stop(Outcome::kDeadlock, "deadlock: no thread can run and no wake-up is due");
    } else if (*earliest > limit) {
      now = limit;
      Stop(Outcome::kTimeLimit, "virtual time limit of " + std::to_string(limit) + " ms reached");
    } else {
      now = *earliest;
    }
  }
}

void Kernel::Impl::AwaitBaton(SimThread& t) {
  // The baton often comes back within microseconds (a short exchange with
  // another thread): spin a little before sleeping on the condition variable.
  for (int i = 0; i < 4000; ++i) {
    if (running.load(std::memory_order_acquire) == &t) return;
    std::this_thread::yield();
  }
  std::unique_lock lock(mutex);
  t.cv.wait(lock, [this, &t] { return running.load(std::memory_order_relaxed) == &t; });
}

void Kernel::Impl::SwitchTo(SimThread* from, SimThread* next) {
  if (from != nullptr && next == from) return;
  // Read before the baton goes: a finished thread's record may be freed as
  // soon as the run is over, and the thread that ExitProcess ended is never
  // joined.
  const bool fromFinished = from != nullptr && from->finished;
  {
    std::lock_guard lock(mutex);
    running.store(next, std::memory_order_release);
    if (next == nullptr) runOver = true;
  }
  if (next != nullptr) {
    next->cv.notify_one();
  } else {
    controllerCv.notify_one();
  }
  if (from == nullptr) {
    std::unique_lock lock(mutex);
    controllerCv.wait(lock, [this] { return runOver; });
    return;
  }
  if (fromFinished) return;  // its host thread ends now
  AwaitBaton(*from);
}

void Kernel::Impl::Stop(Outcome why, const std::string& message) {
  if (stopping) {
    report += "then: " + message + "\n";
    return;
  }
  stopping = true;
  outcome = why;
  report = "seed " + std::to_string(seed) + ": " + message + " at " + std::to_string(now) + " ms\n";
  report += ThreadReport();
  for (auto& t : threads) {
    if (!t->finished && t->ProgramThread()) aliveAtEnd.push_back(t->name + ": " + t->Position());
  }
  for (auto& t : threads) {
    if (t->finished) continue;
    // A thread of another program that the program has answered already goes
    // on with the answer: the program's end does not take it back. Its next
    // wait ends it.
    if (t->otherProgram && t->started && t->waiting && !t->yielding && EvaluateReady(*t)) {
      t->wokeReady = true;
      continue;
    }
    t->ended = true;
  }
}

std::string Kernel::Impl::ThreadReport() const {
  std::string text;
  for (const auto& t : threads) text += "  " + t->name + ": " + t->Position() + "\n";
  return text;
}

// ---- Kernel::Impl: threads -----------------------------------------------------------

SimThread& Kernel::Impl::NewThread(DWORD id, std::string name, bool script,
                                   std::function<void()> body) {
  auto thread = std::make_unique<SimThread>();
  SimThread& t = *thread;
  t.id = id;
  t.name = std::move(name);
  t.script = script;
  t.body = std::move(body);
  t.waiting = true;
  t.startReady = [this, &t] { return t.suspendCount == 0 && now >= t.startAt; };
  t.object = std::make_shared<ThreadObject>(&t);
  threads.push_back(std::move(thread));
  return t;
}

void Kernel::Impl::StartHost(SimThread& t) {
  t.host = std::thread([this, &t] { HostMain(t); });
}

void Kernel::Impl::HostMain(SimThread& t) {
  {
    const race::SimCode simCode;
    RunHosted(t);
  }
  race::EndOfThread();
}

void Kernel::Impl::RunHosted(SimThread& t) {
  SetCurrentSimThread(&t);
  AwaitBaton(t);
  t.started = true;
  t.waiting = false;
  try {
    if (!t.ended) t.body();
  } catch (const ThreadEnded&) {
    // unwound by the end of the run
  } catch (const std::exception& e) {
    if (t.script) {
      Stop(Outcome::kScriptFailed, std::string("script failed: ") + e.what());
    } else if (t.otherProgram) {
      // The script's stand-in for another program: its failure is the script's.
      Stop(Outcome::kScriptFailed, t.name + " failed: " + e.what());
    } else {
      Stop(Outcome::kCrashed, t.name + " ended with an unhandled exception: " + e.what());
    }
  } catch (...) {
    Stop(t.ProgramThread() ? Outcome::kCrashed : Outcome::kScriptFailed,
         t.name + " ended with an unhandled exception");
  }
  t.waiting = false;
  race::HappensBefore(t.object.get());
  t.finished = true;
  if (t.ended && t.exitCode == STILL_ACTIVE) t.exitCode = static_cast<DWORD>(exitCode);
  if (t.isMain && !stopping) {
    Stop(Outcome::kExited, "program exited with code " + std::to_string(exitCode));
  }
  Reschedule(&t);
  SetCurrentSimThread(nullptr);
}

void Kernel::Impl::EndProcess(SimThread& t, int code) {
  exitCode = code;
  t.exitCode = static_cast<DWORD>(code);
  t.waiting = false;
  race::HappensBefore(t.object.get());
  t.finished = true;
  Stop(Outcome::kExited, "program exited with code " + std::to_string(code) + " (ExitProcess)");
  // Windows stops the thread inside the call. Its host thread can neither
  // return into the program nor unwind through it (the call may come from
  // where no exception may pass), so it gives up the baton and sleeps until
  // the host process ends; nothing joins it.
  t.host.detach();
  Reschedule(&t);
  SetCurrentSimThread(nullptr);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void Kernel::Impl::JoinAll() {
  for (auto& t : threads) {
    if (t->host.joinable()) t->host.join();
  }
}

SimThread* Kernel::Impl::FindThread(DWORD id) {
  for (auto& t : threads) {
    if (t->ProgramThread() && t->id == id) return t.get();
  }
  return nullptr;
}

// ---- sched.h --------------------------------------------------------------------------

// These are called from the program's side too (device models, tests that
// play a driver), so each one is the simulation's own code.

Ticks Now() {
  const race::SimCode simCode;
  return CurrentKernel().now;
}

namespace {

// Common to every kind of wait: an ended thread never blocks again; it
// unwinds, unless it is unwinding already, in which case the wait fails.
bool EndedThreadWait() {
  race::StopWatchingThread();
  if (std::uncaught_exceptions() > 0) return false;
  throw ThreadEnded{};
}

}  // namespace

void Yield() {
  const race::SimCode simCode;
  Kernel::Impl& k = CurrentKernel();
  SimThread* t = CurrentSimThread();
  if (t == nullptr || !k.inRun || inPick) return;
  if (t->ended) {
    EndedThreadWait();
    return;
  }
  t->yielding = true;
  t->waiting = true;
  k.Reschedule(t);
  t->waiting = false;
  t->yielding = false;
  if (t->ended) EndedThreadWait();
}

void WakePoint() { Yield(); }

bool WaitUntil(const std::function<bool()>& ready, std::optional<Ticks> deadline,
               std::string_view what) {
  const race::SimCode simCode;
  Kernel::Impl& k = CurrentKernel();
  if (inPick) throw std::logic_error("a blocking call inside a wait condition");
  SimThread* t = CurrentSimThread();
  if (t == nullptr || !k.inRun) {
    // No simulated thread to block (a test body, the end-of-run hooks): the
    // condition is what it is now.
    return ready && ready();
  }
  if (k.stopping) t->ended = true;  // no thread begins a wait once the run is ending
  if (t->ended) return EndedThreadWait();
  t->yielding = false;
  t->ready = &ready;
  t->deadline = deadline;
  t->what = what;
  t->waiting = true;
  k.Reschedule(t);
  t->waiting = false;
  t->ready = nullptr;
  t->deadline.reset();
  t->what = {};
  if (t->ended) {
    t->conditionError = nullptr;
    return EndedThreadWait();
  }
  if (t->conditionError) std::rethrow_exception(std::exchange(t->conditionError, nullptr));
  return t->wokeReady;
}

void SleepFor(Ticks ms) {
  const race::SimCode simCode;
  const std::function<bool()> never;
  WaitUntil(never, Now() + ms, "Sleep");
}

std::uint64_t NextSequence() {
  const race::SimCode simCode;
  return ++CurrentKernel().sequence;
}

std::uint64_t Random(std::uint64_t bound) {
  const race::SimCode simCode;
  return CurrentKernel().RandomBelow(bound);
}

DWORD StartOtherProgramThread(std::function<void()> body) {
  const race::SimCode simCode;
  Kernel::Impl& k = CurrentKernel();
  if (!k.inRun) throw std::logic_error("StartOtherProgramThread outside a run");
  const DWORD id = k.nextOtherProgramThreadId;
  k.nextOtherProgramThreadId += 4;
  SimThread& t =
      k.NewThread(id, "another program's thread " + HexString(id), false, std::move(body));
  t.otherProgram = true;
  // Started while the run ends: it never takes a step, as the script does not.
  if (k.stopping) t.ended = true;
  try {
    k.StartHost(t);
  } catch (const std::system_error&) {
    t.finished = true;
    throw;
  }
  return id;
}

DWORD CurrentThreadId() {
  const race::SimCode simCode;
  SimThread* t = CurrentSimThread();
  return t != nullptr ? t->id : 0;
}

HANDLE OpenHandle(std::shared_ptr<KernelObject> object) {
  const race::SimCode simCode;
  if (!object) throw std::logic_error("OpenHandle: no object");
  Kernel::Impl& k = CurrentKernel();
  const std::uintptr_t value = k.nextHandle;
  k.nextHandle += 4;
  ++k.handleCounts[object.get()];
  k.handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  const race::SimCode simCode;
  Kernel::Impl& k = CurrentKernel();
  auto it = k.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == k.handles.end() ? nullptr : it->second;
}

void BeginSynchronousIo() {
  const race::SimCode simCode;
  CurrentKernel();
  if (SimThread* t = CurrentSimThread()) {
    t->inIo = true;
    t->ioCancelled = false;
  }
}

bool IoCancelled() {
  const race::SimCode simCode;
  CurrentKernel();
  SimThread* t = CurrentSimThread();
  return t != nullptr && t->inIo && t->ioCancelled;
}

void EndSynchronousIo() {
  const race::SimCode simCode;
  CurrentKernel();
  if (SimThread* t = CurrentSimThread()) {
    t->inIo = false;
    t->ioCancelled = false;
  }
}

}  // namespace sim
