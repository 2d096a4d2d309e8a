// Windows of the simulated user32: creation and destruction, focus and
// activation, text, enabled and visible state, geometry, DefWindowProc,
// painting, the system menu, cursors, keyboard state and help.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "ui_internal.h"

namespace sim {
namespace {

constexpr LONG kFrame = 3;     // border width of a top-level window
constexpr LONG kCaption = 20;  // caption height
constexpr WORD kWaActive = 1;
constexpr DWORD kErrorInvalidMenuHandle = 1401;
constexpr DWORD kErrorControlIdNotFound = 1421;
constexpr DWORD kErrorInvalidIndex = 1413;
constexpr std::uintptr_t kArrowCursor = 0x50010;
constexpr std::uintptr_t kWaitCursor = 0x50020;

HCURSOR CursorHandle(std::uintptr_t v) { return reinterpret_cast<HCURSOR>(v); }

// A monitor's handle stands for its place in UiState::screens.
constexpr std::uintptr_t kFirstMonitor = 0x70010;
HMONITOR MonitorHandle(std::size_t index) {
  return reinterpret_cast<HMONITOR>(kFirstMonitor + 0x10 * index);
}
std::optional<std::size_t> MonitorIndex(HMONITOR monitor) {
  const auto v = reinterpret_cast<std::uintptr_t>(monitor);
  if (v < kFirstMonitor || (v - kFirstMonitor) % 0x10 != 0) return std::nullopt;
  return (v - kFirstMonitor) / 0x10;
}

// The monitor closest to a rectangle that lies on none.
std::size_t NearestScreen(const UiState& ui, const RECT& r) {
  auto gap = [](LONG lo, LONG hi, LONG mlo, LONG mhi) -> long long {
    return hi <= mlo ? mlo - hi : (lo >= mhi ? lo - mhi : 0);
  };
  std::size_t nearest = 0;
  long long nearestDistance = -1;
  for (std::size_t i = 0; i < ui.screens.size(); ++i) {
    const RECT& m = ui.screens[i].area;
    const long long dx = gap(r.left, r.right, m.left, m.right);
    const long long dy = gap(r.top, r.bottom, m.top, m.bottom);
    if (nearestDistance < 0 || dx * dx + dy * dy < nearestDistance) {
      nearestDistance = dx * dx + dy * dy;
      nearest = i;
    }
  }
  return nearest;
}

bool BelongsToDialog(const UiState& ui, const Window& w, int* eventId) {
  if (w.kind == WindowKind::kDialog && w.parent == nullptr) {
    *eventId = 0;
    return true;
  }
  const Window* parent = ui.Find(w.parent);
  if (parent != nullptr && parent->kind == WindowKind::kDialog) {
    *eventId = w.id;
    return true;
  }
  return false;
}

// A minimised top-level window is moved off every screen and shrunk to a
// caption; `rect` keeps its place for the restore.
constexpr LONG kMinimizedPos = -32000;
constexpr LONG kMinimizedWidth = 160;
constexpr LONG kMinimizedHeight = 31;

// Where a top-level window is now: its own place, or the minimised one.
RECT CurrentRect(const Window& w) {
  if (!w.iconic || (w.style & WS_CHILD)) return w.rect;
  return {kMinimizedPos, kMinimizedPos, kMinimizedPos + kMinimizedWidth,
          kMinimizedPos + kMinimizedHeight};
}

POINT ClientOrigin(const UiState& ui, const Window& w) {
  if (w.style & WS_CHILD) {
    const Window* parent = ui.Find(w.parent);
    POINT o = parent != nullptr ? ClientOrigin(ui, *parent) : POINT{0, 0};
    return {o.x + w.rect.left, o.y + w.rect.top};
  }
  const RECT r = CurrentRect(w);
  LONG top = (w.style & WS_CAPTION) == WS_CAPTION ? kCaption : 0;
  return {r.left + kFrame, r.top + kFrame + top};
}

RECT ScreenRect(const UiState& ui, const Window& w) {
  if (!(w.style & WS_CHILD)) return CurrentRect(w);
  const Window* parent = ui.Find(w.parent);
  POINT o = parent != nullptr ? ClientOrigin(ui, *parent) : POINT{0, 0};
  return {o.x + w.rect.left, o.y + w.rect.top, o.x + w.rect.right, o.y + w.rect.bottom};
}

SIZE_T ClientWidth(const Window& w) {
  LONG extra = (w.style & WS_CHILD) ? 0 : 2 * kFrame;
  LONG v = w.rect.right - w.rect.left - extra;
  return v > 0 ? static_cast<SIZE_T>(v) : 0;
}
SIZE_T ClientHeight(const Window& w) {
  LONG extra = 0;
  if (!(w.style & WS_CHILD)) {
    extra = 2 * kFrame + ((w.style & WS_CAPTION) == WS_CAPTION ? kCaption : 0);
  }
  LONG v = w.rect.bottom - w.rect.top - extra;
  return v > 0 ? static_cast<SIZE_T>(v) : 0;
}

void SendDestroy(HWND h) {
  UiState& ui = Ui();
  if (ui.Find(h) == nullptr) return;
  CallWindowProcOf(h, WM_DESTROY, 0, 0);
  Window* w = ui.Find(h);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND c : children) SendDestroy(c);
}

void SendNcDestroy(HWND h) {
  UiState& ui = Ui();
  Window* w = ui.Find(h);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND c : children) SendNcDestroy(c);
  if (ui.Find(h) == nullptr) return;
  CallWindowProcOf(h, WM_NCDESTROY, 0, 0);
  w = ui.Find(h);
  if (w == nullptr) return;
  w->alive = false;
  w->style &= ~WS_VISIBLE;
  if (w->sysMenu != nullptr) ui.menus.erase(reinterpret_cast<std::uintptr_t>(w->sysMenu));
  DropMessagesFor(h);
}

}  // namespace

