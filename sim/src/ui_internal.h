// Internal state of the simulated user32/comctl32, shared by the ui_*.cpp
// files. Every access happens with the scheduler's baton held.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "race_detector.h"
#include "simwin/machine.h"
#include "simwin/ui.h"

namespace sim {

// ---- resources -------------------------------------------------------------------
// A resource type or name: an ordinal or an (upper-cased) string.
using ResName = std::variant<WORD, std::u16string>;

// sz_Or_Ord field of a dialog template.
struct SzOrOrd {
  bool present = false;  // false: the 0x0000 "none" form
  bool isOrdinal = false;
  WORD ordinal = 0;
  std::u16string text;
};

struct DialogItemTemplate {
  DWORD helpId = 0;
  DWORD exStyle = 0;
  DWORD style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  int id = 0;
  SzOrOrd windowClass;
  SzOrOrd title;
};

struct DialogTemplate {
  DWORD helpId = 0;
  DWORD exStyle = 0;
  DWORD style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  SzOrOrd menu;
  SzOrOrd windowClass;
  std::u16string title;
  WORD pointSize = 0;
  std::u16string typeface;
  std::vector<DialogItemTemplate> items;
};

// Parses an extended dialog template; nullopt (and `error`) when malformed.
std::optional<DialogTemplate> ParseDialogTemplate(std::span<const std::uint8_t> data,
                                                  std::string* error);

class ResourceTable {
 public:
  // Replaces the contents; on malformed input the table stays empty.
  bool Load(std::span<const std::uint8_t> res, std::string* error);
  const std::vector<std::uint8_t>* Find(WORD type, const ResName& name) const;
  std::size_t Count() const { return entries_.size(); }

 private:
  std::map<std::pair<ResName, ResName>, std::vector<std::uint8_t>> entries_;
};

// Name argument of the Load* functions: MAKEINTRESOURCE, "#123" or a name.
std::optional<ResName> ResNameFromA(LPCSTR name);
std::optional<ResName> ResNameFromW(LPCWSTR name);

// ---- windows -----------------------------------------------------------------------
enum class WindowKind { kDialog, kMessageBox, kButton, kEdit, kStatic, kProgress };

struct Window {
  HWND handle = nullptr;
  WindowKind kind = WindowKind::kDialog;
  std::string className;
  DWORD thread = 0;
  bool alive = true;
  HWND parent = nullptr;  // child windows
  HWND owner = nullptr;   // top-level windows
  DWORD style = 0;
  DWORD exStyle = 0;
  int id = 0;
  std::string text;
  RECT rect{};  // top-level: screen; child: parent's client coordinates
  WNDPROC proc = nullptr;
  LONG_PTR userData = 0;
  bool iconic = false;
  bool invalid = false;
  HICON iconBig = nullptr;
  HICON iconSmall = nullptr;
  HFONT font = nullptr;
  std::uint64_t activatedSerial = 0;
  std::vector<HWND> children;  // creation order

  // dialogs
  DLGPROC dlgProc = nullptr;
  LONG_PTR msgResult = 0;
  LONG_PTR dlgUser = 0;
  int templateId = 0;  // 0: not from a template
  bool ended = false;
  INT_PTR result = 0;
  HWND savedFocus = nullptr;

  // system menu (created on first use)
  HMENU sysMenu = nullptr;

  // controls
  ProgressInfo progress;
  bool pressed = false;
  HICON image = nullptr;

  // message boxes
  std::size_t boxIndex = 0;
  std::optional<int> boxPressed;
};

struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD sender = 0;
  bool done = false;
  LRESULT result = 0;
};

// Where a queued message came from decides which QS_/PM_QS_ filter sees it.
enum class QueuedKind { kPosted, kKey, kMouse };

struct QueuedMessage {
  MSG msg{};
  QueuedKind kind = QueuedKind::kPosted;
  race::OrderKey order;  // the post happens before the message is taken
};

struct ThreadQueue {
  DWORD thread = 0;
  std::deque<QueuedMessage> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  bool quit = false;
  int quitCode = 0;
  // QS_ bits of what arrived since the thread last looked at its queue.
  UINT changed = 0;
};

struct Menu {
  HMENU handle = nullptr;
  HWND window = nullptr;
  std::vector<MenuItem> items;
};

struct UiState {
  explicit UiState(Machine& m) : machine(m) {}

