// uf_joystick: a stand-in arcade joystick for the Wine end-to-end checks. A
// Windows console program that serves a named pipe as the joystick's HID
// interface (the stand-in setupapi.dll and hid.dll make the pipe look like
// one to UpdateFirmware.exe) and answers with the simulated joystick's model
// (sim/src/joystick.cpp), so that a run under Wine can be compared report for
// report with the same run on the simulated Windows.
//
//   uf_joystick --pipe NAME --log FILE [--control FILE] [--flash FILE]
//               [--release HEX] [--foreign NAME] [--bad-checksum PAGE]...
//               [--unplug-after KIND:N] [--stall-after KIND:N]
//               [--pause-after KIND:N:MS]
//
// --foreign serves a second pipe as a HID device that is not the joystick: it
// takes connections and expects no report. KIND:N is the Nth report of a kind
// (identify, ping, erase, data, program, checksum, finish, or report for any);
// after it the joystick is unplugged (every instance of its pipe closed), or
// stalls (takes and answers nothing more), or pauses for MS ms before it takes
// the next report. Report N itself is taken; after an unplug or a stall it is
// not answered.
//
// The control file is read as it grows, one command a line: unplug, replug
// (plugged in again: the flash kept, a page under way lost, a stall ended),
// stall, resume (ends a pause), bad-checksum PAGE, quit (writes the flash to
// the --flash file and ends).
//
// The log has one line per event, written as it happens (binary, '\n'):
//   TICK - ready PIPE                   serving PIPE
//   TICK cN open PIPE                   connection N made
//   TICK cN close                       the program closed connection N
//   TICK cN W ok HEX KIND [page=P]      a report taken (its bytes as written)
//   TICK cN R ok HEX                    an answer sent (its bytes as read)
//   TICK cN unexpected WHAT             a report the joystick did not expect
//   TICK - unplug|replug|stall|resume|pause MS|bad-checksum P
//   TICK - completed release 0xRRRR     the finish came with every page programmed
//   TICK - quit N reports, M unexpected
// TICK is GetTickCount64(), the clock every process of the Wine prefix shares.
// The W and R lines have the fields of updater-sim's capture lines.
//
// Exit status: 0 after quit, 1 bad usage, 2 a pipe or file could not be made.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "simwin/joystick.h"
#include "support/report_trigger.h"

namespace {

constexpr DWORD kControlPollMs = 20;
constexpr DWORD kAnswerTimeoutMs = 2000;
// Room for as many unread answers as a HID driver's input ring buffer holds.
constexpr DWORD kOutBufferSize = 32 * sim::kHidReportSize;
// No room for a report in the pipe: the program's WriteFile completes only
// once the joystick has taken the report, as a HID output report does.
constexpr DWORD kInBufferSize = 0;

struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

class Log {
 public:
  explicit Log(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~Log() {
    if (file_ != nullptr) std::fclose(file_);
  }
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  bool Ok() const { return file_ != nullptr; }

  // One line: the tick, the source ("cN" or "-"), then the printf-formatted rest.
  [[gnu::format(gnu_printf, 3, 4)]] void Line(const std::string& source, const char* format, ...) {
    std::fprintf(file_, "%llu %s ", static_cast<unsigned long long>(GetTickCount64()),
                 source.c_str());
    va_list args;
    va_start(args, format);
    std::vfprintf(file_, format, args);
    va_end(args);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  std::FILE* file_;
};

struct PauseTrigger {
  uft::ReportTrigger after;
  DWORD ms = 0;
};

struct Options {
  std::string pipe;
  std::string foreignPipe;
  std::string logFile;
  std::string controlFile;
  std::string flashFile;
  std::uint16_t release = 0x0100;
  std::vector<std::size_t> badChecksumPages;
  std::optional<uft::ReportTrigger> unplugAfter;
  std::optional<uft::ReportTrigger> stallAfter;
  std::optional<PauseTrigger> pauseAfter;
};

unsigned long long Number(const std::string& text, int base = 0) {
  std::size_t used = 0;
  const unsigned long long value = std::stoull(text, &used, base);
  if (used != text.size() || text[0] == '-') throw std::invalid_argument("not a number: " + text);
  return value;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
    const std::string value = argv[++i];
    if (flag == "--pipe") {
      options.pipe = value;
    } else if (flag == "--foreign") {
      options.foreignPipe = value;
    } else if (flag == "--log") {
      options.logFile = value;
    } else if (flag == "--control") {
      options.controlFile = value;
    } else if (flag == "--flash") {
      options.flashFile = value;
    } else if (flag == "--release") {
      options.release = static_cast<std::uint16_t>(Number(value, 16));
    } else if (flag == "--bad-checksum") {
      options.badChecksumPages.push_back(Number(value));
    } else if (flag == "--unplug-after") {
      options.unplugAfter = uft::ParseReportTrigger(value);
    } else if (flag == "--stall-after") {
      options.stallAfter = uft::ParseReportTrigger(value);
    } else if (flag == "--pause-after") {
      const auto colon = value.rfind(':');
      if (colon == std::string::npos) throw std::invalid_argument("expected KIND:N:MS");
      options.pauseAfter = PauseTrigger{uft::ParseReportTrigger(value.substr(0, colon)),
                                        static_cast<DWORD>(Number(value.substr(colon + 1)))};
    } else {
      throw std::invalid_argument("unknown option " + flag);
    }
  }
  if (options.pipe.empty() || options.logFile.empty()) {
    throw std::invalid_argument("--pipe and --log are needed");
  }
  return options;
}

// One server end of a pipe, with the overlapped operation under way on it.
struct Instance {
  enum class State {
    kListening,  // ConnectNamedPipe under way
    kReading,    // ReadFile under way
    kHolding,    // connected, nothing read for now (stalled or paused)
  };

