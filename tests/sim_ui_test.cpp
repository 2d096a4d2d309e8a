// The simulated user32/comctl32: message delivery between threads, the
// dialog manager, the controls, message boxes and the resource reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "simwin/kernel.h"
#include "simwin/machine.h"
#include "simwin/ui.h"

namespace {

// Compiled with `x86_64-w64-mingw32-windres -O res` from (t.ico: 16x16 icon,
// t.bmp: 3x5 bitmap):
/*
128 ICON "t.ico"
129 BITMAP "t.bmp"
STRINGTABLE
BEGIN
  1 "One"
  17 "Seventeen ""quoted"""
  18 "Caf\xe9"
END
200 DIALOGEX 0, 0, 200, 100
STYLE 0x40 | 0x80 | 0x80000000 | 0x00C00000 | 0x00080000
CAPTION "Test dialog"
FONT 8, "MS Shell Dlg", 400, 0, 0x1
BEGIN
  CONTROL 128, 1003, "Static", 0x3, 4, 4, 20, 20
  CONTROL 129, 1004, "Static", 0xE, 40, 4, 10, 10
  EDITTEXT 1001, 10, 30, 100, 14, 0x80
  CONTROL "", 1002, "msctls_progress32", 0x00800000, 10, 50, 100, 10
  DEFPUSHBUTTON "OK", 1, 140, 80, 50, 14
  PUSHBUTTON "Cancel", 2, 80, 80, 50, 14
  PUSHBUTTON "&Update", 1000, 10, 80, 50, 14
END
201 DIALOGEX 0, 0, 100, 50
STYLE 0x80000000 | 0x00C00000 | 0x00080000 | 0x10000000
CAPTION "Unknown class"
BEGIN
  CONTROL "", 1, "SysListView32", 0x50010000, 0, 0, 50, 20
END
202 DIALOGEX 0, 0, 100, 50
STYLE 0x80000000 | 0x00C00000 | 0x00080000 | 0x10000000
CAPTION "No default"
BEGIN
  EDITTEXT 1001, 10, 10, 60, 14, 0x800
  PUSHBUTTON "Go", 1000, 10, 30, 40, 14
END
*/
const std::uint8_t kTestRes[] = {
    0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xff, 0xff, 0x00, 0x00, 0xff, 0xff, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x64, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xff, 0xff, 0x02, 0x00, 0xff, 0xff, 0x81, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x30, 0x10, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x28, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x18, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x3c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0x80, 0x80, 0x80, 0x80, 0xb0, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xff, 0xff, 0x03, 0x00,
    0xff, 0xff, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x10, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x8e, 0x01, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xff, 0xff, 0x05, 0x00,
    0xff, 0xff, 0xc8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x10, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xc0, 0x00, 0xc8, 0x80, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc8, 0x00, 0x64, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x54, 0x00, 0x65, 0x00, 0x73, 0x00, 0x74, 0x00, 0x20, 0x00, 0x64, 0x00, 0x69, 0x00,
    0x61, 0x00, 0x6c, 0x00, 0x6f, 0x00, 0x67, 0x00, 0x00, 0x00, 0x08, 0x00, 0x90, 0x01, 0x00, 0x01,
    0x4d, 0x00, 0x53, 0x00, 0x20, 0x00, 0x53, 0x00, 0x68, 0x00, 0x65, 0x00, 0x6c, 0x00, 0x6c, 0x00,
    0x20, 0x00, 0x44, 0x00, 0x6c, 0x00, 0x67, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x50, 0x04, 0x00, 0x04, 0x00, 0x14, 0x00, 0x14, 0x00,
    0xeb, 0x03, 0x00, 0x00, 0x53, 0x00, 0x54, 0x00, 0x41, 0x00, 0x54, 0x00, 0x49, 0x00, 0x43, 0x00,
    0x00, 0x00, 0xff, 0xff, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x0e, 0x00, 0x00, 0x50, 0x28, 0x00, 0x04, 0x00, 0x0a, 0x00, 0x0a, 0x00, 0xec, 0x03, 0x00, 0x00,
    0x53, 0x00, 0x54, 0x00, 0x41, 0x00, 0x54, 0x00, 0x49, 0x00, 0x43, 0x00, 0x00, 0x00, 0xff, 0xff,
    0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x81, 0x50,
    0x0a, 0x00, 0x1e, 0x00, 0x64, 0x00, 0x0e, 0x00, 0xe9, 0x03, 0x00, 0x00, 0xff, 0xff, 0x81, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x50,
    0x0a, 0x00, 0x32, 0x00, 0x64, 0x00, 0x0a, 0x00, 0xea, 0x03, 0x00, 0x00, 0x4d, 0x00, 0x53, 0x00,
    0x43, 0x00, 0x54, 0x00, 0x4c, 0x00, 0x53, 0x00, 0x5f, 0x00, 0x50, 0x00, 0x52, 0x00, 0x4f, 0x00,
    0x47, 0x00, 0x52, 0x00, 0x45, 0x00, 0x53, 0x00, 0x53, 0x00, 0x33, 0x00, 0x32, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x50,
    0x8c, 0x00, 0x50, 0x00, 0x32, 0x00, 0x0e, 0x00, 0x01, 0x00, 0x00, 0x00, 0xff, 0xff, 0x80, 0x00,
    0x4f, 0x00, 0x4b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x01, 0x50, 0x50, 0x00, 0x50, 0x00, 0x32, 0x00, 0x0e, 0x00, 0x02, 0x00, 0x00, 0x00,
    0xff, 0xff, 0x80, 0x00, 0x43, 0x00, 0x61, 0x00, 0x6e, 0x00, 0x63, 0x00, 0x65, 0x00, 0x6c, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x50,
    0x0a, 0x00, 0x50, 0x00, 0x32, 0x00, 0x0e, 0x00, 0xe8, 0x03, 0x00, 0x00, 0xff, 0xff, 0x80, 0x00,
    0x26, 0x00, 0x55, 0x00, 0x70, 0x00, 0x64, 0x00, 0x61, 0x00, 0x74, 0x00, 0x65, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x74, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xff, 0xff, 0x05, 0x00,
    0xff, 0xff, 0xc9, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x10, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0xc8, 0x90, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x32, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x55, 0x00, 0x6e, 0x00, 0x6b, 0x00, 0x6e, 0x00, 0x6f, 0x00, 0x77, 0x00, 0x6e, 0x00,
    0x20, 0x00, 0x63, 0x00, 0x6c, 0x00, 0x61, 0x00, 0x73, 0x00, 0x73, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x50, 0x00, 0x00, 0x00, 0x00,
    0x32, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x53, 0x00, 0x59, 0x00, 0x53, 0x00, 0x4c, 0x00,
    0x49, 0x00, 0x53, 0x00, 0x54, 0x00, 0x56, 0x00, 0x49, 0x00, 0x45, 0x00, 0x57, 0x00, 0x33, 0x00,
    0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x78, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
    0xff, 0xff, 0x05, 0x00, 0xff, 0xff, 0xca, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x10, 0x09, 0x04,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc8, 0x90, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x64, 0x00,
    0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4e, 0x00, 0x6f, 0x00, 0x20, 0x00, 0x64, 0x00, 0x65, 0x00,
    0x66, 0x00, 0x61, 0x00, 0x75, 0x00, 0x6c, 0x00, 0x74, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x81, 0x50, 0x0a, 0x00, 0x0a, 0x00, 0x3c, 0x00, 0x0e, 0x00,
    0xe9, 0x03, 0x00, 0x00, 0xff, 0xff, 0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x50, 0x0a, 0x00, 0x1e, 0x00, 0x28, 0x00, 0x0e, 0x00,
    0xe8, 0x03, 0x00, 0x00, 0xff, 0xff, 0x80, 0x00, 0x47, 0x00, 0x6f, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x26, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xff, 0xff, 0x06, 0x00, 0xff, 0xff, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x30, 0x10, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x03, 0x00, 0x4f, 0x00, 0x6e, 0x00, 0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4c, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
    0xff, 0xff, 0x06, 0x00, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x10, 0x09, 0x04,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x53, 0x00, 0x65, 0x00,
    0x76, 0x00, 0x65, 0x00, 0x6e, 0x00, 0x74, 0x00, 0x65, 0x00, 0x65, 0x00, 0x6e, 0x00, 0x20, 0x00,
    0x22, 0x00, 0x71, 0x00, 0x75, 0x00, 0x6f, 0x00, 0x74, 0x00, 0x65, 0x00, 0x64, 0x00, 0x22, 0x00,
    0x04, 0x00, 0x43, 0x00, 0x61, 0x00, 0x66, 0x00, 0xe9, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xff, 0xff, 0x0e, 0x00,
    0xff, 0xff, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x10, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x10, 0x10, 0x02, 0x00, 0x01, 0x00,
    0x01, 0x00, 0xb0, 0x00, 0x00, 0x00, 0x01, 0x00,
};

constexpr int kMainTemplate = 200;  // not WS_VISIBLE: shown once the queue is empty
constexpr int kUnknownClassTemplate = 201;
constexpr int kNoDefaultTemplate = 202;  // read-only edit and one push button, no IDOK
constexpr int kEdit = 1001;
constexpr int kProgress = 1002;
constexpr int kUpdate = 1000;
constexpr UINT kMbYesNo = 0x4;
constexpr int kIdNo = 7;
constexpr int kIcon = 1003;
constexpr int kBitmap = 1004;

std::vector<std::string> EventsWithout(const sim::Machine& m, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : const_cast<sim::Machine&>(m).Events().Lines()) {
    std::string body = line.substr(line.find(' ') + 1);  // drop the time
    if (prefix.empty() || body.rfind(prefix, 0) == 0) out.push_back(body);
  }
  return out;
}