// ---- UiState helpers -----------------------------------------------------------------
Window* UiState::Find(HWND h) {
  Window* w = FindAny(h);
  return w != nullptr && w->alive ? w : nullptr;
}
const Window* UiState::Find(HWND h) const {
  const Window* w = FindAny(h);
  return w != nullptr && w->alive ? w : nullptr;
}
Window* UiState::FindAny(HWND h) {
  auto it = windows.find(reinterpret_cast<std::uintptr_t>(h));
  return it == windows.end() ? nullptr : it->second.get();
}
const Window* UiState::FindAny(HWND h) const {
  auto it = windows.find(reinterpret_cast<std::uintptr_t>(h));
  return it == windows.end() ? nullptr : it->second.get();
}
Window& UiState::Require(HWND h) {
  Window* w = FindAny(h);
  if (w == nullptr)
    throw std::logic_error("no such window: " + Hex(reinterpret_cast<std::uintptr_t>(h)));
  return *w;
}
const Window& UiState::Require(HWND h) const {
  const Window* w = FindAny(h);
  if (w == nullptr)
    throw std::logic_error("no such window: " + Hex(reinterpret_cast<std::uintptr_t>(h)));
  return *w;
}
ThreadQueue& UiState::Queue(DWORD thread) {
  auto& q = queues[thread];
  if (!q) {
    q = std::make_unique<ThreadQueue>();
    q->thread = thread;
  }
  return *q;
}
HWND UiState::TopLevel(HWND h) const {
  const Window* w = Find(h);
  while (w != nullptr && (w->style & WS_CHILD) && w->parent != nullptr) {
    const Window* p = Find(w->parent);
    if (p == nullptr) break;
    w = p;
  }
  return w != nullptr ? w->handle : nullptr;
}
bool UiState::IsDescendant(HWND ancestor, HWND h) const {
  for (const Window* w = Find(h); w != nullptr; w = Find(w->parent)) {
    if (w->handle == ancestor) return true;
    if (!(w->style & WS_CHILD)) break;
  }
  return false;
}
int UiState::Metric(int index) const {
  auto it = metrics.find(index);
  if (it != metrics.end()) return it->second;
  switch (index) {
    case SM_CXICON:
    case SM_CYICON:
      return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
      return 16;
    default:
      return 0;
  }
}
void UiState::Event(const std::string& line) { machine.Events().Add(line); }
void UiState::Record(const std::string& name, const std::string& args) {
  machine.Calls().Add(name, args);
}

UiState& Ui() { return Machine::Current().Ui().State(); }

std::string Hex(std::uintptr_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out.push_back(c);
    }
  }
  return out + "\"";
}

// ---- window operations --------------------------------------------------------------
Window& CreateWindowObject(WindowKind kind, std::string className, DWORD style, HWND parentOrOwner,
                           int id, std::string text, RECT rect, WNDPROC proc) {
  UiState& ui = Ui();
  auto w = std::make_unique<Window>();
  w->handle = reinterpret_cast<HWND>(ui.nextWindow);
  ui.nextWindow += 4;
  w->kind = kind;
  w->className = std::move(className);
  w->thread = CurrentThreadId();
  w->style = style;
  if (style & WS_CHILD) {
    w->parent = parentOrOwner;
  } else {
    w->owner = parentOrOwner;
  }
  w->id = id;
  w->text = std::move(text);
  w->rect = rect;
  w->proc = proc;
  Window& ref = *w;
  ui.windows.emplace(reinterpret_cast<std::uintptr_t>(ref.handle), std::move(w));
  if (style & WS_CHILD) {
    if (Window* p = ui.Find(parentOrOwner)) p->children.push_back(ref.handle);
  }
  return ref;
}