  UniqueHandle pipe;
  UniqueHandle event;
  OVERLAPPED overlapped{};
  State state = State::kListening;
  bool joystick = true;
  bool connected = false;
  bool discardRest = false;  // the rest of an over-long message follows
  std::string source = "-";  // "cN" once connected
  std::array<std::uint8_t, sim::kHidReportSize> buffer{};

  ~Instance() { Cancel(); }

  bool Pending() const { return state != State::kHolding; }

  // Ends the operation under way and waits until the system is done with
  // the buffer. True when a read had in fact completed (the report is in
  // the buffer, `taken` bytes).
  bool Cancel(DWORD* taken = nullptr) {
    if (!Pending() || !pipe) return false;
    CancelIoEx(pipe.get(), &overlapped);
    DWORD size = 0;
    const BOOL done = GetOverlappedResult(pipe.get(), &overlapped, &size, TRUE);
    const bool read = state == State::kReading && done;
    state = State::kHolding;
    if (taken != nullptr) *taken = size;
    return read;
  }
};

class Emulator {
 public:
  Emulator(Options options, Log& log)
      : options_(std::move(options)), log_(log), joystick_(JoystickOptionsFor(options_)) {
    for (std::size_t page : options_.badChecksumPages) joystick_.BadChecksumForPage(page);
  }

  int Run() {
    if (!Listen(true) || (!options_.foreignPipe.empty() && !Listen(false))) return 2;
    log_.Line("-", "ready %s", options_.pipe.c_str());
    if (!options_.foreignPipe.empty()) log_.Line("-", "ready %s", options_.foreignPipe.c_str());
    while (!quit_) {
      WaitForActivity();
      if (pausedUntil_ && GetTickCount64() >= *pausedUntil_) Resume();
      PollControl();
    }
    return Quit();
  }

 private:
  static sim::JoystickOptions JoystickOptionsFor(const Options& options) {
    sim::JoystickOptions joystick;
    joystick.release = options.release;
    return joystick;
  }

  const std::string& PipeName(bool joystick) const {
    return joystick ? options_.pipe : options_.foreignPipe;
  }

