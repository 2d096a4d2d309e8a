// The kernel32 part of the simulated Windows: last error, handles, time,
// module, events, threads, critical sections and I/O cancellation.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "kernel_internal.h"

namespace sim {

namespace {

constexpr DWORD kErrorModNotFound = 126;

class EventObject : public KernelObject {
 public:
  EventObject(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}
  bool Waitable() const override { return true; }
  bool Signaled() const override { return signaled_; }
  void Acquire() override {
    if (!manualReset_) signaled_ = false;
  }
  std::string Describe() const override {
    return manualReset_ ? "manual-reset event" : "auto-reset event";
  }
  void Set(bool signaled) { signaled_ = signaled; }

 private:
  bool manualReset_;
  bool signaled_;
};

template <class T>
T Fail(DWORD error, T result) {
  ::SetLastError(error);
  return result;
}

void Record(std::string name, std::string args) {
  Machine::Current().Calls().Add(std::move(name), std::move(args));
}

std::string HandleText(HANDLE handle) {
  return HexString(reinterpret_cast<std::uintptr_t>(handle));
}

CriticalSectionState& Section(Kernel::Impl& k, LPCRITICAL_SECTION section, const char* call) {
  if (section == nullptr) throw ProgramFault(std::string(call) + " on a null critical section");
  auto it = k.sections.find(reinterpret_cast<std::uintptr_t>(section->impl));
  if (it == k.sections.end()) {
    throw ProgramFault(std::string(call) + " on a critical section that is not initialised");
  }
  return it->second;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

// ---- Kernel (observation, faults) -------------------------------------------------------

Kernel::Kernel(Machine& machine, std::uint64_t seed)
    : impl_(std::make_unique<Impl>(machine, seed)) {}
Kernel::~Kernel() = default;

std::size_t Kernel::OpenHandleCount() const { return impl_->handles.size(); }

std::vector<HandleInfo> Kernel::OpenHandles() const {
  std::vector<HandleInfo> list;
  for (const auto& [value, object] : impl_->handles) {
    list.push_back({reinterpret_cast<HANDLE>(value), object->Describe()});
  }
  return list;
}

std::vector<ThreadInfo> Kernel::Threads() const {
  std::vector<ThreadInfo> list;
  for (const auto& t : impl_->threads) {
    ThreadInfo info;
    info.id = t->id;
    info.description = t->name;
    info.script = t->script;
    info.otherProgram = t->otherProgram;
    info.state = t->State();
    if (info.state == ThreadState::kBlocked) info.blockedIn = std::string(t->what);
    info.exitCode = t->finished ? t->exitCode : STILL_ACTIVE;
    info.endedByRunEnd = t->ended;
    info.routine = t->routine;
    list.push_back(std::move(info));
  }
  return list;
}

Ticks Kernel::Now() const { return impl_->now; }

void Kernel::FailThreadCreation(int nth) { impl_->failThreadNth.insert(nth); }
void Kernel::FailAllThreadCreation(bool fail) { impl_->failAllThreads = fail; }
void Kernel::DelayThreadStart(int nth, Ticks ms) { impl_->startDelays[nth] = ms; }
void Kernel::FailEventCreation(int nth) { impl_->failEventNth.insert(nth); }
void Kernel::FailWaits(DWORD thread, Ticks from, Ticks until) {
  impl_->waitFaults.push_back({thread, from, until});
}

bool Kernel::Impl::WaitFails() const {
  const SimThread* t = CurrentSimThread();
  if (t == nullptr) return false;
  return std::any_of(waitFaults.begin(), waitFaults.end(), [&](const WaitFault& f) {
    return f.thread == t->id && now >= f.from && now <= f.until;
  });
}

void Kernel::FavourThread(DWORD id, Ticks from, Ticks until) {
  impl_->favour = Impl::Favour{id, from, until};
}

}  // namespace sim

using sim::CurrentKernel;
using sim::CurrentSimThread;
using sim::Fail;

// ---- last error -----------------------------------------------------------------------------

DWORD GetLastError() {
  const sim::race::SimCode simCode;
  sim::Kernel::Impl& k = CurrentKernel();
  sim::SimThread* t = CurrentSimThread();
  return t != nullptr ? t->lastError : k.outsideLastError;
}

void SetLastError(DWORD error) {
  const sim::race::SimCode simCode;
  sim::Kernel::Impl& k = CurrentKernel();
  sim::SimThread* t = CurrentSimThread();
  (t != nullptr ? t->lastError : k.outsideLastError) = error;
}

// ---- handles --------------------------------------------------------------------------------

BOOL CloseHandle(HANDLE handle) {
  const sim::ApiCall apiCall;
  sim::Kernel::Impl& k = CurrentKernel();
  sim::Record("CloseHandle", sim::HandleText(handle));
  auto it = k.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == k.handles.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
  std::shared_ptr<sim::KernelObject> object = std::move(it->second);
  k.handles.erase(it);
  auto count = k.handleCounts.find(object.get());
  if (--count->second == 0) {
    k.handleCounts.erase(count);
    object->OnLastHandleClosed();
    sim::WakePoint();  // transfers pending on a device handle end
  }
  return TRUE;
}

// ---- time -----------------------------------------------------------------------------------

void Sleep(DWORD milliseconds) {
  const sim::race::SimCode simCode;
  sim::Record("Sleep", std::to_string(milliseconds));
  const std::string what = "Sleep(" + std::to_string(milliseconds) + ")";
  const std::function<bool()> never;
  std::optional<sim::Ticks> deadline;
  if (milliseconds != INFINITE) deadline = sim::Now() + milliseconds;
  sim::WaitUntil(never, deadline, what);
}

DWORD GetTickCount() {
  const sim::ApiCall apiCall;
  return static_cast<DWORD>(sim::Now());
}

// ---- module and process -----------------------------------------------------------------------

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  const sim::ApiCall apiCall;
  if (module != nullptr && module != sim::kModuleInstance) return Fail(sim::kErrorModNotFound, 0u);
  if (fileName == nullptr && size != 0) return Fail(ERROR_INVALID_PARAMETER, 0u);
  const std::string& name = sim::Machine::Current().Options().moduleFileName;
  if (name.size() < size) {
    std::memcpy(fileName, name.c_str(), name.size() + 1);
    return static_cast<DWORD>(name.size());
  }
  // Too small: as Windows does, the name is cut to size - 1 characters and
  // terminated, and the result is the buffer size.
  if (size > 0) {
    std::memcpy(fileName, name.data(), size - 1);
    fileName[size - 1] = '\0';
  }
  return Fail(ERROR_INSUFFICIENT_BUFFER, size);
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  const sim::ApiCall apiCall;
  if (moduleName == nullptr) return sim::kModuleInstance;
  const std::string& path = sim::Machine::Current().Options().moduleFileName;
  const std::size_t slash = path.find_last_of("\\/");
  const std::string_view base = slash == std::string::npos
                                    ? std::string_view(path)
                                    : std::string_view(path).substr(slash + 1);
  if (sim::EqualNoCase(moduleName, base) || sim::EqualNoCase(moduleName, path)) {
    return sim::kModuleInstance;
  }
  return Fail(sim::kErrorModNotFound, static_cast<HMODULE>(nullptr));
}

LPSTR GetCommandLineA() {
  const sim::ApiCall apiCall;
  return CurrentKernel().commandLine.data();
}

void ExitProcess(UINT exitCode) {
  const sim::ApiCall apiCall;
  sim::Kernel::Impl& k = CurrentKernel();
  sim::SimThread* t = CurrentSimThread();
  if (t == nullptr || !k.inRun) throw std::logic_error("ExitProcess outside a simulated thread");
  sim::Record("ExitProcess", std::to_string(exitCode));
  k.EndProcess(*t, static_cast<int>(exitCode));
}

// ---- events ---------------------------------------------------------------------------------

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  const sim::ApiCall apiCall;
  // Named (shared) events are not simulated; refusing them beats silently
  // giving a private one.
  if (name != nullptr) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  sim::Kernel::Impl& k = CurrentKernel();
  if (k.failEventNth.count(++k.createEventCalls) > 0) {
    sim::Record("CreateEventA", "failed");
    return Fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<HANDLE>(nullptr));
  }
  HANDLE handle = sim::OpenHandle(
      std::make_shared<sim::EventObject>(manualReset != FALSE, initialState != FALSE));
  sim::Record("CreateEventA", sim::HandleText(handle));
  return handle;
}

