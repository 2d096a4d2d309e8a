// The simulated machine: owns the kernel and the other parts, runs the
// program's main thread and the script thread, and reports how the run ended.
#include <cctype>

#include "kernel_internal.h"
#include "parts.h"

namespace sim {

namespace {

Machine* current = nullptr;

// WinMain gets the command line without the program name, as the C run-time
// passes it on Windows: the first token (quoted or not) and the blanks after
// it are skipped.
std::size_t CommandTailOffset(const std::string& line) {
  std::size_t i = 0;
  if (!line.empty() && line[0] == '"') {
    const std::size_t close = line.find('"', 1);
    i = close == std::string::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
  }
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return i;
}

}  // namespace

struct Machine::Impl {
  MachineOptions options;
  std::unique_ptr<Kernel> kernel;
  std::unique_ptr<UiSystem> ui;
  std::unique_ptr<HidBus> hid;
  EventLog events;
  CallLog calls;
  bool ran = false;

  RunResult Run(Machine& machine, std::function<int()> mainBody,
                const std::function<void(Script&)>& script);
};

Machine::Machine(MachineOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->kernel = std::make_unique<Kernel>(*this, impl_->options.seed);
  Kernel::Impl& k = impl_->kernel->Internal();
  k.limit = impl_->options.limit;
  k.realSecondsLimit = impl_->options.realSecondsLimit;
  k.commandLine = impl_->options.commandLine;
  k.commandTail = impl_->options.commandLine.substr(CommandTailOffset(impl_->options.commandLine));
  Machine* const previous = current;
  current = this;
  try {
    impl_->ui = MakeUiSystem(*this);
    impl_->hid = MakeHidBus(*this);
#ifndef SIMWIN_UI_STAND_IN
    // The program's resource section, as the loader maps it for the process.
    if (!impl_->options.resources.empty()) {
      std::string error;
      if (!impl_->ui->LoadResources(impl_->options.resources, &error)) {
        throw std::invalid_argument("MachineOptions.resources: " + error);
      }
    }
#endif
  } catch (...) {
    current = previous;
    throw;
  }
}

Machine::~Machine() {
  // The parts may call into the sim while they go; objects behind handles
  // may refer to the parts, so they go first.
  Machine* const previous = current == this ? nullptr : current;
  current = this;
  impl_->kernel->Internal().handles.clear();
  impl_->kernel->Internal().handleCounts.clear();
  impl_->hid.reset();
  impl_->ui.reset();
  impl_->kernel.reset();
  current = previous;
}

RunResult Machine::Run(const std::function<void(Script&)>& script) {
  const ProgramEntry entry = impl_->options.entry;
  if (entry == nullptr) {
    throw std::logic_error("Machine::Run: MachineOptions.entry (the program's WinMain) is not set");
  }
  Kernel::Impl& k = impl_->kernel->Internal();
  return impl_->Run(
      *this,
      [entry, &k] { return entry(kModuleInstance, nullptr, k.commandTail.data(), SW_SHOWNORMAL); },
      script);
}

RunResult Machine::RunThread(const std::function<void()>& body,
                             const std::function<void(Script&)>& script) {
  if (!body) throw std::logic_error("Machine::RunThread: no body");
  return impl_->Run(
      *this,
      [&body] {
        body();
        return 0;
      },
      script);
}

RunResult Machine::Impl::Run(Machine& machine, std::function<int()> mainBody,
                             const std::function<void(Script&)>& script) {
  if (ran) throw std::logic_error("Machine::Run: a machine runs once");
  ran = true;
  current = &machine;
  Kernel::Impl& k = kernel->Internal();
  k.inRun = true;
  k.realStart = std::chrono::steady_clock::now();

  const DWORD mainId = k.nextThreadId;
  k.nextThreadId += 4;
  SimThread& main = k.NewThread(mainId, "main thread " + HexString(mainId), false, {});
  main.isMain = true;
  main.body = [&k, &main, &mainBody] {
    const int code = [&mainBody] {
      const race::ProgramCode program;
      return mainBody();
    }();
    k.exitCode = code;
    main.exitCode = static_cast<DWORD>(code);
  };
  Script scriptApi(machine);
  SimThread* scriptThread = nullptr;
  if (script) {
    scriptThread =
        &k.NewThread(kScriptThreadId, "script", true, [&script, &scriptApi] { script(scriptApi); });
  }
  for (SimThread* t : {&main, scriptThread}) {
    if (t == nullptr) continue;
    try {
      k.StartHost(*t);
    } catch (const std::system_error& e) {
      t->finished = true;
      k.Stop(Outcome::kCrashed, std::string("cannot start a host thread: ") + e.what());
    }
  }
  {
    const race::SimCode simCode;
    k.SwitchTo(nullptr, k.PickNext());  // returns when every simulated thread has finished
  }
  k.JoinAll();
  // Whatever the threads did comes before what the caller does next, also
  // for a thread that ExitProcess stopped, which nothing joins.
  for (const auto& t : k.threads) race::HappensAfter(t->object.get());
  k.inRun = false;

  if (ui) OnRunEnd(*ui);
  if (hid) OnRunEnd(*hid);

  RunResult result;
  result.outcome = k.outcome;
  result.exitCode = k.exitCode;
  result.report = k.report;
  result.threadsAliveAtExit = k.aliveAtEnd;
  return result;
}

std::uint64_t Machine::Seed() const { return impl_->options.seed; }
const MachineOptions& Machine::Options() const { return impl_->options; }

UiSystem& Machine::Ui() {
  if (!impl_->ui) throw std::logic_error("this machine has no user32 part");
  return *impl_->ui;
}

HidBus& Machine::Hid() {
  if (!impl_->hid) throw std::logic_error("this machine has no HID bus");
  return *impl_->hid;
}

Kernel& Machine::Kern() { return *impl_->kernel; }
EventLog& Machine::Events() { return impl_->events; }
CallLog& Machine::Calls() { return impl_->calls; }

Machine& Machine::Current() {
  if (current == nullptr) throw std::logic_error("no simulated machine exists");
  return *current;
}

// ---- Script -------------------------------------------------------------------------------

void Script::At(Ticks when) {
  const std::function<bool()> never;
  WaitUntil(never, when, "Script::At(" + std::to_string(when) + ")");
}

void Script::After(Ticks ms) { At(sim::Now() + ms); }

bool Script::WaitFor(const std::function<bool()>& condition, Ticks timeoutMs) {
  return WaitUntil(condition, sim::Now() + timeoutMs,
                   "Script::WaitFor(" + std::to_string(timeoutMs) + ")");
}

Ticks Script::Now() const { return sim::Now(); }

// ---- logs ------------------------------------------------------------------------------------

// The logs are the simulation's own, but tests may add to them from any
// simulated thread.

void EventLog::Add(std::string line) {
  const race::SimCode simCode;
  lines_.push_back(std::to_string(sim::Now()) + " " + std::move(line));
}

std::string EventLog::Text() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += '\n';
  }
  return text;
}

void CallLog::Add(std::string name, std::string args) {
  const race::SimCode simCode;
  calls_.push_back(
      {sim::Now(), CurrentThreadId(), std::move(name), std::move(args), NextSequence()});
}

std::vector<Call> CallLog::Named(std::string_view name) const {
  std::vector<Call> out;
  for (const Call& call : calls_) {
    if (call.name == name) out.push_back(call);
  }
  return out;
}

}  // namespace sim
