// The about box from the system menu, and the F1 help request.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/UpdateFirmwareDlg.h"
#include "simwin/kernel.h"
#include "support/program_run.h"

namespace {

HWND AboutBox(sim::Script& s) { return s.Ui().Dialog(uft::kAboutBox); }

// The about box once it is up (created, initialised and shown).
HWND AwaitAboutBox(sim::Script& s) {
  s.WaitFor([&] { return AboutBox(s) != nullptr && s.Ui().Visible(AboutBox(s)); }, 5000);
  return AboutBox(s);
}

TEST(AboutBox, OpensForEveryIdentifierOfTheAboutRange) {
  for (const UINT id : {0x0010u, 0x0011u, 0x0015u, 0x001Fu}) {
    uft::ProgramMachine machine;
    bool opened = false, mainEnabled = true;
    HWND owner = nullptr, main = nullptr;
    machine.Run([&](sim::Script& s) {
      main = uft::AwaitMainDialog(s);
      // The menu holds 0x10 only; the others arrive as another program may send them.
      ::PostMessageA(main, WM_SYSCOMMAND, id, 0);
      HWND about = AwaitAboutBox(s);
      opened = about != nullptr;
      if (about != nullptr) {
        mainEnabled = s.Ui().Enabled(main);
        owner = s.Ui().Owner(about);
        s.Ui().Key(VK_RETURN);
        s.WaitFor([&] { return AboutBox(s) == nullptr; }, 5000);
      }
      uft::CloseProgram(s);
    });
    EXPECT_TRUE(opened) << std::hex << id;
    EXPECT_FALSE(mainEnabled) << std::hex << id;
    EXPECT_EQ(owner, main);
  }
}

// The about item arrives while the update's result box is up, posted as
// another program may; the box's modal loop hands it to the main dialog.
// The about box belongs to the box, the main dialog's last active pop-up, and
// is modal to it: the box cannot be answered under the about box.
TEST(AboutBox, OpenedUnderTheResultBoxIsOwnedByTheBox) {
  uft::ProgramMachine machine;
  machine.Hid().Plug();
  HWND main = nullptr, box = nullptr, owner = nullptr;
  bool boxEnabled = true, boxStillOpen = false;
  const auto result = machine.Run([&](sim::Script& s) {
    main = uft::AwaitMainDialog(s);
    ASSERT_TRUE(uft::AwaitIdentified(s));
    ASSERT_TRUE(uft::ClickUpdate(s));
    ASSERT_TRUE(uft::AwaitBox(s));
    // The box is recorded as it is made, and is active once it shows.
    s.WaitFor([&] { return s.Ui().ActiveWindow() != main; }, 5000);
    box = s.Ui().ActiveWindow();
    s.Ui().Post(main, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    HWND about = AwaitAboutBox(s);
    ASSERT_NE(about, nullptr);
    owner = s.Ui().Owner(about);
    boxEnabled = s.Ui().Enabled(box);
    s.Ui().Key(VK_ESCAPE);
    s.WaitFor([&] { return AboutBox(s) == nullptr; }, 5000);
    boxStillOpen = s.Ui().OpenBox().has_value();
    uft::AnswerBox(s);
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  ASSERT_NE(box, main);
  EXPECT_EQ(owner, box);
  EXPECT_FALSE(boxEnabled);
  EXPECT_TRUE(boxStillOpen);
}

TEST(AboutBox, SystemMenuCloseEndsTheDialogInstead) {
  uft::ProgramMachine machine;
  bool aboutSeen = false;
  const auto result = machine.Run([&](sim::Script& s) {
    HWND main = uft::AwaitMainDialog(s);
    s.Ui().SysCommand(main, SC_CLOSE);
    s.WaitFor([&] { return uft::MainDialog(s) == nullptr || AboutBox(s) != nullptr; }, 5000);
    aboutSeen = AboutBox(s) != nullptr;
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  EXPECT_FALSE(aboutSeen);
}

struct CloseWay {
  const char* name;
  std::function<void(sim::Script&, HWND about)> close;
};

class AboutBoxCloses : public ::testing::TestWithParam<CloseWay> {};

TEST_P(AboutBoxCloses, BackToAnEnabledMainDialog) {
  uft::ProgramMachine machine;
  bool closed = false, mainEnabled = false;
  machine.Run([&](sim::Script& s) {
    HWND main = uft::AwaitMainDialog(s);
    s.Ui().SysCommand(main, IDM_ABOUTBOX);
    HWND about = AwaitAboutBox(s);
    ASSERT_NE(about, nullptr);
    GetParam().close(s, about);
    closed = s.WaitFor([&] { return AboutBox(s) == nullptr; }, 5000);
    mainEnabled = s.Ui().Enabled(main);
    uft::CloseProgram(s);
  });
  EXPECT_TRUE(closed);
  EXPECT_TRUE(mainEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, AboutBoxCloses,
    ::testing::Values(
        CloseWay{"OkButton",
                 [](sim::Script& s, HWND about) { s.Ui().Click(s.Ui().Item(about, IDOK)); }},
        CloseWay{"Enter", [](sim::Script& s, HWND) { s.Ui().Key(VK_RETURN); }},
        CloseWay{"Escape", [](sim::Script& s, HWND) { s.Ui().Key(VK_ESCAPE); }},
        CloseWay{"CloseBox", [](sim::Script& s, HWND about) { s.Ui().CloseBox(about); }},
        CloseWay{"AltF4", [](sim::Script& s, HWND) { s.Ui().KeyAltF4(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AboutBox, MainDialogStaysCurrentBehindIt) {
  uft::ProgramMachine machine;
  sim::HidId stick = 0;
  std::string nameWhilePlugged, nameWhileUnplugged;
  bool enabledWhilePlugged = false;
  machine.Run([&](sim::Script& s) {
    HWND main = uft::AwaitMainDialog(s);
    s.Ui().SysCommand(main, IDM_ABOUTBOX);
    ASSERT_NE(AwaitAboutBox(s), nullptr);
    stick = s.Hid().Plug();
    s.After(1500);
    nameWhilePlugged = s.Ui().Text(main, IDC_DEVICE_NAME);
    enabledWhilePlugged = s.Ui().Enabled(s.Ui().Item(main, IDC_UPDATE));
    s.Hid().Unplug(stick);
    s.After(500);
    nameWhileUnplugged = s.Ui().Text(main, IDC_DEVICE_NAME);
    s.Ui().Key(VK_ESCAPE);
    s.WaitFor([&] { return AboutBox(s) == nullptr; }, 5000);
    uft::CloseProgram(s);
  });
  EXPECT_EQ(nameWhilePlugged, "Brelt Kestrune Arcade Joystick");
  EXPECT_TRUE(enabledWhilePlugged);
  EXPECT_EQ(nameWhileUnplugged, "");
}

struct HelpCase {
  const char* name;
  bool inAbout;
  int modifier;         // 0: none
  const char* context;  // nullptr: no help request
  // The request comes as a WM_HELP message rather than from the F1 key: with
  // Alt held the key is a system key, which does not ask for help by itself.
  bool helpMessage = false;
};

class Help : public ::testing::TestWithParam<HelpCase> {};

TEST_P(Help, F1AsksForTheActiveDialogsContext) {
  const HelpCase& c = GetParam();
  uft::ProgramMachine machine;
  std::optional<sim::MessageBoxRecord> box;
  HELPINFO info{};
  machine.Run([&](sim::Script& s) {
    HWND main = uft::AwaitMainDialog(s);
    if (c.inAbout) {
      s.Ui().SysCommand(main, IDM_ABOUTBOX);
      ASSERT_NE(AwaitAboutBox(s), nullptr);
    }
    if (c.modifier != 0) s.Ui().SetKeyDown(c.modifier, true);
    if (c.helpMessage) {
      info = {sizeof info, HELPINFO_WINDOW, 0, main, 0, {0, 0}};
      ::PostMessageA(main, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    } else {
      s.Ui().Key(VK_F1);
    }
    box = uft::AwaitBox(s, 2000);
    uft::AnswerBox(s);
    if (c.modifier != 0) s.Ui().SetKeyDown(c.modifier, false);
    if (c.inAbout) {
      s.Ui().Key(VK_ESCAPE);
      s.WaitFor([&] { return AboutBox(s) == nullptr; }, 5000);
    }
    uft::CloseProgram(s);
  });
  const auto requests = machine.Calls().Named("WinHelpA");
  if (c.context == nullptr) {
    EXPECT_TRUE(requests.empty());
    EXPECT_FALSE(box);
    return;
  }
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].args.find(c.context), std::string::npos) << requests[0].args;
  EXPECT_NE(requests[0].args.find("C:\\Program Files\\UpdateFirmware\\UpdateFirmware.HLP"),
            std::string::npos)
      << requests[0].args;
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, "Failed to launch help.");
  EXPECT_EQ(box->caption, "UpdateFirmware");
  EXPECT_EQ(box->style, MB_OK | MB_ICONEXCLAMATION);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, Help,
                         ::testing::Values(HelpCase{"MainDialog", false, 0, "0x20066"},
                                           HelpCase{"AboutBox", true, 0, "0x20064"},
                                           HelpCase{"WithShift", false, VK_LSHIFT, nullptr},
                                           HelpCase{"WithControl", false, VK_LCONTROL, nullptr},
                                           HelpCase{"WithAlt", false, VK_LMENU, nullptr, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Program, CommandLineArgumentsChangeNothing) {
  std::string withArgs, without;
  for (const char* commandLine : {"UpdateFirmware.exe", "UpdateFirmware.exe /S --update x.bin"}) {
    sim::MachineOptions options = uft::ProgramOptions(3);
    options.commandLine = commandLine;
    uft::ProgramMachine machine(options);
    machine.Hid().Plug();
    machine.Run([&](sim::Script& s) {
      uft::AwaitMainDialog(s);
      s.At(2500);
      uft::CloseProgram(s);
    });
    (without.empty() ? without : withArgs) = machine.Events().Text();
  }
  EXPECT_EQ(withArgs, without);
}

}  // namespace