LRESULT CallWindowProcOf(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* w = Ui().Find(h);
  if (w == nullptr || w->proc == nullptr) return 0;
  WNDPROC proc = w->proc;
  return proc(h, message, wParam, lParam);
}

void DestroyWindowTree(HWND h) {
  UiState& ui = Ui();
  Window* w = ui.Find(h);
  if (w == nullptr) return;
  // Owned top-level windows go first, as on Windows.
  std::vector<HWND> owned;
  for (auto& [key, other] : ui.windows) {
    if (other->alive && other->owner == h && !(other->style & WS_CHILD))
      owned.push_back(other->handle);
  }
  for (HWND o : owned) DestroyWindowTree(o);
  w = ui.Find(h);
  if (w == nullptr) return;
  HWND owner = w->owner;
  int templateId = w->templateId;
  bool wasActive = ui.active == h;
  ShowInternal(h, false);
  if (ui.focus != nullptr && ui.IsDescendant(h, ui.focus)) ui.focus = nullptr;
  if (ui.active == h) ui.active = nullptr;
  SendDestroy(h);
  SendNcDestroy(h);
  if (ui.focus != nullptr && ui.Find(ui.focus) == nullptr) ui.focus = nullptr;
  if (ui.active != nullptr && ui.Find(ui.active) == nullptr) ui.active = nullptr;
  if (templateId != 0) ui.Event("dialog closed " + std::to_string(templateId));
  if (wasActive && ui.active == nullptr) {
    const Window* o = ui.Find(owner);
    if (o != nullptr && !(o->style & WS_DISABLED) && (o->style & WS_VISIBLE) &&
        o->thread == CurrentThreadId()) {
      ActivateWindow(owner);
    }
  }
}

void ActivateWindow(HWND h) {
  UiState& ui = Ui();
  h = ui.TopLevel(h);
  if (h == nullptr || ui.active == h) return;
  HWND old = ui.active;
  if (Window* o = ui.Find(old)) {
    if (ui.focus != nullptr && ui.IsDescendant(old, ui.focus) && ui.focus != old) {
      o->savedFocus = ui.focus;
    }
  }
  ui.active = h;
  ui.Find(h)->activatedSerial = ++ui.activationSerial;
  if (ui.focus != nullptr && !ui.IsDescendant(h, ui.focus)) {
    HWND lost = ui.focus;
    ui.focus = nullptr;
    if (ui.Find(lost) != nullptr) SendMessageA(lost, WM_KILLFOCUS, 0, 0);
  }
  if (ui.Find(old) != nullptr) {
    SendMessageA(old, WM_ACTIVATE, 0, reinterpret_cast<LPARAM>(h));
  }
  if (ui.Find(h) != nullptr && ui.active == h) {
    SendMessageA(h, WM_ACTIVATE, kWaActive, reinterpret_cast<LPARAM>(old));
  }
}

