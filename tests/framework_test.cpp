// The class framework's command routing as the main dialog relies on it: a
// WM_COMMAND reaches a handler only for its own control and notification.
#include <gtest/gtest.h>

#include <string>

#include "app/UpdateFirmwareDlg.h"
#include "support/program_run.h"

namespace {

// Notification codes the dialog has no handler for.
constexpr WORD kBnDoubleClicked = 5;
constexpr WORD kBnSetFocus = 6;
constexpr WORD kEnSetFocus = 0x0100;

struct RouteCase {
  const char* name;
  int id;
  WORD code;
  bool handled;
};

TEST(CommandRouting, OnlyTheUpdateClickAndTheNameFieldsChangeAreHandled) {
  const RouteCase cases[] = {
      {"UpdateClicked", IDC_UPDATE, BN_CLICKED, true},
      {"UpdateFocused", IDC_UPDATE, kBnSetFocus, false},
      {"UpdateDoubleClicked", IDC_UPDATE, kBnDoubleClicked, false},
      {"ItemBelowUpdateClicked", IDC_UPDATE - 1, BN_CLICKED, false},
      {"ItemAboveUpdateClicked", IDC_UPDATE + 1, BN_CLICKED, false},
      {"NameChanged", IDC_DEVICE_NAME, EN_CHANGE, true},
      {"NameFocused", IDC_DEVICE_NAME, kEnSetFocus, false},
      {"NameClicked", IDC_DEVICE_NAME, BN_CLICKED, false},
      {"DeviceVersionChanged", IDC_DEVICE_VERSION, EN_CHANGE, false},
      {"FileVersionChanged", IDC_FILE_VERSION, EN_CHANGE, false},
  };
  for (const RouteCase& c : cases) {
    uft::ProgramMachine machine;
    bool handled = false;
    // No window and no joystick: a click runs a command that finds nothing.
    const auto result = machine.RunThread([&] {
      CUpdateFirmwareDlg dlg;
      LRESULT unused = 0;
      handled = dlg.OnWndMsg(WM_COMMAND, MAKEWPARAM(c.id, c.code), 0, &unused) != FALSE;
    });
    ASSERT_EQ(result.outcome, sim::Outcome::kExited) << c.name << '\n' << result.report;
    EXPECT_EQ(handled, c.handled) << c.name;
  }
}

}  // namespace
