// The main dialog's start, its device monitor thread and the stop handshake.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/UpdateFirmware.h"
#include "app/UpdateFirmwareDlg.h"
#include "firmware/firmware.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

constexpr char kJoystickName[] = "Brelt Kestrune Arcade Joystick";

struct Display {
  std::string name;
  std::string version;
  std::string fileVersion;
  bool updateEnabled = false;
  int bar = 0;
};

Display Read(sim::Script& s) {
  HWND dialog = uft::MainDialog(s);
  return {s.Ui().Text(dialog, 1014), s.Ui().Text(dialog, 1008), s.Ui().Text(dialog, 1010),
          s.Ui().Enabled(s.Ui().Item(dialog, 1000)),
          s.Ui().Progress(s.Ui().Item(dialog, 1017)).pos};
}

std::vector<sim::HidTransfer> MonitorWrites(uft::ProgramMachine& machine) {
  std::vector<sim::HidTransfer> writes;
  for (const auto& t : machine.Hid().Capture()) {
    if (t.write && t.thread != sim::kMainThreadId) writes.push_back(t);
  }
  return writes;
}

TEST(DialogStart, ShowsTheImageReleaseBeforeTheFirstSearch) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  Display before;
  std::vector<sim::MenuItem> menu;
  HICON big = nullptr, small = nullptr;
  int iconId = 0;
  bool transfersBefore = true;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    s.At(900);
    before = Read(s);
    transfersBefore = !machine.Hid().Capture().empty();
    menu = s.Ui().MenuItems(dialog);
    big = s.Ui().Icon(dialog, true);
    small = s.Ui().Icon(dialog, false);
    iconId = s.Ui().IconResourceId(big);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_EQ(before.name, "");
  EXPECT_EQ(before.version, "");
  EXPECT_EQ(before.fileVersion, "V1.12");
  EXPECT_FALSE(before.updateEnabled);
  EXPECT_FALSE(transfersBefore);
  ASSERT_GE(menu.size(), 2u);
  EXPECT_EQ(menu[menu.size() - 2].flags & MF_SEPARATOR, MF_SEPARATOR);
  EXPECT_EQ(menu.back(), (sim::MenuItem{MF_STRING, IDM_ABOUTBOX, "&About."}));
  EXPECT_EQ(big, small);
  EXPECT_EQ(iconId, IDR_MAINFRAME);
}

TEST(DialogStart, NoAboutItemWithoutMenuOrText) {
  for (const bool hideString : {true, false}) {
    uft::ProgramMachine machine;
    if (hideString) {
      machine.Ui().HideString(IDS_ABOUTBOX);
    } else {
      machine.Ui().SetSystemMenuAvailable(false);
    }
    std::vector<sim::MenuItem> menu;
    machine.Run([&](sim::Script& s) {
      menu = s.Ui().MenuItems(uft::AwaitMainDialog(s));
      uft::CloseProgram(s);
    });
    for (const auto& item : menu) EXPECT_NE(item.id, static_cast<UINT_PTR>(IDM_ABOUTBOX));
    EXPECT_TRUE(machine.Calls().Named("AppendMenuA").empty()) << "hidden string: " << hideString;
  }
}

TEST(Monitor, IdentifiesThePluggedJoystick) {
  uft::ProgramMachine machine;
  sim::HidInterfaceSpec spec;
  spec.joystick.release = 0x0A05;
  machine.Hid().Plug(spec);
  Display shown;
  sim::Ticks identifiedAt = 0;
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    identifiedAt = s.Now();
    shown = Read(s);
    uft::CloseProgram(s);
  });
  EXPECT_GE(identifiedAt, 1000u);
  EXPECT_LT(identifiedAt, 1100u);
  EXPECT_EQ(shown.name, kJoystickName);
  EXPECT_EQ(shown.version, "VA.05");
  EXPECT_TRUE(shown.updateEnabled);
}

// Each way of ending the dialog stops the monitor thread and waits for it.
struct StopCase {
  const char* name;
  sim::Ticks at;
  std::function<void(sim::Script&)> stop;
  sim::Ticks endsBy;  // the dialog is gone by then
};

class Stop : public ::testing::TestWithParam<StopCase> {};