BOOL SetEvent(HANDLE event) {
  const sim::ApiCall apiCall;
  auto object = sim::LookupHandleAs<sim::EventObject>(event);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  object->Set(true);
  sim::race::HappensBefore(object.get());
  sim::WakePoint();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  const sim::ApiCall apiCall;
  auto object = sim::LookupHandleAs<sim::EventObject>(event);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  object->Set(false);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const sim::race::SimCode simCode;
  // The wait holds the object: closing the handle meanwhile does not free it.
  std::shared_ptr<sim::KernelObject> object = sim::LookupHandle(handle);
  if (!object || !object->Waitable()) {
    sim::Yield();
    return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  }
  if (CurrentKernel().WaitFails()) {
    sim::Yield();
    sim::Record("WaitForSingleObject", sim::HandleText(handle) + " failed");
    return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  }
  std::optional<sim::Ticks> deadline;
  if (milliseconds != INFINITE) deadline = sim::Now() + milliseconds;
  const std::string what =
      "WaitForSingleObject(" + sim::HandleText(handle) + " " + object->Describe() + ", " +
      (milliseconds == INFINITE ? std::string("INFINITE") : std::to_string(milliseconds)) + ")";
  const std::function<bool()> signaled = [&object] { return object->Signaled(); };
  // Recorded as it returns: the step in which the caller goes on.
  const std::string handleText = sim::HandleText(handle);
  if (sim::WaitUntil(signaled, deadline, what)) {
    object->Acquire();
    sim::race::HappensAfter(object.get());
    sim::Record("WaitForSingleObject", handleText + " signaled");
    return WAIT_OBJECT_0;
  }
  sim::SimThread* t = CurrentSimThread();
  if (t != nullptr && t->ended) return Fail(ERROR_OPERATION_ABORTED, WAIT_FAILED);
  sim::Record("WaitForSingleObject", handleText + " timed out");
  return WAIT_TIMEOUT;
}