// A dialog procedure whose behaviour each test supplies: WM_INITDIALOG runs
// `init`, other messages go to `handle`; every message is logged.
struct Dlg {
  std::function<INT_PTR(HWND)> init;
  std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> handle;
  std::vector<UINT> messages;
  std::vector<int> commands;  // ids of WM_COMMAND BN_CLICKED
};

INT_PTR ScriptedProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_INITDIALOG) SetWindowLongPtrA(h, DWLP_USER, l);
  auto* d = reinterpret_cast<Dlg*>(GetWindowLongPtrA(h, DWLP_USER));
  if (d == nullptr) return FALSE;  // WM_SETFONT comes before WM_INITDIALOG
  d->messages.push_back(m);
  if (m == WM_COMMAND && HIWORD(w) == BN_CLICKED) {
    d->commands.push_back(LOWORD(w));
    EXPECT_EQ(reinterpret_cast<HWND>(l), GetDlgItem(h, LOWORD(w))) << "command " << LOWORD(w);
  }
  if (m == WM_INITDIALOG) return d->init ? d->init(h) : TRUE;
  if (d->handle) return d->handle(h, m, w, l);
  return m == WM_COMMAND ? TRUE : FALSE;  // commands are only logged unless a test says
}

// Registers the progress bar's class, as a program must before its first
// template with one.
void RegisterCommonControls(DWORD classes = ICC_WIN95_CLASSES) {
  const INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), classes};
  EXPECT_TRUE(InitCommonControlsEx(&init));
}

INT_PTR RunDialog(int id, Dlg& d, HWND owner = nullptr) {
  RegisterCommonControls();
  return DialogBoxParamA(nullptr, MAKEINTRESOURCEA(id), owner, &ScriptedProc,
                         reinterpret_cast<LPARAM>(&d));
}

bool Logged(const Dlg& d, UINT message) {
  return std::find(d.messages.begin(), d.messages.end(), message) != d.messages.end();
}

class SimUi : public ::testing::Test {
 protected:
  SimUi() : machine_(Options()) {}
  static sim::MachineOptions Options() {
    sim::MachineOptions o;
    o.seed = 11;
    o.resources = kTestRes;
    o.limit = 60 * 1000;
    return o;
  }
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(machine_.Ui().LoadResources(kTestRes, &error)) << error;
  }
  sim::RunResult Run(const std::function<void()>& body,
                     const std::function<void(sim::Script&)>& script = {}) {
    sim::RunResult r = machine_.RunThread(body, script);
    EXPECT_EQ(r.outcome, sim::Outcome::kExited) << r.report;
    return r;
  }
  sim::UiSystem& Ui() { return machine_.Ui(); }
  sim::Machine machine_;
};

// ---- cross-thread SendMessage ------------------------------------------------------------

struct SendShared {
  HWND target = nullptr;
  bool delivered = false;
  bool replied = false;
  LRESULT reply = -1;
};

DWORD SendAppMessage(LPVOID p) {
  auto* s = static_cast<SendShared*>(p);
  s->reply = SendMessageA(s->target, WM_APP, 0, 0);
  s->replied = true;
  return 0;
}

// The receiver's WM_APP answer goes through DWLP_MSGRESULT.
INT_PTR AnswerApp(SendShared& s, HWND h, UINT m) {
  if (m != WM_APP) return FALSE;
  s.delivered = true;
  SetWindowLongPtrA(h, DWLP_MSGRESULT, 42);
  return TRUE;
}

struct DeliveryCase {
  const char* name;
  std::function<void(HWND)> wait;  // what the receiving thread does meanwhile
  bool delivers;
};

void PrintTo(const DeliveryCase& c, std::ostream* os) { *os << c.name; }

class SendDelivery : public SimUi, public ::testing::WithParamInterface<DeliveryCase> {};

TEST_P(SendDelivery, SentMessageRunsOnlyInsideCallsThatTakeThem) {
  const DeliveryCase& c = GetParam();
  SendShared s;
  Dlg d;
  d.handle = [&](HWND h, UINT m, WPARAM, LPARAM) { return AnswerApp(s, h, m); };
  d.init = [&](HWND h) {
    s.target = h;
    HANDLE sender = CreateThread(nullptr, 0, &SendAppMessage, &s, 0, nullptr);
    Sleep(10);  // the sender queues its message and blocks
    EXPECT_FALSE(s.delivered);
    EXPECT_FALSE(s.replied);
    c.wait(h);
    EXPECT_EQ(s.delivered, c.delivers);
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    EXPECT_EQ(WaitForSingleObject(sender, 1000), WAIT_OBJECT_0);
    CloseHandle(sender);
    EndDialog(h, 1);
    return FALSE;
  };
  Run([&] { EXPECT_EQ(RunDialog(kMainTemplate, d), 1); });
  EXPECT_TRUE(s.replied);
  EXPECT_EQ(s.reply, 42);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SendDelivery,
    ::testing::Values(
        DeliveryCase{"Sleep", [](HWND) { Sleep(100); }, false},
        DeliveryCase{"WaitForSingleObject",
                     [](HWND) {
                       HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                       EXPECT_EQ(WaitForSingleObject(e, 100), WAIT_TIMEOUT);
                       CloseHandle(e);
                     },
                     false},
        DeliveryCase{"MsgWaitOnlyWaits",
                     [](HWND) {
                       EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_SENDMESSAGE, 0),
                                 WAIT_OBJECT_0);
                     },
                     false},
        DeliveryCase{"MsgWaitThenPeekSentOnly",
                     [](HWND) {
                       MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_SENDMESSAGE, 0);
                       MSG m;
                       EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE | PM_QS_SENDMESSAGE));
                     },
                     true},
        DeliveryCase{"PeekNoRemove",
                     [](HWND) {
                       MSG m;
                       EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
                     },
                     true},
        DeliveryCase{"PeekSentOnlyLeavesPosted",
                     [](HWND h) {
                       PostMessageA(h, WM_APP + 1, 0, 0);
                       MSG m;
                       EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE | PM_QS_SENDMESSAGE));
                       ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
                       EXPECT_EQ(m.message, WM_APP + 1);
                     },
                     true},
        DeliveryCase{"GetMessage",
                     [](HWND h) {
                       PostMessageA(h, WM_APP + 1, 0, 0);
                       MSG m;
                       ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
                       EXPECT_EQ(m.message, WM_APP + 1);
                     },
                     true}),
    [](const auto& info) { return std::string(info.param.name); });