void SetFocusInternal(HWND h) {
  UiState& ui = Ui();
  if (h == ui.focus) return;
  if (h != nullptr) {
    HWND top = ui.TopLevel(h);
    if (top != ui.active) ActivateWindow(top);
    if (ui.Find(h) == nullptr || ui.focus == h) return;
    if (top != h) {
      if (Window* t = ui.Find(top)) t->savedFocus = h;
    }
  }
  HWND old = ui.focus;
  ui.focus = h;
  if (ui.Find(old) != nullptr) SendMessageA(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(h), 0);
  if (h != nullptr && ui.Find(h) != nullptr && ui.focus == h) {
    SendMessageA(h, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  }
}

void SetTextInternal(HWND h, const std::string& text) {
  UiState& ui = Ui();
  Window* w = ui.Find(h);
  if (w == nullptr || w->text == text) return;
  w->text = text;
  int id = 0;
  if (BelongsToDialog(ui, *w, &id)) ui.Event("text " + std::to_string(id) + " " + Quote(text));
}

void ShowInternal(HWND h, bool show) {
  Window* w = Ui().Find(h);
  if (w == nullptr) return;
  bool visible = (w->style & WS_VISIBLE) != 0;
  if (visible == show) return;
  if (show) {
    w->style |= WS_VISIBLE;
    if (!(w->style & WS_CHILD)) MarkInvalid(Ui(), *w);
  } else {
    w->style &= ~WS_VISIBLE;
  }
}

void PaintDefault(HWND h) {
  if (Window* w = Ui().Find(h)) w->invalid = false;
}

bool EnableInternal(HWND h, bool enable) {
  UiState& ui = Ui();
  Window* w = ui.Find(h);
  if (w == nullptr) return false;
  bool wasDisabled = (w->style & WS_DISABLED) != 0;
  if (wasDisabled == !enable) return wasDisabled;
  if (enable) {
    w->style &= ~WS_DISABLED;
  } else {
    w->style |= WS_DISABLED;
  }
  int id = 0;
  if (w->parent != nullptr && BelongsToDialog(ui, *w, &id)) {
    ui.Event("enable " + std::to_string(id) + (enable ? " 1" : " 0"));
  }
  // A disabled window cannot keep the keyboard focus.
  if (!enable && ui.focus != nullptr && ui.IsDescendant(h, ui.focus)) {
    HWND lost = ui.focus;
    ui.focus = nullptr;
    if (ui.Find(lost) != nullptr) SendMessageA(lost, WM_KILLFOCUS, 0, 0);
  }
  if (ui.Find(h) != nullptr) SendMessageA(h, WM_ENABLE, enable ? TRUE : FALSE, 0);
  return wasDisabled;
}

bool InputReachable(const UiState& ui, HWND h) {
  const Window* w = ui.Find(h);
  if (w == nullptr) return false;
  for (; w != nullptr; w = (w->style & WS_CHILD) ? ui.Find(w->parent) : nullptr) {
    if ((w->style & WS_DISABLED) || !(w->style & WS_VISIBLE)) return false;
  }
  return true;
}

POINT ClientOriginOf(HWND h) {
  const Window* w = Ui().Find(h);
  return w != nullptr ? ClientOrigin(Ui(), *w) : POINT{0, 0};
}

void MarkInvalid(UiState& ui, Window& w) {
  w.invalid = true;
  ui.Queue(w.thread).changed |= QS_PAINT;
}

void SetKeyState(UiState& ui, int vk, bool down) {
  ui.keys[vk] = down;
  auto generic = [&](int left, int right, int both) {
    if (vk == left || vk == right) ui.keys[both] = ui.keys[left] || ui.keys[right];
  };
  generic(VK_LSHIFT, VK_RSHIFT, VK_SHIFT);
  generic(VK_LCONTROL, VK_RCONTROL, VK_CONTROL);
  generic(VK_LMENU, VK_RMENU, VK_MENU);
}

std::vector<MenuItem> StandardSystemMenu() {
  return {{MF_STRING, SC_RESTORE, "&Restore"},    {MF_STRING, SC_MOVE, "&Move"},
          {MF_STRING, SC_SIZE, "&Size"},          {MF_STRING, SC_MINIMIZE, "Mi&nimize"},
          {MF_STRING, SC_MAXIMIZE, "Ma&ximize"},  {MF_SEPARATOR, 0, ""},
          {MF_STRING, SC_CLOSE, "&Close\tAlt+F4"}};
}

}  // namespace sim

using namespace sim;

// ---- DefWindowProc ----------------------------------------------------------------------
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  Window* w = ui.Find(window);
  if (w == nullptr) return 0;
  switch (message) {
    case WM_SETTEXT:
      SetTextInternal(window, lParam != 0 ? reinterpret_cast<const char*>(lParam) : "");
      return TRUE;
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      auto* out = reinterpret_cast<char*>(lParam);
      std::size_t n = std::min<std::size_t>(w->text.size(), wParam - 1);
      std::memcpy(out, w->text.data(), n);
      out[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(w->text.size());
    case WM_SETICON: {
      HICON icon = reinterpret_cast<HICON>(lParam);
      HICON& slot = wParam == ICON_BIG ? w->iconBig : w->iconSmall;
      HICON old = slot;
      slot = icon;
      return reinterpret_cast<LRESULT>(old);
    }
    case WM_SETFONT:
      w->font = reinterpret_cast<HFONT>(wParam);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_CLOSE:
          return SendMessageA(window, WM_CLOSE, 0, 0);
        case SC_MINIMIZE:
          w->iconic = true;
          MarkInvalid(ui, *w);
          return 0;
        case SC_RESTORE:
          w->iconic = false;
          MarkInvalid(ui, *w);
          return 0;
        default:  // moving, sizing and maximising are not modelled
          return 0;
      }
    case WM_SYSKEYDOWN:
      if (wParam == VK_F4 && (lParam & (1 << 29))) {
        HWND top = ui.TopLevel(window);
        return SendMessageA(top, WM_SYSCOMMAND, SC_CLOSE, 0);
      }
      return 0;
    case WM_KEYF1: {
      HELPINFO info{};
      info.cbSize = sizeof info;
      info.iContextType = HELPINFO_WINDOW;
      info.iCtrlId = (w->style & WS_CHILD) ? w->id : 0;
      info.hItemHandle = window;
      info.dwContextId = 0;
      RECT r = ScreenRect(ui, *w);
      info.MousePos = {r.left, r.top};
      SendMessageA(window, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
      return 0;
    }
    case WM_HELP: {
      HWND next = (w->style & WS_CHILD) ? w->parent : w->owner;
      if (ui.Find(next) == nullptr) return TRUE;
      return SendMessageA(next, WM_HELP, wParam, lParam);
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) != 0 && ui.focus == nullptr) SetFocusInternal(window);
      return 0;
    case WM_PAINT:
      PaintDefault(window);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    default:
      return 0;
  }
}