// ---- threads --------------------------------------------------------------------------------

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
  const sim::ApiCall apiCall;
  sim::Kernel::Impl& k = CurrentKernel();
  if (start == nullptr) return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  const int call = ++k.createThreadCalls;
  if (k.failAllThreads || k.failThreadNth.count(call) > 0 || k.stopping || !k.inRun) {
    sim::Record("CreateThread", "failed");
    return Fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<HANDLE>(nullptr));
  }
  const DWORD id = k.nextThreadId;
  k.nextThreadId += 4;
  sim::SimThread& t = k.NewThread(id, "thread " + sim::HexString(id), false, {});
  const auto& seeThrough = k.machine.Options().threadProcedure;
  t.routine = seeThrough ? seeThrough(start, parameter) : nullptr;
  if (t.routine == nullptr) t.routine = reinterpret_cast<sim::ThreadRoutine>(start);
  t.body = [&t, start, parameter] {
    sim::race::HappensAfter(&t);
    t.exitCode = [start, parameter] {
      const sim::race::ProgramCode program;
      return start(parameter);
    }();
  };
  if ((flags & CREATE_SUSPENDED) != 0) t.suspendCount = 1;
  if (auto delay = k.startDelays.find(call); delay != k.startDelays.end()) {
    t.startAt = k.now + delay->second;
  }
  sim::race::HappensBefore(&t);
  try {
    k.StartHost(t);
  } catch (const std::system_error&) {
    t.finished = true;
    sim::Record("CreateThread", "failed");
    return Fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<HANDLE>(nullptr));
  }
  HANDLE handle = sim::OpenHandle(t.object);
  if (threadId != nullptr) *threadId = id;
  sim::Record("CreateThread", sim::HexString(id));
  if (t.suspendCount == 0) sim::WakePoint();
  return handle;
}