void Claim(std::atomic<char>& first, char who) {
  char none = 0;
  first.compare_exchange_strong(none, who);
}

// A thread that a post or a reply makes runnable may run at once, before
// the caller's next step; which goes first is the seed's choice. The dialog
// thread and another one each take one step ('w' the woken one, 'c' the
// caller) around the call; the first to step claims it atomically, as the
// steps are not ordered.
TEST_F(SimUi, AWokenThreadMayRunBeforeTheCallersNextStep) {
  struct Side {
    void (*other)(HWND, std::atomic<char>&);   // on a thread of its own
    void (*dialog)(HWND, std::atomic<char>&);  // inside WM_INITDIALOG
  };
  // The posts' receiver: it waits for the message in its queue.
  const auto takePost = [](HWND, std::atomic<char>& first) {
    MSG m;
    GetMessageA(&m, nullptr, WM_APP, WM_APP);
    Claim(first, 'w');
  };
  const std::pair<const char*, Side> cases[] = {
      {"PostMessageA",
       {[](HWND h, std::atomic<char>& first) {
          Sleep(1);  // the dialog's thread waits for it
          PostMessageA(h, WM_APP, 0, 0);
          Claim(first, 'c');
        },
        takePost}},
      {"PostThreadMessageA",
       {[](HWND, std::atomic<char>& first) {
          Sleep(1);
          PostThreadMessageA(sim::kMainThreadId, WM_APP, 0, 0);
          Claim(first, 'c');
        },
        takePost}},
      {"the reply to SendMessageA",
       {[](HWND h, std::atomic<char>& first) {
          SendMessageA(h, WM_APP, 0, 0);
          Claim(first, 'w');
        },
        [](HWND, std::atomic<char>& first) {
          MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_SENDMESSAGE, 0);
          MSG m;
          PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE | PM_QS_SENDMESSAGE);
          Claim(first, 'c');
        }}},
  };
  struct Shared {
    const Side* side;
    HWND dialog;
    std::atomic<char> first;
  };
  for (const auto& [call, side] : cases) {
    std::set<char> orders;
    for (std::uint64_t seed = 1; seed <= 16; ++seed) {
      sim::MachineOptions options = Options();
      options.seed = seed;
      sim::Machine machine(options);
      Shared shared{&side, nullptr, 0};
      Dlg d;
      d.init = [&](HWND h) {
        shared.dialog = h;
        HANDLE other = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
              auto* s = static_cast<Shared*>(p);
              s->side->other(s->dialog, s->first);
              return 0;
            },
            &shared, 0, nullptr);
        side.dialog(h, shared.first);
        WaitForSingleObject(other, INFINITE);
        CloseHandle(other);
        EndDialog(h, 0);
        return FALSE;
      };
      const auto result = machine.RunThread([&] { RunDialog(kMainTemplate, d); });
      EXPECT_EQ(result.outcome, sim::Outcome::kExited) << result.report;
      orders.insert(shared.first.load());
    }
    EXPECT_EQ(orders, (std::set<char>{'c', 'w'})) << call;
  }
}

TEST_F(SimUi, MessageBoxLoopTakesSentMessages) {
  SendShared s;
  bool deliveredWhileBoxOpen = false;
  Dlg d;
  d.handle = [&](HWND h, UINT m, WPARAM, LPARAM) { return AnswerApp(s, h, m); };
  d.init = [&](HWND h) {
    s.target = h;
    HANDLE sender = CreateThread(nullptr, 0, &SendAppMessage, &s, 0, nullptr);
    EXPECT_EQ(MessageBoxA(h, "Working", "Box", MB_OK), IDOK);
    CloseHandle(sender);
    EndDialog(h, 1);
    return FALSE;
  };
  Run([&] { RunDialog(kMainTemplate, d); },
      [&](sim::Script& sc) {
        ASSERT_TRUE(sc.WaitFor([&] { return sc.Ui().OpenBox().has_value(); }));
        sc.After(50);
        deliveredWhileBoxOpen = s.delivered && s.replied;
        sc.Ui().PressBoxButton(IDOK);
      });
  EXPECT_TRUE(deliveredWhileBoxOpen);
  EXPECT_EQ(s.reply, 42);
}

// Thread B, blocked in its own SendMessage to A, must take A's message to B
// or both would wait for ever.
struct Mutual {
  HWND a = nullptr;
  LRESULT bGot = 0;
};

DWORD MutualThread(LPVOID p) {
  auto* mu = static_cast<Mutual*>(p);
  Dlg b;
  b.init = [mu](HWND self) {
    mu->bGot = SendMessageA(mu->a, WM_APP, reinterpret_cast<WPARAM>(self), 0);
    PostMessageA(mu->a, WM_APP + 3, 0, 0);
    EndDialog(self, 0);
    return FALSE;
  };
  b.handle = [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
    if (m != WM_APP + 2) return FALSE;
    SetWindowLongPtrA(h, DWLP_MSGRESULT, 7);
    return TRUE;
  };
  RunDialog(kNoDefaultTemplate, b);
  return 0;
}

TEST_F(SimUi, SenderTakesMessagesSentToItWhileWaiting) {
  Mutual mu;
  Dlg a;
  a.init = [&](HWND h) {
    mu.a = h;
    CloseHandle(CreateThread(nullptr, 0, &MutualThread, &mu, 0, nullptr));
    return TRUE;
  };
  a.handle = [&](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
    if (m == WM_APP) {
      LRESULT fromB = SendMessageA(reinterpret_cast<HWND>(w), WM_APP + 2, 0, 0);
      SetWindowLongPtrA(h, DWLP_MSGRESULT, fromB + 1);
      return TRUE;
    }
    if (m == WM_APP + 3) EndDialog(h, 5);
    return FALSE;
  };
  Run([&] { EXPECT_EQ(RunDialog(kMainTemplate, a), 5); });
  EXPECT_EQ(mu.bGot, 8);
}

TEST_F(SimUi, SenderGetsZeroWhenTheWindowIsDestroyed) {
  SendShared s;
  Dlg d;
  d.handle = [&](HWND h, UINT m, WPARAM, LPARAM) { return AnswerApp(s, h, m); };
  d.init = [&](HWND h) {
    s.target = h;
    HANDLE sender = CreateThread(nullptr, 0, &SendAppMessage, &s, 0, nullptr);
    Sleep(10);
    DestroyWindow(h);
    EXPECT_EQ(WaitForSingleObject(sender, 1000), WAIT_OBJECT_0);
    CloseHandle(sender);
    return FALSE;
  };
  INT_PTR result = 0;
  Run([&] { result = RunDialog(kMainTemplate, d); });
  EXPECT_EQ(result, -1);  // destroyed without EndDialog
  EXPECT_FALSE(s.delivered);
  EXPECT_TRUE(s.replied);
  EXPECT_EQ(s.reply, 0);
  EXPECT_TRUE(Logged(d, WM_NCDESTROY));
}