TEST_P(Stop, WaitsForTheMonitorThread) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  sim::Ticks goneAt = 0;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(GetParam().at);
    GetParam().stop(s);
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr; }, 10000);
    goneAt = s.Now();
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_LE(goneAt, GetParam().endsBy);
  // The monitor thread had returned 1 by itself before the process ended.
  const auto monitor = uft::FindMonitorThread(machine.Kern());
  ASSERT_TRUE(monitor);
  EXPECT_FALSE(monitor->endedByRunEnd);
  EXPECT_EQ(monitor->exitCode, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, Stop,
    ::testing::Values(
        // Within the first second: the search and its display changes run first.
        StopCase{"CloseBoxInFirstSecond", 500,
                 [](sim::Script& s) { s.Ui().CloseBox(uft::MainDialog(s)); }, 1200},
        StopCase{"CloseWhileWatched", 2050,
                 [](sim::Script& s) { s.Ui().PostClose(uft::MainDialog(s)); }, 2050 + 400},
        StopCase{"EnterWhileWatched", 2050, [](sim::Script& s) { s.Ui().Key(VK_RETURN); },
                 2050 + 400},
        StopCase{"EscapeWhileWatched", 2050, [](sim::Script& s) { s.Ui().Key(VK_ESCAPE); },
                 2050 + 400},
        StopCase{"AltF4WhileWatched", 2050, [](sim::Script& s) { s.Ui().KeyAltF4(); }, 2050 + 400},
        StopCase{"SystemMenuClose", 2050,
                 [](sim::Script& s) { s.Ui().SysCommand(uft::MainDialog(s), SC_CLOSE); },
                 2050 + 400},
        // Another program posts WM_QUIT: the modal loop ends without any of
        // the dialog's handlers, so the dialog's own end must stop the thread.
        StopCase{"QuitPostedFromOutside", 2050,
                 [](sim::Script& s) { ::PostMessageA(uft::MainDialog(s), WM_QUIT, 0, 0); },
                 2050 + 400}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Stop, CloseInFirstSecondLetsTheSearchFinishItsChanges) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(500);
    s.Ui().PostClose(uft::MainDialog(s));
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr; }, 10000);
  });
  const std::string events = machine.Events().Text();
  EXPECT_NE(events.find("text 1014 \"Brelt Kestrune Arcade Joystick\""), std::string::npos)
      << events;
  EXPECT_LT(events.find("enable 1000 1"), events.find("dialog closed 102")) << events;
}

// The dialog is closed before the monitor thread has taken its first step:
// the thread finds the running flag clear at its first test and ends without
// a pass, and the handshake waits for that.
TEST(Stop, BeforeTheThreadsFirstTestNoPassIsMade) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  machine.Kern().DelayThreadStart(1, 3000);
  sim::Ticks goneAt = 0;
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(100);
    s.Ui().PostClose(uft::MainDialog(s));
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr; }, 10000);
    goneAt = s.Now();
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_GE(goneAt, 3000u);
  EXPECT_LE(goneAt, 3000u + 100);
  EXPECT_TRUE(machine.Hid().Opens().empty());  // no search
  const auto monitor = uft::FindMonitorThread(machine.Kern());
  ASSERT_TRUE(monitor);
  EXPECT_FALSE(monitor->endedByRunEnd);
  EXPECT_EQ(monitor->exitCode, 1u);
}

TEST(Stop, WithoutMonitorThreadTheDialogEndsAtOnce) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  machine.Kern().FailAllThreadCreation();
  sim::Ticks goneAt = 0;
  bool enabled = true;
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(3000);
    enabled = Read(s).updateEnabled;
    s.Ui().PostClose(uft::MainDialog(s));
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr; }, 10000);
    goneAt = s.Now();
  });
  EXPECT_FALSE(enabled);
  EXPECT_LE(goneAt, 3000u + 10);
  EXPECT_TRUE(machine.Hid().Opens().empty());
}

// ---- the handlers' own stop, seen from inside the dialog --------------------------------

// What the probe saw. The program's entry reports nowhere else.
struct StopProbe {
  bool modalEnded = false;
  bool cancelled = false;
  CWinThread* slotAtCancel = nullptr;   // when the Cancel handler was entered
  CWinThread* slotAtDestroy = nullptr;  // when the dialog's window began to go
  std::vector<HWND> boundAfterModal;    // the bound members' handles then
};
StopProbe g_stopProbe;