// ---- window state ---------------------------------------------------------------------
BOOL IsWindow(HWND window) {
  const sim::ApiCall apiCall;
  return Ui().Find(window) != nullptr ? TRUE : FALSE;
}

HWND GetDlgItem(HWND dialog, int id) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  Window* d = ui.Find(dialog);
  if (d == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (HWND c : d->children) {
    const Window* cw = ui.Find(c);
    if (cw != nullptr && cw->id == id) return c;
  }
  SetLastError(kErrorControlIdNotFound);
  return nullptr;
}

int GetDlgCtrlID(HWND window) {
  const sim::ApiCall apiCall;
  const Window* w = Ui().Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return (w->style & WS_CHILD) ? w->id : 0;
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
  const sim::ApiCall apiCall;
  if (Ui().Find(window) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text != nullptr ? text : ""))
             ? TRUE
             : FALSE;
}

int GetWindowTextA(HWND window, LPSTR text, int maxCount) {
  const sim::ApiCall apiCall;
  if (text == nullptr || maxCount <= 0) return 0;
  text[0] = '\0';
  if (Ui().Find(window) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<int>(SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(maxCount),
                                       reinterpret_cast<LPARAM>(text)));
}

int GetWindowTextLengthA(HWND window) {
  const sim::ApiCall apiCall;
  if (Ui().Find(window) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<int>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
}

BOOL EnableWindow(HWND window, BOOL enable) {
  const sim::ApiCall apiCall;
  if (Ui().Find(window) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return EnableInternal(window, enable != FALSE) ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND window) {
  const sim::ApiCall apiCall;
  const Window* w = Ui().Find(window);
  return w != nullptr && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND window) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  const Window* w = ui.Find(window);
  if (w == nullptr) return FALSE;
  for (; w != nullptr; w = (w->style & WS_CHILD) ? ui.Find(w->parent) : nullptr) {
    if (!(w->style & WS_VISIBLE)) return FALSE;
  }
  return TRUE;
}

BOOL DestroyWindow(HWND window) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  const Window* w = ui.Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->thread != CurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);  // only the owning thread may destroy a window
    return FALSE;
  }
  DestroyWindowTree(window);
  return TRUE;
}

BOOL ShowWindow(HWND window, int command) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  Window* w = ui.Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  BOOL wasVisible = (w->style & WS_VISIBLE) ? TRUE : FALSE;
  bool topLevel = !(w->style & WS_CHILD);
  switch (command) {
    case SW_HIDE: {
      ShowInternal(window, false);
      if (ui.active == window) {
        ui.active = nullptr;
        if (ui.focus != nullptr && ui.IsDescendant(window, ui.focus)) ui.focus = nullptr;
        const Window* o = ui.Find(w->owner);
        if (o != nullptr && !(o->style & WS_DISABLED) && (o->style & WS_VISIBLE)) {
          ActivateWindow(w->owner);
        }
      }
      break;
    }
    case SW_MINIMIZE:
      w->iconic = true;
      MarkInvalid(ui, *w);
      ShowInternal(window, true);
      break;
    case SW_RESTORE:
      w->iconic = false;
      MarkInvalid(ui, *w);
      [[fallthrough]];
    default:
      ShowInternal(window, true);
      if (topLevel && w->thread == CurrentThreadId()) ActivateWindow(window);
      break;
  }
  return wasVisible;
}

