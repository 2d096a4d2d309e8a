// What ThreadSanitizer sees of the simulated Windows. A write on one program
// thread and a read on another must be reported as a race exactly when
// nothing Windows guarantees orders them: the simulation runs one thread at
// a time, and that must neither hide races nor invent them.
//
// Built only under ThreadSanitizer. Each case runs in a process of its own
// (this executable with --case NAME): the detector reports a race once per
// process and fails that process at exit.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>

#include "program_resources.h"
#include "simwin/hid.h"
#include "simwin/kernel.h"
#include "simwin/machine.h"

namespace {

constexpr int kAboutTemplate = 100;  // any dialog of the program will do

// The data the threads share. Plain, not atomic: ordering it is the point.
struct Shared {
  int value = 0;
  int seen = 0;
  int answer = 0;
  HWND dialog = nullptr;
  HANDLE event = nullptr;
  CRITICAL_SECTION lock{};
  HANDLE worker = nullptr;
  std::string joystickPath;
  HANDLE device = nullptr;
  BYTE report[65] = {};
};

Shared g_shared;

HANDLE Start(LPTHREAD_START_ROUTINE body) {
  return CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
}

void Finish(HANDLE thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// ---- the cases: each body runs as the simulated main thread --------------------------

void NoOrdering() {
  HANDLE writer = Start([](LPVOID) -> DWORD {
    g_shared.value = 1;
    return 0;
  });
  Sleep(100);  // long after the write, in virtual time, but unordered
  g_shared.seen = g_shared.value;
  Finish(writer);
}

void WriteAfterSetEvent() {
  g_shared.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE writer = Start([](LPVOID) -> DWORD {
    SetEvent(g_shared.event);
    g_shared.value = 1;  // after the signal: the waiter is not ordered after it
    return 0;
  });
  WaitForSingleObject(g_shared.event, INFINITE);
  Sleep(100);
  g_shared.seen = g_shared.value;
  Finish(writer);
  CloseHandle(g_shared.event);
}

void WriteAfterCreateThread() {
  HANDLE reader = Start([](LPVOID) -> DWORD {
    Sleep(100);
    g_shared.seen = g_shared.value;
    return 0;
  });
  g_shared.value = 1;
  Finish(reader);
}

// The writer holds a critical section; the reader takes it or not.
void LockedWrite(bool readerLocks) {
  InitializeCriticalSection(&g_shared.lock);
  HANDLE writer = Start([](LPVOID) -> DWORD {
    EnterCriticalSection(&g_shared.lock);
    g_shared.value = 1;
    LeaveCriticalSection(&g_shared.lock);
    return 0;
  });
  Sleep(100);
  if (readerLocks) EnterCriticalSection(&g_shared.lock);
  g_shared.seen = g_shared.value;
  if (readerLocks) LeaveCriticalSection(&g_shared.lock);
  Finish(writer);
  DeleteCriticalSection(&g_shared.lock);
}

void ReadOutsideLock() { LockedWrite(false); }

// The reader is created first but takes its first step late (see the
// setup); the writer's ResumeThread of a thread that was never suspended
// orders nothing.
void ResumeNotSuspended() {
  HANDLE reader = Start([](LPVOID) -> DWORD {
    g_shared.seen = g_shared.value;
    return 0;
  });
  HANDLE writer = CreateThread(
      nullptr, 0,
      [](LPVOID reader) -> DWORD {
        g_shared.value = 1;
        ResumeThread(static_cast<HANDLE>(reader));
        return 0;
      },
      reader, 0, nullptr);
  Finish(writer);
  Finish(reader);
}

void DelayFirstThread(sim::Machine& machine) { machine.Kern().DelayThreadStart(1, 50); }

// WriteFile reads the program's buffer on the writing thread.
void TransferBufferUnordered() {
  g_shared.device =
      CreateFileA(g_shared.joystickPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE writer = Start([](LPVOID) -> DWORD {
    DWORD written = 0;
    WriteFile(g_shared.device, g_shared.report, sizeof g_shared.report, &written, nullptr);
    return 0;
  });
  Sleep(100);
  g_shared.report[1] = 1;
  Finish(writer);
  CloseHandle(g_shared.device);
}

void PlugJoystick(sim::Machine& machine) {
  g_shared.joystickPath = machine.Hid().Path(machine.Hid().Plug());
}

void ThreadStart() {
  g_shared.value = 1;
  Finish(Start([](LPVOID) -> DWORD {
    g_shared.seen = g_shared.value;
    return 0;
  }));
}

void ResumeSuspended() {
  HANDLE reader = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        g_shared.seen = g_shared.value;
        return 0;
      },
      nullptr, CREATE_SUSPENDED, nullptr);
  g_shared.value = 1;
  ResumeThread(reader);
  Finish(reader);
}

void ThreadEnd() {
  Finish(Start([](LPVOID) -> DWORD {
    g_shared.value = 1;
    return 0;
  }));
  g_shared.seen = g_shared.value;
}

void ExitCodePolled() {
  HANDLE writer = Start([](LPVOID) -> DWORD {
    Sleep(10);
    g_shared.value = 1;
    return 0;
  });
  DWORD code = STILL_ACTIVE;
  while (GetExitCodeThread(writer, &code) && code == STILL_ACTIVE) Sleep(1);
  g_shared.seen = g_shared.value;
  CloseHandle(writer);
}

void Event() {
  g_shared.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE writer = Start([](LPVOID) -> DWORD {
    g_shared.value = 1;
    SetEvent(g_shared.event);
    return 0;
  });
  WaitForSingleObject(g_shared.event, INFINITE);
  g_shared.seen = g_shared.value;
  Finish(writer);
  CloseHandle(g_shared.event);
}

void EventInMsgWait() {
  g_shared.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE writer = Start([](LPVOID) -> DWORD {
    Sleep(10);
    g_shared.value = 1;
    SetEvent(g_shared.event);
    return 0;
  });
  while (MsgWaitForMultipleObjectsEx(1, &g_shared.event, INFINITE, QS_SENDMESSAGE, 0) !=
         WAIT_OBJECT_0) {
  }
  g_shared.seen = g_shared.value;
  Finish(writer);
  CloseHandle(g_shared.event);
}

void CriticalSection() { LockedWrite(true); }

// A dialog on the main thread, and a worker that talks to it with messages.
// The dialog reads `value` when WM_APP arrives and answers in `answer`;
// WM_APP + 1 closes it.
struct DialogPlan {
  LPTHREAD_START_ROUTINE worker;
  bool postsItself;  // the dialog posts its own WM_APP at once
};

INT_PTR CALLBACK MessageProc(HWND h, UINT message, WPARAM, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* plan = reinterpret_cast<const DialogPlan*>(lParam);
      g_shared.dialog = h;
      g_shared.worker = Start(plan->worker);
      if (plan->postsItself) PostMessageA(h, WM_APP, 0, 0);
      return TRUE;
    }
    case WM_APP:
      g_shared.seen = g_shared.value;
      g_shared.answer = 2;
      return TRUE;
    case WM_APP + 1:
      EndDialog(h, 1);
      return TRUE;
    default:
      return FALSE;
  }
}