// The main dialog with its Cancel handler and its window's end watched.
class ProbeDlg : public CUpdateFirmwareDlg {
 protected:
  void OnCancel() override {
    g_stopProbe.cancelled = true;
    g_stopProbe.slotAtCancel = m_pMonitorThread.load();
    CUpdateFirmwareDlg::OnCancel();
  }
  // The window's end stops a thread that no handler stopped, so the slot is
  // looked at before that stop can hide a handler's missing one.
  void OnDestroy() {
    g_stopProbe.slotAtDestroy = m_pMonitorThread.load();
    CUpdateFirmwareDlg::OnDestroy();
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeDlg, CUpdateFirmwareDlg)
ON_WM_DESTROY()
END_MESSAGE_MAP()

// The application's start, with the probe as its main dialog.
int WINAPI ProbeMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  if (!theApp.InitFramework(instance)) return -1;
  ProbeDlg dlg;
  theApp.m_pMainWnd = &dlg;
  dlg.DoModal();
  g_stopProbe.boundAfterModal = {dlg.m_editDevice.m_hWnd, dlg.m_editDeviceVersion.m_hWnd,
                                 dlg.m_editFileVersion.m_hWnd, dlg.m_progress.m_hWnd};
  g_stopProbe.modalEnded = true;
  return 0;
}

struct HandlerStopCase {
  const char* name;
  std::function<void(sim::Script&)> close;
  bool viaClose;  // WM_CLOSE, whose default processing then sends Cancel
};

class HandlerStop : public ::testing::TestWithParam<HandlerStopCase> {};

// The dialog is closed while the monitor thread waits for a slow identity
// answer: the handler that ends the dialog waits for the thread itself, so
// the thread's display changes land first and its slot is clear before the
// modal loop ends and the window goes. Enter also runs a second data exchange; the bound members
// let go of their windows all the same.
TEST_P(HandlerStop, TheHandlerWaitsForTheMonitorThread) {
  const HandlerStopCase& c = GetParam();
  g_stopProbe = {};
  sim::MachineOptions options = uft::ProgramOptions();
  options.entry = &ProbeMain;
  uft::ProgramMachine machine(options);
  sim::HidInterfaceSpec spec;
  spec.latency = 300;  // the identification runs from 1000 to 1600
  machine.Hid().Plug(spec);
  const auto result = machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(1100);
    c.close(s);
    ASSERT_TRUE(s.WaitFor([&] { return g_stopProbe.modalEnded; }, 10000));
    // Checked at once: a thread that outlives the dialog may break the run.
    EXPECT_EQ(g_stopProbe.slotAtDestroy, nullptr) << "the dialog ended before its thread";
    for (HWND bound : g_stopProbe.boundAfterModal) EXPECT_EQ(bound, nullptr);
    if (c.viaClose) {
      ASSERT_TRUE(g_stopProbe.cancelled);
      EXPECT_EQ(g_stopProbe.slotAtCancel, nullptr) << "the close itself did not wait";
    }
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  const std::string events = machine.Events().Text();
  const auto named = events.find("text 1014 \"Brelt Kestrune Arcade Joystick\"");
  ASSERT_NE(named, std::string::npos) << events;
  EXPECT_LT(named, events.find("dialog closed 102")) << events;
}

INSTANTIATE_TEST_SUITE_P(
    Ways, HandlerStop,
    ::testing::Values(
        HandlerStopCase{"Enter", [](sim::Script& s) { s.Ui().Key(VK_RETURN); }, false},
        HandlerStopCase{"Escape", [](sim::Script& s) { s.Ui().Key(VK_ESCAPE); }, false},
        HandlerStopCase{"AltF4", [](sim::Script& s) { s.Ui().KeyAltF4(); }, true},
        HandlerStopCase{"SystemMenuClose",
                        [](sim::Script& s) { s.Ui().SysCommand(uft::MainDialog(s), SC_CLOSE); },
                        true},
        HandlerStopCase{"WmClose", [](sim::Script& s) { s.Ui().PostClose(uft::MainDialog(s)); },
                        true}),
    [](const auto& info) { return std::string(info.param.name); });