BOOL GetWindowRect(HWND window, LPRECT rect) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  const Window* w = ui.Find(window);
  if (w == nullptr || rect == nullptr) {
    SetLastError(w == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *rect = ScreenRect(ui, *w);
  return TRUE;
}

BOOL SetWindowPos(HWND window, HWND, int x, int y, int cx, int cy, UINT flags) {
  const sim::ApiCall apiCall;
  Window* w = Ui().Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  LONG width = w->rect.right - w->rect.left;
  LONG height = w->rect.bottom - w->rect.top;
  if (!(flags & SWP_NOSIZE)) {
    width = cx < 0 ? 0 : cx;
    height = cy < 0 ? 0 : cy;
  }
  if (!(flags & SWP_NOMOVE)) {
    w->rect.left = x;
    w->rect.top = y;
  }
  w->rect.right = w->rect.left + width;
  w->rect.bottom = w->rect.top + height;
  return TRUE;
}

BOOL SystemParametersInfoA(UINT action, UINT, PVOID data, UINT) {
  const sim::ApiCall apiCall;
  if (action != SPI_GETWORKAREA || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *static_cast<RECT*>(data) = Ui().screens.front().work;  // the primary monitor's
  return TRUE;
}

HMONITOR MonitorFromWindow(HWND window, DWORD flags) {
  const sim::ApiCall apiCall;
  const UiState& ui = Ui();
  // The monitor that holds most of the window; the window's place before it
  // was minimised counts for a minimised one.
  std::optional<std::size_t> best;
  if (const Window* w = ui.Find(window); w != nullptr) {
    const RECT r = (w->style & WS_CHILD) ? ScreenRect(ui, *w) : w->rect;
    LONG bestArea = 0;
    for (std::size_t i = 0; i < ui.screens.size(); ++i) {
      const RECT& m = ui.screens[i].area;
      const LONG width = std::min(r.right, m.right) - std::max(r.left, m.left);
      const LONG height = std::min(r.bottom, m.bottom) - std::max(r.top, m.top);
      if (width > 0 && height > 0 && width * height > bestArea) {
        bestArea = width * height;
        best = i;
      }
    }
    if (!best && flags == MONITOR_DEFAULTTONEAREST) best = NearestScreen(ui, r);
  }
  if (!best && flags != MONITOR_DEFAULTTONULL) best = 0;
  return best ? MonitorHandle(*best) : nullptr;
}

BOOL GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info) {
  const sim::ApiCall apiCall;
  const UiState& ui = Ui();
  const auto index = MonitorIndex(monitor);
  if (!index || *index >= ui.screens.size() || info == nullptr ||
      info->cbSize < sizeof(MONITORINFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  info->rcMonitor = ui.screens[*index].area;
  info->rcWork = ui.screens[*index].work;
  info->dwFlags = *index == 0 ? MONITORINFOF_PRIMARY : 0;
  return TRUE;
}

HWND GetParent(HWND window) {
  const sim::ApiCall apiCall;
  const Window* w = Ui().Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (w->style & WS_CHILD) return w->parent;
  return (w->style & WS_POPUP) ? w->owner : nullptr;  // a popup's "parent" is its owner
}

HWND GetWindow(HWND window, UINT command) {
  const sim::ApiCall apiCall;
  const Window* w = Ui().Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (command == GW_OWNER) return (w->style & WS_CHILD) ? nullptr : w->owner;
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

HWND GetLastActivePopup(HWND window) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  if (ui.Find(window) == nullptr) return nullptr;
  HWND best = window;
  std::uint64_t serial = 0;
  for (const auto& [key, w] : ui.windows) {
    if (w->alive && w->owner == window && !(w->style & WS_CHILD) && (w->style & WS_VISIBLE) &&
        !(w->style & WS_DISABLED) && w->activatedSerial > serial) {
      serial = w->activatedSerial;
      best = w->handle;
    }
  }
  return best;
}

HWND GetActiveWindow() {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  const Window* w = ui.Find(ui.active);
  return w != nullptr && w->thread == CurrentThreadId() ? ui.active : nullptr;
}

HWND GetFocus() {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  const Window* w = ui.Find(ui.focus);
  return w != nullptr && w->thread == CurrentThreadId() ? ui.focus : nullptr;
}

HWND SetFocus(HWND window) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  HWND old = ui.focus;
  const Window* oldWindow = ui.Find(old);
  if (oldWindow == nullptr || oldWindow->thread != CurrentThreadId()) old = nullptr;
  if (window != nullptr) {
    const Window* w = ui.Find(window);
    if (w == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    if (w->thread != CurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  }
  SetFocusInternal(window);
  return old;
}

HWND GetCapture() {
  const sim::ApiCall apiCall;
  return nullptr;  // clicks are delivered whole; nothing keeps the mouse captured
}

LONG_PTR GetWindowLongPtrA(HWND window, int index) {
  const sim::ApiCall apiCall;
  const Window* w = Ui().Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  bool dialog = w->kind == WindowKind::kDialog || w->kind == WindowKind::kMessageBox;
  switch (index) {
    case GWL_STYLE:
      return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE:
      return static_cast<LONG_PTR>(w->exStyle);
    case GWLP_ID:
      return w->id;
    case GWLP_USERDATA:
      return w->userData;
    case DWLP_MSGRESULT:
      if (dialog) return w->msgResult;
      break;
    case DWLP_DLGPROC:
      if (dialog) return reinterpret_cast<LONG_PTR>(w->dlgProc);
      break;
    case DWLP_USER:
      if (dialog) return w->dlgUser;
      break;
    default:
      break;
  }
  SetLastError(kErrorInvalidIndex);
  return 0;
}

LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
  const sim::ApiCall apiCall;
  Window* w = Ui().Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  bool dialog = w->kind == WindowKind::kDialog || w->kind == WindowKind::kMessageBox;
  LONG_PTR old = 0;
  switch (index) {
    case GWL_STYLE:
      old = static_cast<LONG_PTR>(w->style);
      w->style = static_cast<DWORD>(value);
      return old;
    case GWL_EXSTYLE:
      old = static_cast<LONG_PTR>(w->exStyle);
      w->exStyle = static_cast<DWORD>(value);
      return old;
    case GWLP_ID:
      old = w->id;
      w->id = static_cast<int>(value);
      return old;
    case GWLP_USERDATA:
      old = w->userData;
      w->userData = value;
      return old;
    case DWLP_MSGRESULT:
      if (!dialog) break;
      old = w->msgResult;
      w->msgResult = value;
      return old;
    case DWLP_DLGPROC:
      if (!dialog) break;
      old = reinterpret_cast<LONG_PTR>(w->dlgProc);
      w->dlgProc = reinterpret_cast<DLGPROC>(value);
      return old;
    case DWLP_USER:
      if (!dialog) break;
      old = w->dlgUser;
      w->dlgUser = value;
      return old;
    default:
      break;
  }
  SetLastError(kErrorInvalidIndex);
  return 0;
}

// ---- system menu ----------------------------------------------------------------------
HMENU GetSystemMenu(HWND window, BOOL revert) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  Window* w = ui.Find(window);
  ui.Record("GetSystemMenu",
            Hex(reinterpret_cast<std::uintptr_t>(window)) + (revert ? " revert" : ""));
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (!(w->style & WS_SYSMENU) || !ui.systemMenuAvailable) return nullptr;
  if (w->sysMenu == nullptr) {
    Menu m;
    m.handle = reinterpret_cast<HMENU>(ui.nextMenu);
    ui.nextMenu += 4;
    m.window = window;
    m.items = StandardSystemMenu();
    w->sysMenu = m.handle;
    ui.menus.emplace(reinterpret_cast<std::uintptr_t>(m.handle), std::move(m));
  }
  if (revert) {
    ui.menus[reinterpret_cast<std::uintptr_t>(w->sysMenu)].items = StandardSystemMenu();
    return nullptr;
  }
  return w->sysMenu;
}

BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR idNewItem, LPCSTR newItem) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  std::string text = (flags & MF_SEPARATOR) || newItem == nullptr ? "" : newItem;
  ui.Record("AppendMenuA", Hex(flags) + " " + Hex(idNewItem) + " " + Quote(text));
  auto it = ui.menus.find(reinterpret_cast<std::uintptr_t>(menu));
  if (it == ui.menus.end()) {
    SetLastError(kErrorInvalidMenuHandle);
    return FALSE;
  }
  it->second.items.push_back({flags, (flags & MF_SEPARATOR) ? 0 : idNewItem, text});
  return TRUE;
}