void WithDialog(LPTHREAD_START_ROUTINE worker, bool postsItself = false) {
  const DialogPlan plan{worker, postsItself};
  DialogBoxParamA(nullptr, MAKEINTRESOURCEA(kAboutTemplate), nullptr, &MessageProc,
                  reinterpret_cast<LPARAM>(&plan));
  Finish(g_shared.worker);
}

void SentMessage() {
  WithDialog([](LPVOID) -> DWORD {
    g_shared.value = 1;
    SendMessageA(g_shared.dialog, WM_APP, 0, 0);
    g_shared.value = g_shared.answer;  // the reply orders the dialog's write before this
    PostMessageA(g_shared.dialog, WM_APP + 1, 0, 0);
    return 0;
  });
}

void PostedMessage() {
  WithDialog([](LPVOID) -> DWORD {
    g_shared.value = 1;
    PostMessageA(g_shared.dialog, WM_APP, 0, 0);
    PostMessageA(g_shared.dialog, WM_APP + 1, 0, 0);
    return 0;
  });
}

// Taking one message orders the taker after that message's post alone.
void WriteAfterPost() {
  WithDialog([](LPVOID) -> DWORD {
    PostMessageA(g_shared.dialog, WM_APP, 0, 0);
    g_shared.value = 1;
    PostMessageA(g_shared.dialog, WM_APP + 1, 0, 0);
    return 0;
  });
}