  // A new instance of the pipe, waiting for a connection.
  bool Listen(bool joystick) {
    auto instance = std::make_unique<Instance>();
    instance->joystick = joystick;
    instance->pipe.reset(
        CreateNamedPipeA(PipeName(joystick).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                         PIPE_UNLIMITED_INSTANCES, kOutBufferSize, kInBufferSize, 0, nullptr));
    if (instance->pipe.get() == INVALID_HANDLE_VALUE) {
      instance->pipe.release();
      return Fatal("CreateNamedPipe(" + PipeName(joystick) + ")");
    }
    instance->event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!instance->event) return Fatal("CreateEvent");
    instance->overlapped.hEvent = instance->event.get();
    if (!ConnectNamedPipe(instance->pipe.get(), &instance->overlapped)) {
      const DWORD error = GetLastError();
      // A client that connected between the two calls is connected already.
      if (error == ERROR_PIPE_CONNECTED) {
        SetEvent(instance->event.get());
      } else if (error != ERROR_IO_PENDING) {
        return Fatal("ConnectNamedPipe(" + PipeName(joystick) + ")");
      }
    }
    instances_.push_back(std::move(instance));
    return true;
  }

  bool Fatal(const std::string& call) {
    const DWORD error = GetLastError();
    log_.Line("-", "error %s failed, error %lu", call.c_str(), error);
    std::fprintf(stderr, "uf_joystick: %s failed, error %lu\n", call.c_str(), error);
    quit_ = true;
    failed_ = true;
    return false;
  }

  void WaitForActivity() {
    std::vector<HANDLE> events;
    std::vector<Instance*> waiting;
    for (auto& instance : instances_) {
      if (!instance->Pending()) continue;
      events.push_back(instance->event.get());
      waiting.push_back(instance.get());
    }
    DWORD timeout = kControlPollMs;
    if (pausedUntil_) {
      const ULONGLONG now = GetTickCount64();
      timeout = *pausedUntil_ > now ? std::min<DWORD>(timeout, DWORD(*pausedUntil_ - now)) : 0;
    }
    if (events.empty()) {
      Sleep(timeout);  // nothing to wait on but the clock and the control file
      return;
    }
    const DWORD result =
        WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, timeout);
    if (result < WAIT_OBJECT_0 + events.size()) OnSignalled(*waiting[result - WAIT_OBJECT_0]);
  }

  void OnSignalled(Instance& instance) {
    DWORD size = 0;
    const BOOL done = GetOverlappedResult(instance.pipe.get(), &instance.overlapped, &size, FALSE);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (instance.state == Instance::State::kListening) {
      instance.state = Instance::State::kHolding;
      if (!done) {
        const bool joystick = instance.joystick;
        log_.Line("-", "connect-failed error=%lu", error);
        Remove(instance);
        if (!joystick || plugged_) Listen(joystick);
        return;
      }
      instance.connected = true;
      instance.source = "c" + std::to_string(++connections_);
      log_.Line(instance.source, "open %s", PipeName(instance.joystick).c_str());
      // The next instance listens before anything else happens, so the pipe
      // never vanishes from the interface list while the device is plugged.
      if (!Listen(instance.joystick)) return;
      StartRead(instance);
      return;
    }
    instance.state = Instance::State::kHolding;
    if (done || error == ERROR_MORE_DATA) {
      OnReport(instance, size, error == ERROR_MORE_DATA);
    } else {
      // ERROR_BROKEN_PIPE: the program closed its handle.
      log_.Line(instance.source, "close");
      Remove(instance);
    }
  }