// A thread of another program sends WM_APP at 10 ms while the dialog's
// thread sleeps until 100 ms and then does what the case says. The sender
// waits for the reply, and is none of the program's threads. From 100 ms the
// dialog's thread is favoured, so the program has ended before the sender
// goes on: an answer given before the end still comes back.
struct OtherProgramCase {
  const char* name;
  void (*then)(HWND);
  bool delivered;
  std::optional<sim::Ticks> returnedAt;  // empty: the program ended first
  LRESULT result;
};

TEST_F(SimUi, MessageFromAnotherProgramWaitsForTheReply) {
  const OtherProgramCase cases[] = {
      {"taken by PeekMessage",
       [](HWND h) {
         MSG m;
         PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
         EndDialog(h, 0);
       },
       true, 100, 42},
      {"window destroyed", [](HWND h) { DestroyWindow(h); }, false, 100, 0},
      {"program exits", [](HWND) { ExitProcess(3); }, false, std::nullopt, 0},
  };
  for (const OtherProgramCase& c : cases) {
    sim::Machine machine(Options());
    machine.Kern().FavourThread(sim::kMainThreadId, 100, 100);
    SendShared s;
    Dlg d;
    d.handle = [&](HWND h, UINT m, WPARAM, LPARAM) { return AnswerApp(s, h, m); };
    d.init = [&](HWND h) {
      Sleep(100);
      c.then(h);
      return FALSE;
    };
    bool waitedWhileAsleep = false;
    const sim::RunResult result = machine.RunThread(
        [&] { RunDialog(kMainTemplate, d); },
        [&](sim::Script& sc) {
          sc.At(10);
          EXPECT_EQ(sc.Ui().SendFromOtherProgram(sc.Ui().Dialog(kMainTemplate), WM_APP, 0, 0), 0u);
          sc.At(50);
          waitedWhileAsleep = !s.delivered && !sc.Ui().OtherProgramSends()[0].returnedAt &&
                              sc.Ui().PendingSentMessages(sim::kMainThreadId) == 1;
        });
    EXPECT_EQ(result.outcome, sim::Outcome::kExited) << c.name << '\n' << result.report;
    EXPECT_TRUE(result.threadsAliveAtExit.empty())
        << c.name << ": " << result.threadsAliveAtExit[0];
    EXPECT_TRUE(waitedWhileAsleep) << c.name;
    EXPECT_EQ(s.delivered, c.delivered) << c.name;
    ASSERT_EQ(machine.Ui().OtherProgramSends().size(), 1u);
    const sim::OtherProgramSend& send = machine.Ui().OtherProgramSends()[0];
    EXPECT_EQ(send.sentAt, 10u) << c.name;
    EXPECT_EQ(send.returnedAt, c.returnedAt) << c.name;
    EXPECT_EQ(send.result, c.result) << c.name;
    const auto threads = machine.Kern().Threads();
    const auto sender = std::find_if(threads.begin(), threads.end(),
                                     [&](const sim::ThreadInfo& t) { return t.id == send.thread; });
    ASSERT_NE(sender, threads.end());
    EXPECT_GE(sender->id, sim::kOtherProgramThreadId);
    EXPECT_TRUE(sender->otherProgram && !sender->script) << c.name;
    EXPECT_EQ(sender->state, sim::ThreadState::kFinished) << c.name;
    EXPECT_EQ(sender->endedByRunEnd, !c.returnedAt) << c.name;
  }
}

TEST_F(SimUi, MsgWaitWakesForNewQueueActivityAndSignalledHandles) {
  Dlg d;
  d.init = [&](HWND h) {
    PostMessageA(h, WM_APP, 0, 0);
    MSG m;
    EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    // Seen already: only new input wakes, unless the caller asks for any input.
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, 0), WAIT_TIMEOUT);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE),
              WAIT_OBJECT_0);
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &e, 20, QS_ALLINPUT, 0), WAIT_OBJECT_0);
    // The auto-reset event was taken by the wait above.
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &e, 20, QS_SENDMESSAGE, 0), WAIT_TIMEOUT);
    PostMessageA(h, WM_APP, 0, 0);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &e, 20, QS_POSTMESSAGE, 0), WAIT_OBJECT_0 + 1);
    CloseHandle(e);
    HANDLE bogus = reinterpret_cast<HANDLE>(std::uintptr_t{0x7777});
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &bogus, 20, QS_ALLINPUT, 0), WAIT_FAILED);
    EndDialog(h, 0);
    return FALSE;
  };
  Run([&] { RunDialog(kMainTemplate, d); });
}

// ---- progress bar ----------------------------------------------------------------------------

struct ProgressStep {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT returns;
  sim::ProgressInfo after;  // min, max, step, pos
};

TEST_F(SimUi, ProgressBarFollowsTheCommonControlRules) {
  const std::vector<ProgressStep> steps = {
      {PBM_GETPOS, 0, 0, 0, {0, 100, 10, 0}},
      {PBM_SETPOS, 50, 0, 0, {0, 100, 10, 50}},
      {PBM_SETPOS, 150, 0, 50, {0, 100, 10, 100}},                     // clamped high
      {PBM_SETPOS, static_cast<WPARAM>(-5), 0, 100, {0, 100, 10, 0}},  // clamped low
      {PBM_SETPOS, 90, 0, 0, {0, 100, 10, 90}},
      {PBM_STEPIT, 0, 0, 90, {0, 100, 10, 100}},
      {PBM_STEPIT, 0, 0, 100, {0, 100, 10, 10}},  // past the end it wraps
      {PBM_SETSTEP, 25, 0, 10, {0, 100, 25, 10}},
      {PBM_DELTAPOS, 200, 0, 10, {0, 100, 25, 100}},
      {PBM_SETRANGE, 0, MAKELPARAM(20, 60), MAKELPARAM(0, 100), {20, 60, 25, 60}},  // pos clamped
      {PBM_GETRANGE, TRUE, 0, 20, {20, 60, 25, 60}},
      {PBM_GETRANGE, FALSE, 0, 60, {20, 60, 25, 60}},
      {PBM_STEPIT, 0, 0, 60, {20, 60, 25, 45}},  // (60 + 25 - 20) % 40 + 20
      {PBM_SETSTEP, static_cast<WPARAM>(-30), 0, 25, {20, 60, -30, 45}},
      {PBM_STEPIT, 0, 0, 45, {20, 60, -30, 55}},  // below the start it wraps from the end
  };
  Dlg d;
  d.init = [&](HWND h) {
    HWND bar = GetDlgItem(h, kProgress);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const ProgressStep& s = steps[i];
      EXPECT_EQ(SendMessageA(bar, s.message, s.wParam, s.lParam), s.returns) << "step " << i;
      EXPECT_EQ(Ui().Progress(bar), s.after) << "step " << i;
    }
    EndDialog(h, 0);
    return FALSE;
  };
  Run([&] { RunDialog(kMainTemplate, d); });
  EXPECT_EQ(EventsWithout(machine_, "progress"),
            (std::vector<std::string>{"progress pos 50", "progress pos 100", "progress pos 0",
                                      "progress pos 90", "progress pos 100", "progress pos 10",
                                      "progress step 25", "progress pos 100",
                                      "progress range 20 60", "progress pos 60", "progress pos 45",
                                      "progress step -30", "progress pos 55"}));
}

// ---- edit control ---------------------------------------------------------------------------

