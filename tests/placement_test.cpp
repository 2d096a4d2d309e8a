// Where the dialogs appear: the main dialog centred in the work area of its
// monitor, the about box centred over it and kept within that work area, or
// centred in that work area while the main dialog is minimised (off-screen).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/UpdateFirmwareDlg.h"
#include "support/program_run.h"

namespace {

RECT WindowRect(HWND window) {
  RECT r{0, 0, 0, 0};
  ::GetWindowRect(window, &r);
  return r;
}

LONG CentreX(const RECT& r) { return (r.left + r.right) / 2; }
LONG CentreY(const RECT& r) { return (r.top + r.bottom) / 2; }

bool Within(const RECT& inner, const RECT& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

struct PlacementCase {
  const char* name;
  std::vector<sim::Screen> screens;  // the primary first
  // Whether the user then drags the main dialog onto the second screen, and
  // where: relative to the top-left corner of its work area, in units of the
  // dialog's own size. The about box is opened there.
  bool dragToSecond = false;
  double dragX = 0, dragY = 0;
  bool aboutCentredOverMain = true;
  // Whether the user minimises the main dialog before opening the about box.
  bool minimiseMain = false;
};

void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }

class Placement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(Placement, DialogsStayInTheirMonitorsWorkArea) {
  const PlacementCase& c = GetParam();
  uft::ProgramMachine machine;
  machine.Ui().SetScreens(c.screens);
  RECT main{}, moved{}, about{};
  const auto result = machine.Run([&](sim::Script& s) {
    HWND dialog = uft::AwaitMainDialog(s);
    main = WindowRect(dialog);
    if (c.dragToSecond) {
      const RECT& work = c.screens[1].work;
      const LONG width = main.right - main.left, height = main.bottom - main.top;
      ::SetWindowPos(dialog, nullptr, work.left + static_cast<LONG>(c.dragX * width),
                     work.top + static_cast<LONG>(c.dragY * height), 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER);
      moved = WindowRect(dialog);
      if (c.minimiseMain) s.Ui().Minimize(dialog);
      ASSERT_TRUE(s.Ui().SysCommand(dialog, IDM_ABOUTBOX));
      auto box = [&] { return s.Ui().Dialog(uft::kAboutBox); };
      s.WaitFor([&] { return box() != nullptr && s.Ui().Visible(box()); }, 5000);
      ASSERT_NE(box(), nullptr);
      about = WindowRect(box());
      s.Ui().Key(VK_ESCAPE);
      s.WaitFor([&] { return box() == nullptr; }, 5000);
    }
    uft::CloseProgram(s);
  });
  ASSERT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
  const RECT& primaryWork = c.screens[0].work;
  EXPECT_NEAR(CentreX(main), CentreX(primaryWork), 1);
  EXPECT_NEAR(CentreY(main), CentreY(primaryWork), 1);
  EXPECT_TRUE(Within(main, primaryWork));
  if (!c.dragToSecond) return;
  EXPECT_TRUE(Within(about, c.screens[1].work))
      << "about box at " << about.left << "," << about.top;
  if (c.aboutCentredOverMain) {
    EXPECT_NEAR(CentreX(about), CentreX(moved), 1);
    EXPECT_NEAR(CentreY(about), CentreY(moved), 1);
  }
  if (c.minimiseMain) {
    EXPECT_NEAR(CentreX(about), CentreX(c.screens[1].work), 1);
    EXPECT_NEAR(CentreY(about), CentreY(c.screens[1].work), 1);
  }
}

constexpr RECT kPrimary{0, 0, 1024, 768};
constexpr RECT kPrimaryWork{0, 0, 1024, 728};

INSTANTIATE_TEST_SUITE_P(
    Screens, Placement,
    ::testing::Values(PlacementCase{"TaskbarAtTheTop", {{kPrimary, RECT{0, 40, 1024, 768}}}},
                      PlacementCase{"TaskbarAtTheLeft",
                                    {{RECT{0, 0, 1280, 1024}, RECT{60, 0, 1280, 1024}}}},
                      // A second screen to the right; the main dialog dragged into it.
                      PlacementCase{"AboutOverTheMainDialogOnASecondScreen",
                                    {{kPrimary, kPrimaryWork},
                                     {RECT{1024, 0, 2304, 1024}, RECT{1024, 0, 2304, 984}}},
                                    true,
                                    0.5,
                                    0.5},
                      // A second screen to the left; the main dialog half beyond its left edge.
                      PlacementCase{"AboutKeptWithinASecondScreen",
                                    {{kPrimary, kPrimaryWork},
                                     {RECT{-1280, 0, 0, 1024}, RECT{-1280, 30, 0, 1024}}},
                                    true,
                                    -0.5,
                                    0.2,
                                    false},
                      // The main dialog near the corner of a second screen, minimised.
                      PlacementCase{"AboutInTheWorkAreaWhileTheMainDialogIsMinimised",
                                    {{kPrimary, kPrimaryWork},
                                     {RECT{1024, 0, 2304, 1024}, RECT{1024, 0, 2304, 984}}},
                                    true,
                                    0.1,
                                    0.1,
                                    false,
                                    true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