// ---- cursors -----------------------------------------------------------------------------
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
  const sim::ApiCall apiCall;
  // No module: the system's own cursors; the program has none of its own.
  if (instance == nullptr && name == IDC_ARROW) return CursorHandle(kArrowCursor);
  if (instance == nullptr && name == IDC_WAIT) return CursorHandle(kWaitCursor);
  const bool module = instance == nullptr || ProgramModule(instance, false);
  SetLastError(module ? ERROR_RESOURCE_NAME_NOT_FOUND : kErrorResourceDataNotFound);
  return nullptr;
}

HCURSOR SetCursor(HCURSOR cursor) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  HCURSOR old = ui.cursor;
  ui.cursor = cursor;
  bool wait = cursor == CursorHandle(kWaitCursor);
  ui.Record("SetCursor", wait ? "wait" : cursor == nullptr ? "none" : "normal");
  if (wait != ui.waitCursor) {
    ui.waitCursor = wait;
    ui.Event(wait ? "cursor wait" : "cursor normal");
  }
  return old;
}

// ---- keyboard ------------------------------------------------------------------------------
SHORT GetKeyState(int virtualKey) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(virtualKey) & 0xFFFF);
  ui.Record("GetKeyState", buf);
  auto it = ui.keys.find(virtualKey);
  return it != ui.keys.end() && it->second ? static_cast<SHORT>(0x8000 - 0x10000) : SHORT{0};
}