DWORD ResumeThread(HANDLE thread) {
  const sim::ApiCall apiCall;
  auto object = sim::LookupHandleAs<sim::ThreadObject>(thread);
  if (!object) return Fail(ERROR_INVALID_HANDLE, static_cast<DWORD>(-1));
  sim::SimThread& t = object->Thread();
  sim::Record("ResumeThread", sim::HexString(t.id));
  const DWORD previous = t.suspendCount;
  if (t.suspendCount > 0) --t.suspendCount;
  if (previous == 1 && !t.started) {
    sim::race::HappensBefore(&t);  // lets it start
    sim::WakePoint();
  }
  return previous;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  const sim::ApiCall apiCall;
  auto object = sim::LookupHandleAs<sim::ThreadObject>(thread);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // The documented levels (idle -15 .. time-critical 15). The scheduler does
  // not weigh them: the seeded choice covers every order anyway.
  if (priority != -15 && priority != 15 && (priority < -2 || priority > 2)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  sim::Record("SetThreadPriority",
              sim::HexString(object->Thread().id) + " " + std::to_string(priority));
  object->Thread().priority = priority;
  return TRUE;
}

DWORD GetCurrentThreadId() {
  const sim::race::SimCode simCode;
  CurrentKernel();
  return sim::CurrentThreadId();
}

HANDLE OpenThread(DWORD, BOOL, DWORD threadId) {
  const sim::ApiCall apiCall;
  sim::Kernel::Impl& k = CurrentKernel();
  sim::Record("OpenThread", sim::HexString(threadId));
  sim::SimThread* t = k.FindThread(threadId);
  // A thread object lives while the thread runs or a handle refers to it.
  if (t == nullptr || (t->finished && k.handleCounts.count(t->object.get()) == 0)) {
    return Fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  }
  return sim::OpenHandle(t->object);
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  const sim::ApiCall apiCall;
  auto object = sim::LookupHandleAs<sim::ThreadObject>(thread);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (exitCode == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const sim::SimThread& t = object->Thread();
  if (t.finished) sim::race::HappensAfter(object.get());
  *exitCode = t.finished ? t.exitCode : STILL_ACTIVE;
  return TRUE;
}

BOOL CancelSynchronousIo(HANDLE thread) {
  const sim::ApiCall apiCall;
  auto object = sim::LookupHandleAs<sim::ThreadObject>(thread);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  sim::SimThread& t = object->Thread();
  const bool pending = !t.finished && t.inIo && !t.ioCancelled;
  sim::Record("CancelSynchronousIo", sim::HexString(t.id) + (pending ? " cancelled" : " none"));
  if (!pending) return Fail(ERROR_NOT_FOUND, FALSE);
  t.ioCancelled = true;
  sim::WakePoint();
  return TRUE;
}

// ---- critical sections
// ----------------------------------------------------------------------------

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  const sim::ApiCall apiCall;
  sim::Kernel::Impl& k = CurrentKernel();
  if (section == nullptr) throw sim::ProgramFault("InitializeCriticalSection(NULL)");
  const std::uintptr_t id = k.nextSection++;
  k.sections.emplace(id, sim::CriticalSectionState{});
  section->impl = reinterpret_cast<void*>(id);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  const sim::ApiCall apiCall;
  sim::Kernel::Impl& k = CurrentKernel();
  sim::Section(k, section, "DeleteCriticalSection");
  k.sections.erase(reinterpret_cast<std::uintptr_t>(section->impl));
  section->impl = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
  const sim::ApiCall apiCall;
  sim::Kernel::Impl& k = CurrentKernel();
  const DWORD me = sim::CurrentThreadId();
  sim::CriticalSectionState* state = &sim::Section(k, section, "EnterCriticalSection");
  if (state->owner == me) {
    ++state->recursion;
    return;
  }
  if (state->owner != 0) {
    const std::uintptr_t id = reinterpret_cast<std::uintptr_t>(section->impl);
    const std::string what = "EnterCriticalSection(owned by " + sim::HexString(state->owner) + ")";
    const std::function<bool()> free = [&k, id] {
      auto it = k.sections.find(id);
      return it == k.sections.end() || it->second.owner == 0;
    };
    // An ended thread gets no ownership; its LeaveCriticalSection is ignored.
    if (!sim::WaitUntil(free, std::nullopt, what)) return;
    state = &sim::Section(k, section, "EnterCriticalSection");
  }
  state->owner = me;
  state->recursion = 1;
  sim::race::HappensAfter(state);
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  const sim::ApiCall apiCall;
  sim::Kernel::Impl& k = CurrentKernel();
  sim::CriticalSectionState& state = sim::Section(k, section, "LeaveCriticalSection");
  if (state.owner != sim::CurrentThreadId()) {
    sim::SimThread* t = CurrentSimThread();
    if (t != nullptr && t->ended) return;
    throw sim::ProgramFault("LeaveCriticalSection by a thread that does not own it");
  }
  if (--state.recursion == 0) {
    sim::race::HappensBefore(&state);
    state.owner = 0;
    sim::WakePoint();
  }
}