// The dialog procedure's own read, ordered after nothing the worker did.
void DialogProcedureUnordered() {
  WithDialog(
      [](LPVOID) -> DWORD {
        g_shared.value = 1;
        Sleep(50);
        PostMessageA(g_shared.dialog, WM_APP + 1, 0, 0);
        return 0;
      },
      true);
}

struct Case {
  const char* name;
  void (*body)();
  bool race;
  void (*setup)(sim::Machine&) = nullptr;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

constexpr std::array kCases = {
    Case{"NoOrdering", &NoOrdering, true},
    Case{"WriteAfterSetEvent", &WriteAfterSetEvent, true},
    Case{"WriteAfterCreateThread", &WriteAfterCreateThread, true},
    Case{"ReadOutsideLock", &ReadOutsideLock, true},
    Case{"ResumeNotSuspended", &ResumeNotSuspended, true, &DelayFirstThread},
    Case{"TransferBufferUnordered", &TransferBufferUnordered, true, &PlugJoystick},
    Case{"WriteAfterPost", &WriteAfterPost, true},
    Case{"DialogProcedureUnordered", &DialogProcedureUnordered, true},
    Case{"ThreadStart", &ThreadStart, false},
    Case{"ResumeSuspended", &ResumeSuspended, false},
    Case{"ThreadEnd", &ThreadEnd, false},
    Case{"ExitCodePolled", &ExitCodePolled, false},
    Case{"Event", &Event, false},
    Case{"EventInMsgWait", &EventInMsgWait, false},
    Case{"CriticalSection", &CriticalSection, false},
    Case{"SentMessage", &SentMessage, false},
    Case{"PostedMessage", &PostedMessage, false},
};

// Runs one case on a fresh machine; the exit code says how the run ended.
int RunCase(std::string_view name) {
  for (const Case& c : kCases) {
    if (name != c.name) continue;
    sim::MachineOptions options;
    options.resources = ProgramResources();
    sim::Machine machine(options);
    if (c.setup != nullptr) c.setup(machine);
    const sim::RunResult result = machine.RunThread(c.body);
    if (result.outcome != sim::Outcome::kExited) {
      std::fprintf(stderr, "run ended badly:\n%s", result.report.c_str());
      return 2;
    }
    return 0;
  }
  std::fprintf(stderr, "no case named %.*s\n", static_cast<int>(name.size()), name.data());
  return 2;
}

struct Outcome {
  int status = -1;
  std::string output;
};

Outcome RunChild(const char* name) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = "'" + self + "' --case " + name + " 2>&1";
  Outcome outcome;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  std::array<char, 4096> buffer;
  while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) outcome.output += buffer.data();
  outcome.status = pclose(pipe);
  return outcome;
}

class RaceDetector : public ::testing::TestWithParam<Case> {};

TEST_P(RaceDetector, ReportsExactlyTheUnorderedAccesses) {
  const Case& c = GetParam();
  const Outcome child = RunChild(c.name);
  // A race must be on the shared data, not somewhere in the simulation.
  const bool reported = child.output.find("ThreadSanitizer: data race") != std::string::npos &&
                        child.output.find("g_shared") != std::string::npos;
  const bool anyReport = child.output.find("ThreadSanitizer") != std::string::npos;
  EXPECT_EQ(reported, c.race) << child.output;
  EXPECT_TRUE(c.race || !anyReport) << child.output;
  EXPECT_EQ(child.status == 0, !c.race) << child.output;  // a report fails the process
  EXPECT_EQ(child.output.find("run ended badly"), std::string::npos) << child.output;
}

INSTANTIATE_TEST_SUITE_P(Orderings, RaceDetector, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--case") == 0) return RunCase(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