// ---- painting -----------------------------------------------------------------------------
BOOL IsIconic(HWND window) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  const Window* w = ui.Find(window);
  ui.Record("IsIconic", Hex(reinterpret_cast<std::uintptr_t>(window)));
  return w != nullptr && w->iconic ? TRUE : FALSE;
}

HDC BeginPaint(HWND window, LPPAINTSTRUCT paint) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  Window* w = ui.Find(window);
  if (w == nullptr || paint == nullptr) {
    SetLastError(w == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HDC dc = reinterpret_cast<HDC>(ui.nextDc);
  ui.nextDc += 4;
  *paint = PAINTSTRUCT{};
  paint->hdc = dc;
  paint->fErase = TRUE;
  paint->rcPaint = RECT{0, 0, static_cast<LONG>(w->iconic ? ui.iconicWidth : ClientWidth(*w)),
                        static_cast<LONG>(w->iconic ? ui.iconicHeight : ClientHeight(*w))};
  w->invalid = false;
  ui.Record("BeginPaint", Hex(reinterpret_cast<std::uintptr_t>(window)) +
                              " dc=" + Hex(reinterpret_cast<std::uintptr_t>(dc)));
  return dc;
}

BOOL EndPaint(HWND window, const PAINTSTRUCT* paint) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  ui.Record("EndPaint",
            Hex(reinterpret_cast<std::uintptr_t>(window)) + " dc=" +
                Hex(reinterpret_cast<std::uintptr_t>(paint != nullptr ? paint->hdc : nullptr)));
  return TRUE;
}

int GetSystemMetrics(int index) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  ui.Record("GetSystemMetrics", std::to_string(index));
  return ui.Metric(index);
}

BOOL GetClientRect(HWND window, LPRECT rect) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  const Window* w = ui.Find(window);
  ui.Record("GetClientRect", Hex(reinterpret_cast<std::uintptr_t>(window)));
  if (w == nullptr || rect == nullptr) {
    SetLastError(w == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (w->iconic) {
    *rect = RECT{0, 0, ui.iconicWidth, ui.iconicHeight};
  } else {
    *rect = RECT{0, 0, static_cast<LONG>(ClientWidth(*w)), static_cast<LONG>(ClientHeight(*w))};
  }
  return TRUE;
}

BOOL DrawIcon(HDC dc, int x, int y, HICON icon) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  auto it = ui.iconIds.find(icon);
  std::string iconText = it != ui.iconIds.end() ? std::to_string(it->second)
                                                : Hex(reinterpret_cast<std::uintptr_t>(icon));
  ui.Record("DrawIcon", "x=" + std::to_string(x) + " y=" + std::to_string(y) + " icon=" + iconText +
                            " dc=" + Hex(reinterpret_cast<std::uintptr_t>(dc)));
  if (dc == nullptr || it == ui.iconIds.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

// ---- help and common controls ----------------------------------------------------------
BOOL WinHelpA(HWND, LPCSTR helpFile, UINT command, ULONG_PTR data) {
  const sim::ApiCall apiCall;
  Ui().Record("WinHelpA", std::string(helpFile != nullptr ? helpFile : "") +
                              " cmd=" + std::to_string(command) + " data=" + Hex(data));
  // The help engine is not installed on this machine.
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
  const sim::ApiCall apiCall;
  if (init == nullptr || init->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
    Ui().Record("InitCommonControlsEx", "invalid");
    return FALSE;
  }
  Ui().Record("InitCommonControlsEx", Hex(init->dwICC));
  Ui().commonControls |= init->dwICC;  // each call adds to the classes registered before
  return TRUE;
}
