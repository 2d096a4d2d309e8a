// user32/comctl32 of the simulated Windows: windows, message queues, dialogs
// built from the program's compiled templates, controls, modal loops,
// message boxes, menus, painting, keyboard and cursor, and the resources.
//
// The Win32 functions themselves are declared in win32_api.h; this class is
// what the machine owns and what tests and scripts drive and observe. Every
// member runs with the baton held (from a test body outside a run, or from a
// simulated thread such as the script thread).
//
// Input actions behave like a user at the keyboard and mouse: they put input
// into the queue of the thread that owns the target window, and that thread
// sees it the next time it reads its queue. Misuse by a test (an unknown
// window, pressing a button on a box that has none, no box open) throws
// std::logic_error, which fails the script.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "simwin/sched.h"

namespace sim {

class Machine;
struct UiState;  // internal state (sim/src/ui_internal.h)

struct ProgressInfo {
  int min = 0;
  int max = 100;
  int step = 10;
  int pos = 0;
  bool operator==(const ProgressInfo&) const = default;
};

struct MessageBoxRecord {
  HWND owner = nullptr;  // the top-level window that owned the box (may be null)
  std::string text;
  std::string caption;
  UINT style = 0;
  Ticks at = 0;               // virtual time at which the box appeared
  std::string cursor;         // "wait" or "normal", the cursor shown at that moment
  DWORD thread = 0;           // thread that called MessageBoxA
  std::optional<int> result;  // the button pressed, once pressed
};

// One monitor of the virtual screen: its area, and its work area (the area
// less the taskbar).
struct Screen {
  RECT area;
  RECT work;
};

// A message that a thread of another program sent (SendFromOtherProgram),
// and what came of it.
struct OtherProgramSend {
  HWND window = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD thread = 0;  // the sender (Kernel::Threads() marks it otherProgram)
  Ticks sentAt = 0;
  // When SendMessage returned to the sender; empty while it waits, and when
  // the run ended first.
  std::optional<Ticks> returnedAt;
  LRESULT result = 0;  // what it returned: 0 when the window went before taking it
};

struct MenuItem {
  UINT flags = 0;
  UINT_PTR id = 0;
  std::string text;
  bool operator==(const MenuItem&) const = default;
};

class UiSystem {
 public:
  explicit UiSystem(Machine& machine);
  ~UiSystem();
  UiSystem(const UiSystem&) = delete;
  UiSystem& operator=(const UiSystem&) = delete;

  // ---- set-up (before the run) -------------------------------------------------
  // Parses a compiled resource section (.res). On malformed data nothing is
  // loaded, `error` (if given) says why, and the result is false: every
  // resource then loads as missing.
  bool LoadResources(std::span<const std::uint8_t> res, std::string* error = nullptr);
  void HideString(UINT id);                         // LoadStringA finds nothing for `id`
  void SetSystemMenuAvailable(bool available);      // false: GetSystemMenu returns NULL
  void SetSystemMetric(int index, int value);       // SM_CXICON and friends
  void SetIconicClientSize(int width, int height);  // client size while minimised
  void SetKeyDown(int vk, bool down);               // left/right keys update the generic key
  // The monitors, the primary one (at 0,0) first. By default one 1024x768
  // screen with a 40-pixel taskbar along its bottom.
  void SetScreens(std::vector<Screen> screens);

  // ---- user input ----------------------------------------------------------------
  // A click on a control. Returns false (and does nothing, as Windows ignores
  // the mouse there) when the window, one of its ancestors or its top-level
  // window is disabled or hidden.
  bool Click(HWND window);
  // Presses and releases a key on the focus window of the active window
  // (or the active window when nothing has the focus). With Alt down
  // (SetKeyDown(VK_MENU...)) the system-key messages are sent instead.
  void Key(int vk);
  void KeyAltF4();
  // Chooses an item of the window's system menu. False when the window's
  // top-level window is disabled; throws when the menu has no such item.
  bool SysCommand(HWND window, UINT id);
  bool CloseBox(HWND window);  // the caption's close button (SC_CLOSE)
  bool Close(HWND window) { return CloseBox(window); }
  void PostClose(HWND window);  // WM_CLOSE posted from outside, as another program might
  // Any message posted from outside, as another program might.
  void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Any message sent from outside: a thread of another program sends it
  // with SendMessage and waits for the reply, so the window's thread takes
  // it only where Windows delivers sent messages (GetMessage, PeekMessage,
  // a wait for QS_SENDMESSAGE and the PeekMessage after it, a modal loop,
  // its own SendMessage to another thread), never in Sleep or a plain wait.
  // Returns at once, with the send's place in OtherProgramSends().
  std::size_t SendFromOtherProgram(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Presses a button of the open message box (IDOK, IDCANCEL, IDYES ...).
  void PressBoxButton(int id = IDOK);
  void Minimize(HWND window);
  void Restore(HWND window);
  void Invalidate(HWND window);

  // ---- observation ---------------------------------------------------------------
  HWND Dialog(int templateId) const;  // newest live dialog from that template, or null
  HWND Item(HWND dialog, int id) const;
  std::string Text(HWND window) const;
  std::string Text(HWND dialog, int id) const { return Text(Item(dialog, id)); }
  bool Enabled(HWND window) const;
  bool Visible(HWND window) const;
  ProgressInfo Progress(HWND window) const;
  const std::vector<MessageBoxRecord>& Boxes() const;
  std::optional<MessageBoxRecord> OpenBox() const;     // the newest box still open
  std::string Cursor() const;                          // "wait" or "normal"
  std::vector<MenuItem> MenuItems(HWND window) const;  // system menu (standard items if untouched)
  HICON Icon(HWND window, bool big) const;
  HWND Owner(HWND window) const;
  bool IsIconic(HWND window) const;
  HWND ActiveWindow() const;
  HWND Focus() const;
  bool IsLive(HWND window) const;
  // Sent messages waiting for `thread` to take them.
  std::size_t PendingSentMessages(DWORD thread) const;
  // Every SendFromOtherProgram of the run, in order.
  const std::vector<OtherProgramSend>& OtherProgramSends() const;
  // The resource id an HICON from LoadIconW stands for (0 when it is not one).
  int IconResourceId(HICON icon) const;

  // ---- internal ------------------------------------------------------------------
  UiState& State() { return *state_; }
  const UiState& State() const { return *state_; }

 private:
  std::unique_ptr<UiState> state_;
};

std::unique_ptr<UiSystem> MakeUiSystem(Machine& machine);
// Called by the machine when a run has ended (every simulated thread gone):
// drops queues and messages still pending, so nothing refers to dead stacks.
void OnRunEnd(UiSystem& ui);

}  // namespace sim