  void StartRead(Instance& instance) {
    if (instance.joystick && (stalled_ || pausedUntil_)) return;  // holding
    instance.state = Instance::State::kReading;
    if (!ReadFile(instance.pipe.get(), instance.buffer.data(),
                  static_cast<DWORD>(instance.buffer.size()), nullptr, &instance.overlapped)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
        instance.state = Instance::State::kHolding;
        log_.Line(instance.source, "close");
        Remove(instance);
      }
    }
  }

  void Unexpected(const Instance& instance, const std::string& what) {
    ++unexpected_;
    log_.Line(instance.source, "unexpected %s", what.c_str());
  }

  // A report the program wrote has been taken: the joystick's model handles
  // it, then the faults that begin after it, then its answer.
  void OnReport(Instance& instance, DWORD size, bool longer) {
    const std::string hex = Hex(instance.buffer.data(), size);
    if (instance.discardRest) {
      instance.discardRest = longer;
      StartRead(instance);
      return;
    }
    ++reports_;
    if (!instance.joystick) {
      log_.Line(instance.source, "W ok %s foreign", hex.c_str());
      Unexpected(instance, "a report written to a device that is not the joystick");
      StartRead(instance);
      return;
    }
    // The HID class driver would refuse these; here they can only be flagged.
    if (longer || size != sim::kHidReportSize || instance.buffer[0] != 0) {
      log_.Line(instance.source, "W ok %s malformed", hex.c_str());
      Unexpected(instance,
                 longer || size != sim::kHidReportSize
                     ? "a report that is not " + std::to_string(sim::kHidReportSize) + " bytes long"
                     : "a report id other than 0");
      instance.discardRest = longer;
      StartRead(instance);
      return;
    }

    const bool completedBefore = joystick_.UpdateCompleted();
    const std::optional<sim::HidReport> answer = joystick_.Receive(instance.buffer, 0);
    const sim::JoystickEvent& event = joystick_.Events().back();
    const char* kind = uft::ReportKindName(event.kind);
    if (event.kind == sim::JoystickEvent::Kind::kErase ||
        event.kind == sim::JoystickEvent::Kind::kProgram ||
        event.kind == sim::JoystickEvent::Kind::kReadChecksum) {
      log_.Line(instance.source, "W ok %s %s page=%u", hex.c_str(), kind, event.page);
    } else {
      log_.Line(instance.source, "W ok %s %s", hex.c_str(), kind);
    }
    if (!event.accepted) Unexpected(instance, std::string(kind) + " refused by the joystick");
    if (!completedBefore && joystick_.UpdateCompleted()) {
      log_.Line("-", "completed release 0x%04x", joystick_.Release());
    }

    if (Fires(options_.unplugAfter, unplugFired_)) {
      Unplug();
      return;
    }
    if (Fires(options_.stallAfter, stallFired_)) Stall();
    if (answer && !stalled_) Answer(instance, *answer);
    if (options_.pauseAfter && Fires(options_.pauseAfter->after, pauseFired_)) {
      Pause(options_.pauseAfter->ms);
    }
    StartRead(instance);
  }

  bool Fires(const std::optional<uft::ReportTrigger>& trigger, bool& fired) {
    if (!trigger || fired || !trigger->Reached(joystick_)) return false;
    fired = true;
    return true;
  }

  void Answer(Instance& instance, const sim::HidReport& answer) {
    OVERLAPPED overlapped{};
    UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    overlapped.hEvent = event.get();
    DWORD written = 0;
    BOOL ok = WriteFile(instance.pipe.get(), answer.data(), static_cast<DWORD>(answer.size()),
                        nullptr, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      // The pipe has room for many answers; a full one means the program
      // stopped reading.
      if (WaitForSingleObject(event.get(), kAnswerTimeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(instance.pipe.get(), &overlapped);
      }
      ok = GetOverlappedResult(instance.pipe.get(), &overlapped, &written, TRUE);
    } else if (ok) {
      GetOverlappedResult(instance.pipe.get(), &overlapped, &written, TRUE);
    }
    if (ok && written == answer.size()) {
      log_.Line(instance.source, "R ok %s", Hex(answer.data(), answer.size()).c_str());
    } else {
      log_.Line(instance.source, "answer-lost error=%lu", ok ? 0ul : GetLastError());
    }
  }

  void Remove(const Instance& instance) {
    std::erase_if(instances_, [&](const auto& held) { return held.get() == &instance; });
  }

  // ---- faults ----

  void Unplug() {
    log_.Line("-", "unplug");
    // Every instance goes: connections break and the pipe leaves the list.
    std::erase_if(instances_, [](const auto& instance) { return instance->joystick; });
    plugged_ = false;
  }

  void Replug() {
    if (plugged_) Unplug();
    log_.Line("-", "replug");
    joystick_.PowerCycle();
    plugged_ = true;
    stalled_ = false;
    pausedUntil_.reset();
    Listen(true);
  }

  // Nothing more is read: the program's writes wait until they give up.
  void Stall() {
    log_.Line("-", "stall");
    stalled_ = true;
    HoldReads();
  }

  void Pause(DWORD ms) {
    log_.Line("-", "pause %lu", ms);
    pausedUntil_ = GetTickCount64() + ms;
    HoldReads();
  }

  void Resume() {
    if (!pausedUntil_) return;
    log_.Line("-", "resume");
    pausedUntil_.reset();
    for (std::size_t i = 0; i < instances_.size(); ++i) {
      Instance& instance = *instances_[i];
      if (instance.joystick && instance.connected && instance.state == Instance::State::kHolding) {
        StartRead(instance);
      }
    }
  }

  // Ends the reads under way on the joystick's connections; a report that
  // was taken just before counts as taken.
  void HoldReads() {
    for (std::size_t i = 0; i < instances_.size(); ++i) {
      Instance& instance = *instances_[i];
      if (!instance.joystick || instance.state != Instance::State::kReading) continue;
      DWORD size = 0;
      if (instance.Cancel(&size)) OnReport(instance, size, false);
    }
  }

  // ---- the control file ----

  void PollControl() {
    if (options_.controlFile.empty()) return;
    if (!control_) {
      control_.reset(CreateFileA(options_.controlFile.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (control_.get() == INVALID_HANDLE_VALUE) {
        control_.release();
        return;  // not made yet
      }
    }
    char chunk[512];
    DWORD read = 0;
    while (ReadFile(control_.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) {
      pendingControl_.append(chunk, read);
    }
    for (auto end = pendingControl_.find('\n'); end != std::string::npos;
         end = pendingControl_.find('\n')) {
      std::string line = pendingControl_.substr(0, end);
      pendingControl_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      Command(line);
    }
  }

  void Command(const std::string& line) {
    if (line == "unplug") {
      if (plugged_) Unplug();
    } else if (line == "replug") {
      Replug();
    } else if (line == "stall") {
      Stall();
    } else if (line == "resume") {
      Resume();
    } else if (line == "quit") {
      quit_ = true;
    } else if (line.rfind("bad-checksum ", 0) == 0) {
      try {
        const std::size_t page = Number(line.substr(13));
        joystick_.BadChecksumForPage(page);
        log_.Line("-", "bad-checksum %llu", static_cast<unsigned long long>(page));
      } catch (const std::exception&) {
        log_.Line("-", "bad-command %s", line.c_str());
      }
    } else if (!line.empty()) {
      log_.Line("-", "bad-command %s", line.c_str());
    }
  }

  int Quit() {
    instances_.clear();
    if (!options_.flashFile.empty() && !failed_) {
      std::FILE* flash = std::fopen(options_.flashFile.c_str(), "wb");
      const auto bytes = joystick_.Flash();
      if (flash == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), flash) != bytes.size()) {
        std::fprintf(stderr, "uf_joystick: cannot write %s\n", options_.flashFile.c_str());
        failed_ = true;
      }
      if (flash != nullptr) std::fclose(flash);
    }
    log_.Line("-", "quit %llu reports, %llu unexpected", reports_, unexpected_);
    return failed_ ? 2 : 0;
  }

  Options options_;
  Log& log_;
  sim::Joystick joystick_;
  std::vector<std::unique_ptr<Instance>> instances_;
  bool plugged_ = true;
  bool stalled_ = false;
  std::optional<ULONGLONG> pausedUntil_;
  bool unplugFired_ = false;
  bool stallFired_ = false;
  bool pauseFired_ = false;
  bool quit_ = false;
  bool failed_ = false;
  int connections_ = 0;
  unsigned long long reports_ = 0;
  unsigned long long unexpected_ = 0;
  UniqueHandle control_;
  std::string pendingControl_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr,
                 "uf_joystick: %s\n"
                 "usage: uf_joystick --pipe NAME --log FILE [--control FILE] [--flash FILE]\n"
                 "  [--release HEX] [--foreign NAME] [--bad-checksum PAGE]...\n"
                 "  [--unplug-after KIND:N] [--stall-after KIND:N] [--pause-after KIND:N:MS]\n",
                 error.what());
    return 1;
  }
  Log log(options.logFile);
  if (!log.Ok()) {
    std::fprintf(stderr, "uf_joystick: cannot write the log %s\n", options.logFile.c_str());
    return 2;
  }
  return Emulator(std::move(options), log).Run();
}