  Machine& machine;
  ResourceTable resources;
  std::set<UINT> hiddenStrings;
  bool systemMenuAvailable = true;
  std::map<int, int> metrics;
  int iconicWidth = 36;
  int iconicHeight = 36;
  std::map<int, bool> keys;
  std::vector<Screen> screens{{RECT{0, 0, 1024, 768}, RECT{0, 0, 1024, 728}}};

  std::map<std::uintptr_t, std::unique_ptr<Window>> windows;
  std::uintptr_t nextWindow = 0x10010;
  std::map<DWORD, std::unique_ptr<ThreadQueue>> queues;
  std::map<std::uintptr_t, Menu> menus;
  std::uintptr_t nextMenu = 0x20010;
  std::uintptr_t nextDc = 0x30010;
  std::map<HICON, int> iconIds;  // HICON -> icon resource id

  HWND active = nullptr;
  HWND focus = nullptr;
  std::uint64_t activationSerial = 0;

  bool waitCursor = false;
  HCURSOR cursor = nullptr;

  // ICC_ bits of the common-control classes InitCommonControlsEx has
  // registered in the process; until then a template naming one fails.
  DWORD commonControls = 0;

  std::vector<MessageBoxRecord> boxes;
  std::vector<OtherProgramSend> otherProgramSends;

  // ---- helpers ---------------------------------------------------------------------
  Window* Find(HWND h);  // live windows only
  const Window* Find(HWND h) const;
  Window* FindAny(HWND h);  // also destroyed ones (observation)
  const Window* FindAny(HWND h) const;
  Window& Require(HWND h);  // observation: throws std::logic_error when unknown
  const Window& Require(HWND h) const;
  ThreadQueue& Queue(DWORD thread);
  HWND TopLevel(HWND h) const;
  bool IsDescendant(HWND ancestor, HWND h) const;  // h == ancestor or below it
  int Metric(int index) const;
  void Event(const std::string& line);
  void Record(const std::string& name, const std::string& args);
};

UiState& Ui();  // the current machine's state

// ---- window operations (ui_window.cpp) ----------------------------------------
Window& CreateWindowObject(WindowKind kind, std::string className, DWORD style, HWND parentOrOwner,
                           int id, std::string text, RECT rect, WNDPROC proc);
LRESULT CallWindowProcOf(HWND h, UINT message, WPARAM wParam, LPARAM lParam);
void DestroyWindowTree(HWND h);
void ActivateWindow(HWND h);
void SetFocusInternal(HWND h);
void SetTextInternal(HWND h, const std::string& text);  // sets and emits the event
void ShowInternal(HWND h, bool show);
void PaintDefault(HWND h);                 // what DefWindowProc's WM_PAINT does
bool EnableInternal(HWND h, bool enable);  // returns whether it was disabled
std::string Hex(std::uintptr_t value);
std::string Quote(const std::string& text);
std::string Narrow(const std::u16string& text);
bool InputReachable(const UiState& ui, HWND h);  // enabled and visible with all its ancestors

std::vector<MenuItem> StandardSystemMenu();
POINT ClientOriginOf(HWND h);
void MarkInvalid(UiState& ui, Window& w);  // the window needs WM_PAINT
void SetKeyState(UiState& ui, int vk, bool down);

// ---- queues (ui_queue.cpp) ---------------------------------------------------------
void PostTo(UiState& ui, HWND h, UINT message, WPARAM wParam, LPARAM lParam, QueuedKind kind);
void DeliverSentMessages(ThreadQueue& q);
void DropMessagesFor(HWND h);  // a destroyed window: senders get 0, posts vanish

// ---- dialogs and controls ----------------------------------------------------------
LRESULT DefDlgProcInternal(HWND h, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT MessageBoxProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT ButtonProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT EditProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT StaticProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT ProgressProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam);
std::vector<int> BoxButtons(UINT style);

// ---- resources (ui_resources.cpp) ----------------------------------------------
// The failure of a resource call given a handle that is no module's (U).
inline constexpr DWORD kErrorResourceDataNotFound = 1812;
// Whether a module handle gives the program's own resources: its instance
// handle does, and null does for the calls that take null as the executable
// (LoadString, DialogBox*), not for those where null means the system's own
// resources (LoadIcon, LoadCursor).
bool ProgramModule(HINSTANCE instance, bool nullIsExecutable);
HICON IconForResource(const ResName& name);  // the program's icon; null when missing
HICON SystemIcon(const ResName& name);       // a predefined icon (IDI_*); null otherwise
std::optional<std::pair<int, int>> BitmapSize(const ResName& name);

}  // namespace sim
