// The main dialog's start, its device monitor thread and the stop handshake.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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
  // The monitor thread (the first one the program starts) had returned 1 by
  // itself before the process ended.
  for (const auto& thread : machine.Kern().Threads()) {
    if (thread.id != sim::kMainThreadId + 4) continue;
    EXPECT_FALSE(thread.endedByRunEnd);
    EXPECT_EQ(thread.exitCode, 1u);
  }
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
  const auto threads = machine.Kern().Threads();
  const auto monitor = std::find_if(threads.begin(), threads.end(),
                                    [](const auto& t) { return t.id == sim::kMainThreadId + 4; });
  ASSERT_NE(monitor, threads.end());
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

TEST(Monitor, LostJoystickClearsTheDisplayAndIsFoundAgain) {
  uft::ProgramMachine machine;
  const sim::HidId stick = machine.Hid().Plug();
  Display lost, back;
  sim::Ticks clearedAfter = 0, foundAfter = 0;
  machine.Run([&](sim::Script& s) {
    uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    s.At(2030);
    s.Hid().Unplug(stick);
    const sim::Ticks unplugged = s.Now();
    s.WaitFor([&] { return !Read(s).updateEnabled; }, 5000);
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
  for (std::size_t i = 1; i < pings.size(); ++i) {
    if (pings[i].at - pings[i - 1].at > 200) continue;  // the update came between
    EXPECT_EQ(pings[i].at - pings[i - 1].at, 200u);
  }
  // After the update: bytes 5-9 from the last checksum request (page 16),
  // bytes 10-64 the end of page 16.
  const auto& last = pings.back().bytes;
  EXPECT_EQ(std::vector<std::uint8_t>(last.begin() + 5, last.begin() + 10),
            (std::vector<std::uint8_t>{0x00, 0x20, 0x00, 0x00, 0x01}));
  EXPECT_TRUE(std::equal(last.begin() + 10, last.end(), g_FirmwareImage + 16 * 512 + 512 - 55));
}

struct IconCase {
  int size;
  int x;
};

TEST(Painting, MinimisedDialogCentresItsIcon) {
  const IconCase cases[] = {{36, 2}, {37, 3}, {31, 0}, {30, 0}, {0, -15}};
  for (const auto& c : cases) {
    uft::ProgramMachine machine;
    machine.Ui().SetIconicClientSize(c.size, c.size);
    machine.Run([&](sim::Script& s) {
      HWND dialog = uft::AwaitMainDialog(s);
      s.After(100);
      s.Ui().Minimize(dialog);
      s.After(100);
      uft::CloseProgram(s);
    });
    const auto draws = machine.Calls().Named("DrawIcon");
    ASSERT_FALSE(draws.empty()) << "client " << c.size;
    const std::string expected = "x=" + std::to_string(c.x) + " y=" + std::to_string(c.x);
    EXPECT_NE(draws.back().args.find(expected), std::string::npos)
        << "client " << c.size << ": " << draws.back().args;
  }
}

}  // namespace