// The close comes while an update's box is up and the monitor thread, due
// for a search, waits for the link that the update holds: the thread gives
// up waiting once the dialog is stopping, and the program ends once the box
// is answered.
TEST(Stop, WhileTheUpdatesBoxIsUpAndTheMonitorWaitsForTheLink) {
  sim::MachineOptions options = uft::ProgramOptions();
  options.limit = 60000;
  uft::ProgramMachine machine(options);
  machine.Hid().PlugAt(1500);
  std::optional<sim::MessageBoxRecord> box;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    s.At(1600);
    uft::PostUpdateClick(s);  // the button is still disabled
    box = uft::AwaitBox(s, 400);
    s.At(2100);
    s.Ui().PostClose(dialog);
    s.After(300);
    uft::AnswerBox(s);
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr; }, 10000);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_TRUE(box);
  EXPECT_EQ(box->caption, "OK");
  EXPECT_EQ(machine.Ui().Boxes().size(), 1u);
  // The thread gave up its wait by itself: the stop did not have to end the
  // process over a stuck thread.
  EXPECT_TRUE(machine.Calls().Named("ExitProcess").empty());
  const auto monitor = uft::FindMonitorThread(machine.Kern());
  ASSERT_TRUE(monitor);
  EXPECT_FALSE(monitor->endedByRunEnd);
}

TEST(Monitor, LostJoystickClearsTheDisplayAndIsFoundAgain) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  Display updated, lost, back;
  sim::Ticks clearedAfter = 0, foundAfter = 0;
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    // An update first, so that the bar has something to clear.
    ASSERT_TRUE(uft::ClickUpdate(s));
    ASSERT_TRUE(uft::AwaitBox(s));
    uft::AnswerBox(s);
    s.After(330);
    updated = Read(s);
    s.Hid().Unplug(stick);
    const sim::Ticks unplugged = s.Now();
    // The bar is the last of the display to be cleared.
    s.WaitFor([&] { return !Read(s).updateEnabled && Read(s).bar == 0; }, 5000);
    clearedAfter = s.Now() - unplugged;
    lost = Read(s);
    s.After(300);
    s.Hid().Replug(stick);
    const sim::Ticks replugged = s.Now();
    ASSERT_TRUE(uft::AwaitIdentified(s));
    foundAfter = s.Now() - replugged;
    back = Read(s);
    uft::CloseProgram(s);
  });
  EXPECT_EQ(updated.bar, 68);
  EXPECT_LE(clearedAfter, 210u);
  EXPECT_EQ(lost.name, "");
  EXPECT_EQ(lost.version, "");
  EXPECT_EQ(lost.bar, 0);
  EXPECT_LE(foundAfter, 1010u);
  EXPECT_EQ(back.name, kJoystickName);
  EXPECT_TRUE(back.updateEnabled);
}

TEST(Monitor, UnknownDeviceTypeIsShownAndWatched) {
  uft::ProgramMachine machine;
  sim::HidInterfaceSpec spec;
  spec.joystick.deviceType = 0x0421;
  const sim::HidId stick = machine.Hid().Plug(spec);
  Display shown;
  std::size_t pings = 0;
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    s.At(3000);
    shown = Read(s);
    pings = MonitorWrites(machine).size();
    s.Hid().Unplug(stick);
    s.After(300);
    uft::CloseProgram(s);
  });
  EXPECT_EQ(shown.name, "Unknown Device !");
  EXPECT_EQ(shown.version, "");
  EXPECT_FALSE(shown.updateEnabled);
  // The identity query, then a keep-alive every 200 ms, with no new search.
  EXPECT_GE(pings, 1u + 9u);
  EXPECT_EQ(machine.Hid().Opens().size(), 1u);
}