TEST_F(SimUi, EditSetTextNotifiesSynchronouslyEvenWhenUnchanged) {
  std::vector<int> codes;
  Dlg d;
  d.handle = [&](HWND, UINT m, WPARAM w, LPARAM) -> INT_PTR {
    if (m == WM_COMMAND && LOWORD(w) == kEdit) codes.push_back(HIWORD(w));
    return FALSE;
  };
  d.init = [&](HWND h) {
    HWND edit = GetDlgItem(h, kEdit);
    EXPECT_TRUE(SetWindowTextA(edit, "abc"));
    EXPECT_EQ(codes, (std::vector<int>{EN_UPDATE, EN_CHANGE}));
    SetWindowTextA(edit, "abc");
    EXPECT_EQ(codes, (std::vector<int>{EN_UPDATE, EN_CHANGE, EN_UPDATE, EN_CHANGE}));
    char buf[8];
    EXPECT_EQ(GetWindowTextA(edit, buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(GetWindowTextA(edit, buf, 2), 1);  // truncated, terminated
    EXPECT_STREQ(buf, "a");
    SetWindowTextA(h, "Say \"hi\" \\ now\nplease");
    EndDialog(h, 0);
    return FALSE;
  };
  Run([&] { RunDialog(kMainTemplate, d); });
  EXPECT_EQ(EventsWithout(machine_, "text"),
            (std::vector<std::string>{"text 1001 \"abc\"",
                                      "text 0 \"Say \\\"hi\\\" \\\\ now\\nplease\""}));
}

TEST_F(SimUi, TypingReachesEditableEditsOnly) {
  Dlg editable, readOnly;
  editable.init = [](HWND h) {
    SetFocus(GetDlgItem(h, kEdit));
    return FALSE;
  };
  Run(
      [&] {
        RunDialog(kMainTemplate, editable);
        RunDialog(kNoDefaultTemplate, readOnly);  // its first tab stop is the read-only edit
      },
      [&](sim::Script& s) {
        for (int templ : {kMainTemplate, kNoDefaultTemplate}) {
          ASSERT_TRUE(s.WaitFor([&] {
            HWND dlg = s.Ui().Dialog(templ);
            return dlg != nullptr && s.Ui().Visible(dlg);
          }));
          HWND dlg = s.Ui().Dialog(templ);
          s.Ui().Key('A');
          s.After(10);
          s.Ui().SetKeyDown(VK_RSHIFT, true);
          s.Ui().Key('B');
          s.After(10);
          s.Ui().SetKeyDown(VK_RSHIFT, false);
          EXPECT_EQ(s.Ui().Text(dlg, kEdit), templ == kMainTemplate ? "aB" : "") << templ;
          EndDialog(dlg, 0);
          ASSERT_TRUE(s.WaitFor([&] { return !s.Ui().IsLive(dlg); }));
        }
      });
}

// ---- dialog manager ---------------------------------------------------------------------------

struct DialogPath {
  const char* name;
  int templ;
  std::function<void(HWND)> setup;  // in WM_INITDIALOG, on the dialog's thread
  std::function<void(sim::UiSystem&, HWND)> act;
  std::vector<int> commands;
};

void PrintTo(const DialogPath& p, std::ostream* os) { *os << p.name; }

class DialogPaths : public SimUi, public ::testing::WithParamInterface<DialogPath> {};

TEST_P(DialogPaths, UserActionBecomesCommand) {
  const DialogPath& p = GetParam();
  Dlg d;
  std::vector<int> seen;
  d.init = [&](HWND h) -> INT_PTR {
    if (!p.setup) return TRUE;
    p.setup(h);
    return FALSE;
  };
  Run([&] { EXPECT_EQ(RunDialog(p.templ, d), 99); },
      [&](sim::Script& s) {
        ASSERT_TRUE(s.WaitFor([&] {
          HWND dlg = s.Ui().Dialog(p.templ);
          return dlg != nullptr && s.Ui().Visible(dlg);
        }));
        HWND dlg = s.Ui().Dialog(p.templ);
        p.act(s.Ui(), dlg);
        s.After(50);
        seen = d.commands;
        EndDialog(dlg, 99);
      });
  EXPECT_EQ(seen, p.commands);
}

HWND ItemOf(HWND dlg, int id) { return GetDlgItem(dlg, id); }

INSTANTIATE_TEST_SUITE_P(
    DefDlgProc, DialogPaths,
    ::testing::Values(
        DialogPath{"CloseMessagePostsCancel",
                   kMainTemplate,
                   {},
                   [](sim::UiSystem& u, HWND dlg) { u.PostClose(dlg); },
                   {IDCANCEL}},
        DialogPath{"CloseBox",
                   kMainTemplate,
                   {},
                   [](sim::UiSystem& u, HWND dlg) { EXPECT_TRUE(u.CloseBox(dlg)); },
                   {IDCANCEL}},
        DialogPath{"SystemMenuClose",
                   kMainTemplate,
                   {},
                   [](sim::UiSystem& u, HWND dlg) { u.SysCommand(dlg, SC_CLOSE); },
                   {IDCANCEL}},
        DialogPath{
            "AltF4", kMainTemplate, {}, [](sim::UiSystem& u, HWND) { u.KeyAltF4(); }, {IDCANCEL}},
        DialogPath{"Escape",
                   kMainTemplate,
                   {},
                   [](sim::UiSystem& u, HWND) { u.Key(VK_ESCAPE); },
                   {IDCANCEL}},
        DialogPath{"EnterInEditGivesDefaultButton",
                   kMainTemplate,
                   [](HWND h) { SetFocus(ItemOf(h, kEdit)); },
                   [](sim::UiSystem& u, HWND) { u.Key(VK_RETURN); },
                   {IDOK}},
        DialogPath{"EnterOnFocusedPushButton",
                   kMainTemplate,
                   [](HWND h) { SetFocus(ItemOf(h, kUpdate)); },
                   [](sim::UiSystem& u, HWND) { u.Key(VK_RETURN); },
                   {kUpdate}},
        DialogPath{"EnterWithDefaultButtonDisabled",
                   kMainTemplate,
                   [](HWND h) {
                     EnableWindow(ItemOf(h, IDOK), FALSE);
                     SetFocus(ItemOf(h, kEdit));
                   },
                   [](sim::UiSystem& u, HWND) { u.Key(VK_RETURN); },
                   {}},
        DialogPath{"EnterWithoutAnyDefaultButtonGivesIdOk",
                   kNoDefaultTemplate,
                   {},
                   [](sim::UiSystem& u, HWND) { u.Key(VK_RETURN); },
                   {IDOK}},
        DialogPath{"Click",
                   kMainTemplate,
                   {},
                   [](sim::UiSystem& u, HWND dlg) { EXPECT_TRUE(u.Click(u.Item(dlg, kUpdate))); },
                   {kUpdate}},
        DialogPath{"ClickOnDisabledButton",
                   kMainTemplate,
                   [](HWND h) { EnableWindow(ItemOf(h, kUpdate), FALSE); },
                   [](sim::UiSystem& u, HWND dlg) { EXPECT_FALSE(u.Click(u.Item(dlg, kUpdate))); },
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimUi, F1FromAFocusedControlReachesTheDialogAsHelp) {
  HELPINFO got{};
  HWND edit = nullptr;
  Dlg d;
  d.init = [&](HWND h) {
    edit = GetDlgItem(h, kEdit);
    SetFocus(edit);
    return FALSE;
  };
  d.handle = [&](HWND h, UINT m, WPARAM, LPARAM l) -> INT_PTR {
    if (m != WM_HELP) return FALSE;
    got = *reinterpret_cast<const HELPINFO*>(l);
    EndDialog(h, 3);
    return TRUE;
  };
  Run([&] { EXPECT_EQ(RunDialog(kMainTemplate, d), 3); },
      [&](sim::Script& s) {
        ASSERT_TRUE(s.WaitFor([&] { return s.Ui().Focus() != nullptr; }));
        s.Ui().Key(VK_F1);
      });
  EXPECT_EQ(got.cbSize, sizeof(HELPINFO));
  EXPECT_EQ(got.iContextType, HELPINFO_WINDOW);
  EXPECT_EQ(got.iCtrlId, kEdit);
  EXPECT_EQ(got.hItemHandle, edit);
}

TEST_F(SimUi, MinimiseAndRestoreRepaint) {
  std::vector<std::pair<bool, LONG>> paints;  // iconic, client width
  Dlg d;
  d.handle = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
    if (m != WM_PAINT) return FALSE;
    RECT r{};
    GetClientRect(h, &r);
    paints.emplace_back(IsIconic(h) != FALSE, r.right);
    PAINTSTRUCT ps;
    BeginPaint(h, &ps);
    EndPaint(h, &ps);
    return TRUE;
  };
  Run([&] { RunDialog(kMainTemplate, d); },
      [&](sim::Script& s) {
        ASSERT_TRUE(s.WaitFor([&] { return paints.size() == 1; }));
        HWND dlg = s.Ui().Dialog(kMainTemplate);
        s.Ui().SysCommand(dlg, SC_MINIMIZE);
        ASSERT_TRUE(s.WaitFor([&] { return paints.size() == 2; }));
        EXPECT_TRUE(s.Ui().IsIconic(dlg));
        s.Ui().SysCommand(dlg, SC_RESTORE);
        ASSERT_TRUE(s.WaitFor([&] { return paints.size() == 3; }));
        s.After(20);
        EXPECT_EQ(paints.size(), 3u);  // validated: no repeated WM_PAINT
        EndDialog(dlg, 0);
      });
  ASSERT_EQ(paints.size(), 3u);
  EXPECT_FALSE(paints[0].first);
  EXPECT_EQ(paints[1], std::make_pair(true, LONG{36}));
  EXPECT_FALSE(paints[2].first);
  EXPECT_EQ(machine_.Calls().Named("BeginPaint").size(), 3u);
}

TEST_F(SimUi, SystemMenuTakesAppendedCommands) {
  UINT command = 0;
  Dlg d;
  d.init = [&](HWND h) {
    HMENU menu = GetSystemMenu(h, FALSE);
    EXPECT_NE(menu, nullptr);
    EXPECT_EQ(GetSystemMenu(h, FALSE), menu);
    EXPECT_TRUE(AppendMenuA(menu, MF_SEPARATOR, 0, nullptr));
    EXPECT_TRUE(AppendMenuA(menu, MF_STRING, 0x10, "&About..."));
    EXPECT_FALSE(AppendMenuA(reinterpret_cast<HMENU>(std::uintptr_t{0x99}), MF_STRING, 1, "x"));
    return TRUE;
  };
  d.handle = [&](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
    if (m != WM_SYSCOMMAND || (w & 0xFFF0) == SC_CLOSE) return FALSE;
    command = static_cast<UINT>(w);
    EndDialog(h, 0);
    return TRUE;
  };
  std::vector<sim::MenuItem> items;
  Run([&] { RunDialog(kMainTemplate, d); },
      [&](sim::Script& s) {
        ASSERT_TRUE(s.WaitFor([&] {
          HWND dlg = s.Ui().Dialog(kMainTemplate);
          return dlg != nullptr && s.Ui().Visible(dlg);
        }));
        HWND dlg = s.Ui().Dialog(kMainTemplate);
        items = s.Ui().MenuItems(dlg);
        EXPECT_THROW(s.Ui().SysCommand(dlg, 0x20), std::logic_error);
        s.Ui().SysCommand(dlg, 0x10);
      });
  ASSERT_EQ(items.size(), 9u);
  EXPECT_EQ(items[6], (sim::MenuItem{MF_STRING, SC_CLOSE, "&Close\tAlt+F4"}));
  EXPECT_EQ(items[8], (sim::MenuItem{MF_STRING, 0x10, "&About..."}));
  EXPECT_EQ(command, 0x10u);
}

TEST_F(SimUi, ModalDialogDisablesTheTopLevelOwnerAndGivesItBack) {
  HWND outer = nullptr;
  bool ownerEnabledInside = true;
  HWND ownerInside = nullptr;
  Dlg inner;
  inner.init = [&](HWND h) {
    ownerEnabledInside = IsWindowEnabled(outer) != FALSE;
    ownerInside = GetWindow(h, GW_OWNER);
    EndDialog(h, 4);
    return FALSE;
  };
  Dlg outerDlg;
  outerDlg.init = [&](HWND h) {
    outer = h;
    return TRUE;
  };
  outerDlg.handle = [&](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
    if (m != WM_COMMAND || LOWORD(w) != kUpdate) return FALSE;
    // A child as owner: the dialog manager uses its top-level window.
    EXPECT_EQ(RunDialog(kNoDefaultTemplate, inner, GetDlgItem(h, kEdit)), 4);
    EXPECT_TRUE(IsWindowEnabled(h));
    EXPECT_EQ(GetActiveWindow(), h);
    // An owner that was disabled already stays disabled.
    EnableWindow(h, FALSE);
    EXPECT_EQ(RunDialog(kNoDefaultTemplate, inner, h), 4);
    EXPECT_FALSE(IsWindowEnabled(h));
    EnableWindow(h, TRUE);
    EndDialog(h, 0);
    return TRUE;
  };
  Run([&] { RunDialog(kMainTemplate, outerDlg); },
      [&](sim::Script& s) {
        ASSERT_TRUE(s.WaitFor([&] { return outer != nullptr && s.Ui().Visible(outer); }));
        s.Ui().Click(s.Ui().Item(outer, kUpdate));
      });
  EXPECT_FALSE(ownerEnabledInside);
  EXPECT_EQ(ownerInside, outer);
}

// MonitorFromWindow answers with the monitor that holds most of the window;
// for a window on none, the flag decides. GetMonitorInfoA describes it.
TEST_F(SimUi, MonitorOfAWindow) {
  const RECT secondWork{1024, 0, 2304, 984};
  Ui().SetScreens(
      {{RECT{0, 0, 1024, 768}, RECT{0, 0, 1024, 728}}, {RECT{1024, 0, 2304, 1024}, secondWork}});
  struct Case {
    LONG x;
    DWORD flags;
    int screen;  // -1: none
  };
  const Case cases[] = {{100, MONITOR_DEFAULTTONULL, 0},
                        {1000, MONITOR_DEFAULTTONULL, 1},  // mostly on the second
                        {5000, MONITOR_DEFAULTTONULL, -1},
                        {5000, MONITOR_DEFAULTTOPRIMARY, 0},
                        {5000, MONITOR_DEFAULTTONEAREST, 1}};
  std::vector<int> found;
  MONITORINFO primary{}, second{}, tooSmall{};
  BOOL tooSmallResult = TRUE;
  Dlg d;
  d.init = [&](HWND h) {
    HMONITOR monitors[2] = {};
    for (const Case& c : cases) {
      SetWindowPos(h, nullptr, c.x, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      HMONITOR m = MonitorFromWindow(h, c.flags);
      if (c.screen >= 0 && monitors[c.screen] == nullptr) monitors[c.screen] = m;
      found.push_back(m == nullptr ? -1 : (m == monitors[0] ? 0 : (m == monitors[1] ? 1 : -2)));
    }
    primary.cbSize = second.cbSize = sizeof(MONITORINFO);
    GetMonitorInfoA(monitors[0], &primary);
    GetMonitorInfoA(monitors[1], &second);
    tooSmall.cbSize = sizeof(MONITORINFO) - 1;
    tooSmallResult = GetMonitorInfoA(monitors[1], &tooSmall);
    EndDialog(h, 0);
    return FALSE;
  };
  Run([&] { RunDialog(kMainTemplate, d); });
  ASSERT_EQ(found.size(), std::size(cases));
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i], cases[i].screen) << "x " << cases[i].x << ", flags " << cases[i].flags;
  }
  EXPECT_EQ(primary.dwFlags, MONITORINFOF_PRIMARY);
  EXPECT_EQ(primary.rcWork.bottom, 728);
  EXPECT_EQ(second.dwFlags, 0u);
  EXPECT_EQ(
      std::tie(second.rcWork.left, second.rcWork.top, second.rcWork.right, second.rcWork.bottom),
      std::tie(secondWork.left, secondWork.top, secondWork.right, secondWork.bottom));
  EXPECT_FALSE(tooSmallResult);
}

// A minimised window lies off every screen, the size of a caption; its
// monitor is still the one it was on, and a restore brings its place back.
TEST_F(SimUi, MinimisedWindowIsOffScreenUntilRestored) {
  Ui().SetScreens({{RECT{0, 0, 1024, 768}, RECT{0, 0, 1024, 728}},
                   {RECT{1024, 0, 2304, 1024}, RECT{1024, 0, 2304, 984}}});
  RECT placed{}, minimised{}, restored{};
  HMONITOR placedOn = nullptr, minimisedOn = nullptr;
  Dlg d;
  d.init = [&](HWND h) {
    SetWindowPos(h, nullptr, 1100, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    GetWindowRect(h, &placed);
    placedOn = MonitorFromWindow(h, MONITOR_DEFAULTTONULL);
    ShowWindow(h, SW_MINIMIZE);
    GetWindowRect(h, &minimised);
    minimisedOn = MonitorFromWindow(h, MONITOR_DEFAULTTONULL);
    ShowWindow(h, SW_RESTORE);
    GetWindowRect(h, &restored);
    EndDialog(h, 0);
    return FALSE;
  };
  Run([&] { RunDialog(kMainTemplate, d); });
  const auto corners = [](const RECT& r) { return std::tie(r.left, r.top, r.right, r.bottom); };
  EXPECT_EQ(corners(minimised), std::make_tuple(-32000, -32000, -31840, -31969));
  EXPECT_EQ(corners(restored), corners(placed));
  EXPECT_EQ(placed.left, 1100);
  EXPECT_NE(placedOn, nullptr);
  EXPECT_EQ(minimisedOn, placedOn);
}

TEST_F(SimUi, MessageBoxIsModalToItsOwnerAndRecorded) {
  HWND dlg = nullptr;
  int answer = 0;
  bool handledPostedWhileOpen = false;
  Dlg d;
  d.init = [&](HWND h) {
    dlg = h;
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    PostMessageA(h, WM_APP, 0, 0);
    answer = MessageBoxA(GetDlgItem(h, kEdit), "Line one\nline \"two\"", "Caption",
                         kMbYesNo | MB_ICONQUESTION);
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    EXPECT_TRUE(IsWindowEnabled(h));
    EndDialog(h, 0);
    return FALSE;
  };
  d.handle = [&](HWND, UINT m, WPARAM, LPARAM) -> INT_PTR {
    if (m == WM_APP) handledPostedWhileOpen = true;
    return FALSE;
  };
  bool ownerEnabled = true;
  Run([&] { RunDialog(kMainTemplate, d); },
      [&](sim::Script& s) {
        ASSERT_TRUE(s.WaitFor([&] { return s.Ui().OpenBox().has_value(); }));
        s.After(10);
        ownerEnabled = s.Ui().Enabled(dlg);
        EXPECT_THROW(s.Ui().PressBoxButton(IDOK), std::logic_error);  // a yes/no box
        s.Ui().PressBoxButton(kIdNo);
        s.After(10);
        EXPECT_FALSE(s.Ui().OpenBox().has_value());
        EXPECT_THROW(s.Ui().PressBoxButton(), std::logic_error);
      });
  EXPECT_FALSE(ownerEnabled);
  EXPECT_TRUE(handledPostedWhileOpen);
  EXPECT_EQ(answer, kIdNo);
  ASSERT_EQ(Ui().Boxes().size(), 1u);
  const sim::MessageBoxRecord& box = Ui().Boxes()[0];
  EXPECT_EQ(box.owner, dlg);
  EXPECT_EQ(box.cursor, "wait");
  EXPECT_EQ(box.result, kIdNo);
  EXPECT_EQ(EventsWithout(machine_, "box"),
            (std::vector<std::string>{"box \"Caption\" \"Line one\\nline \\\"two\\\"\" 36"}));
  EXPECT_EQ(EventsWithout(machine_, "cursor"),
            (std::vector<std::string>{"cursor wait", "cursor normal"}));
}

TEST_F(SimUi, EndDialogDuringInitNeverShowsTheDialog) {
  Dlg d;
  d.init = [](HWND h) {
    EndDialog(h, 7);
    return TRUE;
  };
  INT_PTR result = 0;
  Run([&] { result = RunDialog(kMainTemplate, d); });
  EXPECT_EQ(result, 7);
  EXPECT_FALSE(Logged(d, WM_PAINT));
  EXPECT_TRUE(Logged(d, WM_DESTROY));
  ASSERT_FALSE(d.messages.empty());
  EXPECT_EQ(d.messages.back(), WM_NCDESTROY);  // the framework frees its object there
  EXPECT_EQ(EventsWithout(machine_, "dialog"),
            (std::vector<std::string>{"dialog open 200", "dialog closed 200"}));
}

// ---- templates and resources ---------------------------------------------------------------

TEST_F(SimUi, DialogIsBuiltFromItsTemplate) {
  Dlg d;
  d.init = [&](HWND h) {
    char caption[32];
    GetWindowTextA(h, caption, sizeof caption);
    EXPECT_STREQ(caption, "Test dialog");
    EXPECT_FALSE(IsWindowVisible(h));  // shown only once the queue is empty
    EXPECT_TRUE(GetWindowLongPtrA(h, GWL_STYLE) & WS_SYSMENU);
    const std::vector<std::pair<int, std::string>> texts = {
        {kEdit, ""}, {IDOK, "OK"}, {IDCANCEL, "Cancel"}, {kUpdate, "&Update"}};
    for (const auto& [id, text] : texts) {
      HWND c = GetDlgItem(h, id);
      EXPECT_NE(c, nullptr) << id;
      EXPECT_EQ(GetDlgCtrlID(c), id);
      EXPECT_EQ(GetParent(c), h);
      EXPECT_TRUE(GetWindowLongPtrA(c, GWL_STYLE) & WS_CHILD);
      EXPECT_EQ(Ui().Text(c), text) << id;
    }
    EXPECT_EQ(GetDlgItem(h, 4242), nullptr);
    // Pictures take their image's size: an icon the system icon size, a bitmap its own.
    const std::vector<std::tuple<int, LONG, LONG>> sizes = {{kIcon, 32, 32}, {kBitmap, 3, 5}};
    for (const auto& [id, width, height] : sizes) {
      RECT r{};
      EXPECT_TRUE(GetWindowRect(GetDlgItem(h, id), &r));
      EXPECT_EQ(r.right - r.left, width) << id;
      EXPECT_EQ(r.bottom - r.top, height) << id;
    }
    EXPECT_EQ(SendMessageA(GetDlgItem(h, IDOK), WM_GETDLGCODE, 0, 0),
              LRESULT{DLGC_BUTTON | DLGC_DEFPUSHBUTTON});
    EXPECT_EQ(SendMessageA(h, DM_GETDEFID, 0, 0), MAKELRESULT(IDOK, 0x534B));
    EndDialog(h, 0);
    return FALSE;
  };
  Run([&] { RunDialog(kMainTemplate, d); });
}

TEST_F(SimUi, StringsIconsAndMissingResources) {
  Ui().HideString(17);
  Run([&] {
    char buf[32];
    EXPECT_EQ(LoadStringA(nullptr, 1, buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "One");
    EXPECT_EQ(LoadStringA(nullptr, 18, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "Caf\xe9");
    EXPECT_EQ(LoadStringA(nullptr, 1, buf, 3), 2);  // truncated and terminated
    EXPECT_STREQ(buf, "On");
    EXPECT_EQ(LoadStringA(nullptr, 17, buf, sizeof buf), 0);   // hidden
    EXPECT_EQ(LoadStringA(nullptr, 2, buf, sizeof buf), 0);    // not in the table
    EXPECT_EQ(LoadStringA(nullptr, 300, buf, sizeof buf), 0);  // no such block
    EXPECT_STREQ(buf, "");
    HICON icon = LoadIconW(sim::kModuleInstance, MAKEINTRESOURCEW(128));
    EXPECT_NE(icon, nullptr);
    EXPECT_EQ(LoadIconW(sim::kModuleInstance, MAKEINTRESOURCEW(128)), icon);
    EXPECT_EQ(Ui().IconResourceId(icon), 128);
    // A bitmap, not an icon.
    EXPECT_EQ(LoadIconW(sim::kModuleInstance, MAKEINTRESOURCEW(129)), nullptr);
    Dlg unused;
    EXPECT_EQ(RunDialog(999, unused), -1);
  });
}

// The module handle decides whose resources a call reaches: the program's
// instance handle its own; null the executable's for strings and dialogs,
// but only the system's own icons and cursors; any other handle nothing.
TEST_F(SimUi, ResourcesComeFromTheModuleNamed) {
  using Load = std::function<bool(HINSTANCE)>;
  const Load programIcon = [](HINSTANCE m) {
    return LoadIconW(m, MAKEINTRESOURCEW(128)) != nullptr;
  };
  const Load systemIcon = [](HINSTANCE m) {
    return LoadIconW(m, MAKEINTRESOURCEW(32512)) != nullptr;  // IDI_APPLICATION
  };
  const Load arrow = [](HINSTANCE m) { return LoadCursorA(m, IDC_ARROW) != nullptr; };
  const Load string = [](HINSTANCE m) {
    char buf[8];
    return LoadStringA(m, 1, buf, sizeof buf) == 3;
  };
  const Load dialog = [](HINSTANCE m) {
    Dlg d;
    d.init = [](HWND h) {
      EndDialog(h, 7);
      return FALSE;
    };
    RegisterCommonControls();
    return DialogBoxParamA(m, MAKEINTRESOURCEA(200), nullptr, &ScriptedProc,
                           reinterpret_cast<LPARAM>(&d)) == 7;
  };
  const HINSTANCE program = sim::kModuleInstance;
  const HINSTANCE other = reinterpret_cast<HINSTANCE>(std::uintptr_t{0x10000000});
  const struct {
    const char* what;
    const Load& load;
    HINSTANCE module;
    bool found;
  } cases[] = {
      {"program icon", programIcon, program, true},
      {"program icon", programIcon, nullptr, false},
      {"program icon", programIcon, other, false},
      {"system icon", systemIcon, nullptr, true},
      {"system icon", systemIcon, program, false},
      {"arrow cursor", arrow, nullptr, true},
      {"arrow cursor", arrow, program, false},
      {"string", string, program, true},
      {"string", string, nullptr, true},
      {"string", string, other, false},
      {"dialog", dialog, program, true},
      {"dialog", dialog, nullptr, true},
      {"dialog", dialog, other, false},
  };
  Run([&] {
    for (const auto& c : cases) {
      EXPECT_EQ(c.load(c.module), c.found) << c.what << " from module " << c.module;
    }
  });
}

TEST_F(SimUi, TemplateWithUnknownControlClassFailsAndReleasesTheOwner) {
  Dlg outer;
  Dlg broken;
  outer.init = [&](HWND h) {
    EXPECT_EQ(RunDialog(kUnknownClassTemplate, broken, h), -1);
    EXPECT_TRUE(IsWindowEnabled(h));
    EXPECT_FALSE(Logged(broken, WM_INITDIALOG));
    EndDialog(h, 0);
    return FALSE;
  };
  Run([&] { RunDialog(kMainTemplate, outer); });
  EXPECT_EQ(Ui().Dialog(kUnknownClassTemplate), nullptr);
}

// With version 6 of the common controls a template's progress bar exists
// only once the process has registered its class; until then the control,
// and with it the dialog, cannot be created. Each case is a new process.
TEST_F(SimUi, ProgressBarNeedsItsClassRegistered) {
  const struct {
    const char* name;
    std::vector<DWORD> registered;  // one InitCommonControlsEx call each
    int templateId;
    bool created;
  } cases[] = {
      {"nothing registered", {}, kMainTemplate, false},
      {"standard classes only", {ICC_STANDARD_CLASSES}, kMainTemplate, false},
      {"the progress class", {ICC_PROGRESS_CLASS}, kMainTemplate, true},
      {"the Windows 95 set", {ICC_WIN95_CLASSES}, kMainTemplate, true},
      {"added by a later call", {ICC_STANDARD_CLASSES, ICC_PROGRESS_CLASS}, kMainTemplate, true},
      {"a template without one", {}, kNoDefaultTemplate, true},
  };
  for (const auto& c : cases) {
    sim::Machine machine(Options());
    Dlg d;
    d.init = [](HWND h) {
      EndDialog(h, 7);
      return FALSE;
    };
    INT_PTR result = 0;
    DWORD error = 0;
    const auto run = machine.RunThread([&] {
      for (DWORD classes : c.registered) RegisterCommonControls(classes);
      result = DialogBoxParamA(nullptr, MAKEINTRESOURCEA(c.templateId), nullptr, &ScriptedProc,
                               reinterpret_cast<LPARAM>(&d));
      error = GetLastError();
    });
    ASSERT_EQ(run.outcome, sim::Outcome::kExited) << c.name << ": " << run.report;
    EXPECT_EQ(result, c.created ? 7 : -1) << c.name;
    EXPECT_EQ(Logged(d, WM_INITDIALOG), c.created) << c.name;
    if (!c.created) {
      EXPECT_EQ(error, 1407u) << c.name;  // ERROR_CANNOT_FIND_WND_CLASS
    }
  }
}

TEST(SimUiResources, MalformedResourceDataIsRejectedWhole) {
  sim::MachineOptions o;
  sim::Machine m(o);
  std::vector<std::uint8_t> good(std::begin(kTestRes), std::end(kTestRes));
  std::string error;
  ASSERT_TRUE(m.Ui().LoadResources(good, &error)) << error;

  auto withDword = [&](std::size_t at, std::uint32_t v) {
    std::vector<std::uint8_t> bytes = good;
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return bytes;
  };
  struct Bad {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Bad> bad = {
      {"TruncatedHeader", std::vector<std::uint8_t>(good.begin(), good.begin() + 36)},
      {"TruncatedData", std::vector<std::uint8_t>(good.begin(), good.end() - 3)},
      {"DataSizeBeyondEnd", withDword(32, 0x7FFFFFFF)},
      {"HeaderSizeTooSmall", withDword(36, 4)},
      {"HeaderSizeBeyondEnd", withDword(36, 0xFFFFFFF0)},
  };
  for (const Bad& b : bad) {
    error.clear();
    EXPECT_FALSE(m.Ui().LoadResources(b.bytes, &error)) << b.name;
    EXPECT_FALSE(error.empty()) << b.name;
  }
  // Every prefix either parses or fails cleanly (the sanitizers watch the reads).
  for (std::size_t n = 0; n < good.size(); ++n) {
    m.Ui().LoadResources(std::span(good.data(), n));
  }
}

}  // namespace