TEST(Monitor, KeepAliveEvery200MsCarriesTheLastBytes) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    ASSERT_TRUE(uft::ClickUpdate(s));
    ASSERT_TRUE(uft::AwaitBox(s));
    uft::AnswerBox(s);
    s.After(1000);
    uft::CloseProgram(s);
  });
  const auto writes = MonitorWrites(machine);
  std::vector<sim::HidTransfer> pings;
  for (const auto& w : writes) {
    if (w.bytes[2] == CMD_PING) pings.push_back(w);
  }
  ASSERT_GE(pings.size(), 6u);
  const auto& capture = machine.Hid().Capture();
  for (std::size_t i = 1; i < pings.size(); ++i) {
    const bool updateBetween = std::any_of(capture.begin(), capture.end(), [&](const auto& t) {
      return t.thread == sim::kMainThreadId && t.at > pings[i - 1].at && t.at < pings[i].at;
    });
    if (updateBetween) continue;
    EXPECT_EQ(pings[i].at - pings[i - 1].at, 200u) << "after the keep-alive at " << pings[i - 1].at;
  }
  // After the update: bytes 5-9 from the last checksum request (page 16),
  // bytes 10-64 the end of page 16.
  const auto& last = pings.back().bytes;
  EXPECT_EQ(std::vector<std::uint8_t>(last.begin() + 5, last.begin() + 10),
            (std::vector<std::uint8_t>{0x00, 0x20, 0x00, 0x00, 0x01}));
  EXPECT_TRUE(std::equal(last.begin() + 10, last.end(), g_FirmwareImage + 16 * 512 + 512 - 55));
}

struct IconCase {
  int width, height;  // client area while minimised
  int cxIcon, cyIcon;
  int x, y;  // where the icon goes
};

// The text after "dc=" in a recorded call.
std::string DcOf(const std::string& args) { return args.substr(args.find("dc=") + 3); }

TEST(Painting, OnlyTheMinimisedDialogDrawsItsIconCentred) {
  const IconCase cases[] = {
      {36, 36, 32, 32, 2, 2},   {37, 37, 32, 32, 3, 3},   {31, 31, 32, 32, 0, 0},
      {30, 30, 32, 32, 0, 0},   {0, 0, 32, 32, -15, -15}, {60, 40, 32, 32, 14, 4},
      {40, 60, 48, 32, -3, 14}, {36, 36, 16, 48, 10, -5},
  };
  for (const auto& c : cases) {
    uft::ProgramMachine machine;
    machine.Ui().SetIconicClientSize(c.width, c.height);
    machine.Ui().SetSystemMetric(SM_CXICON, c.cxIcon);
    machine.Ui().SetSystemMetric(SM_CYICON, c.cyIcon);
    const std::string what = "client " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                             ", icon " + std::to_string(c.cxIcon) + "x" + std::to_string(c.cyIcon);
    machine.Run([&](sim::Script& s) {
      HWND dialog = uft::AwaitMainDialog(s);
      s.After(100);
      s.Ui().Invalidate(dialog);  // painted again as it is
      s.After(100);
      s.Ui().Minimize(dialog);
      s.After(100);
      s.Ui().Restore(dialog);
      s.After(100);
      uft::CloseProgram(s);
    });
    // One paint of the minimised dialog, its erase and its icon on the paint's DC.
    const auto paints = machine.Calls().Named("BeginPaint");
    const auto erases = machine.Calls().Named("SendMessageA");  // WM_ICONERASEBKGND only
    const auto draws = machine.Calls().Named("DrawIcon");
    ASSERT_EQ(paints.size(), 1u) << what;
    ASSERT_EQ(erases.size(), 1u) << what;
    ASSERT_EQ(draws.size(), 1u) << what;
    const std::string dc = DcOf(paints[0].args);
    EXPECT_TRUE(erases[0].args.ends_with(" wParam=" + dc)) << what << ": " << erases[0].args;
    EXPECT_EQ(draws[0].args, "x=" + std::to_string(c.x) + " y=" + std::to_string(c.y) +
                                 " icon=" + std::to_string(IDR_MAINFRAME) + " dc=" + dc)
        << what;
  }
}

// Dragging the minimised dialog asks it for the icon to show; the answer is
// the message's result itself, not a dialog's TRUE.
TEST(Painting, MinimisedDialogAnswersTheDragIconQueryWithItsIcon) {
  uft::ProgramMachine machine;
  LRESULT answer = 0;
  machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    s.Ui().Minimize(dialog);
    answer = ::SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0);
    uft::CloseProgram(s);
  });
  EXPECT_EQ(machine.Ui().IconResourceId(reinterpret_cast<HICON>(answer)), IDR_MAINFRAME)
      << "answer " << answer;
}

}  // namespace
