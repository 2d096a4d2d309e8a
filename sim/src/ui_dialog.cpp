// The dialog manager: modal dialogs from templates, DefDlgProc, the dialog
// keyboard interface, and message boxes.
#include <algorithm>
#include <stdexcept>

#include "ui_internal.h"

namespace sim {
namespace {

constexpr WORD kRtDialog = 5;
constexpr WORD kHasDefId = 0x534B;  // DC_HASDEFID
constexpr DWORD kErrorCannotFindWndClass = 1407;
constexpr UINT kWmCompareItem = 0x0039;
constexpr UINT kWmVKeyToItem = 0x002E;
constexpr UINT kWmCharToItem = 0x002F;
constexpr UINT kWmCtlColorFirst = 0x0132;
constexpr UINT kWmCtlColorLast = 0x0138;
constexpr WORD kWaInactive = 0;

// Dialog base units of the template font (8-point MS Shell Dlg at 96 dpi).
constexpr int kBaseX = 6;
constexpr int kBaseY = 13;
LONG UnitsX(int du) { return static_cast<LONG>((du * kBaseX + 2) / 4); }
LONG UnitsY(int du) { return static_cast<LONG>((du * kBaseY + 4) / 8); }

HWND Child(HWND dialog, int id) {
  UiState& ui = Ui();
  const Window* d = ui.Find(dialog);
  if (d == nullptr) return nullptr;
  for (HWND c : d->children) {
    const Window* w = ui.Find(c);
    if (w != nullptr && w->id == id) return c;
  }
  return nullptr;
}

bool Focusable(const Window* w) {
  return w != nullptr && (w->style & WS_VISIBLE) && !(w->style & WS_DISABLED);
}

HWND FirstTabStop(HWND dialog) {
  UiState& ui = Ui();
  const Window* d = ui.Find(dialog);
  if (d == nullptr) return nullptr;
  for (HWND c : d->children) {
    const Window* w = ui.Find(c);
    if (Focusable(w) && (w->style & WS_TABSTOP)) return c;
  }
  return nullptr;
}

void RestoreDialogFocus(HWND dialog) {
  UiState& ui = Ui();
  Window* d = ui.Find(dialog);
  if (d == nullptr) return;
  if (ui.focus != nullptr && ui.focus != dialog && ui.IsDescendant(dialog, ui.focus)) return;
  HWND target = d->savedFocus;
  if (!Focusable(ui.Find(target)) || !ui.IsDescendant(dialog, target))
    target = FirstTabStop(dialog);
  if (target != nullptr) SetFocusInternal(target);
}

bool ReturnsValueDirectly(UINT message) {
  return message == WM_INITDIALOG || message == WM_QUERYDRAGICON || message == kWmCompareItem ||
         message == kWmVKeyToItem || message == kWmCharToItem ||
         (message >= kWmCtlColorFirst && message <= kWmCtlColorLast);
}

struct ControlClass {
  WindowKind kind;
  const char* name;
  WNDPROC proc;
};

std::optional<ControlClass> ClassOf(const SzOrOrd& cls) {
  if (cls.isOrdinal) {
    switch (cls.ordinal) {
      case 0x0080:
        return ControlClass{WindowKind::kButton, "Button", &ButtonProc};
      case 0x0081:
        return ControlClass{WindowKind::kEdit, "Edit", &EditProc};
      case 0x0082:
        return ControlClass{WindowKind::kStatic, "Static", &StaticProc};
      default:
        return std::nullopt;
    }
  }
  std::string name = Narrow(cls.text);
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "button") return ControlClass{WindowKind::kButton, "Button", &ButtonProc};
  if (lower == "edit") return ControlClass{WindowKind::kEdit, "Edit", &EditProc};
  if (lower == "static") return ControlClass{WindowKind::kStatic, "Static", &StaticProc};
  // Version 6 of the common controls registers the progress bar's class
  // only when the process asks for it.
  if (lower == "msctls_progress32" && (Ui().commonControls & ICC_PROGRESS_CLASS) != 0) {
    return ControlClass{WindowKind::kProgress, PROGRESS_CLASSA, &ProgressProc};
  }
  return std::nullopt;
}

ResName ImageName(const SzOrOrd& title) {
  if (title.isOrdinal) return title.ordinal;
  return title.text;
}

// Creates the dialog and its controls and sends WM_INITDIALOG. Returns null
// when a control's class does not exist (the half-made dialog is destroyed).
HWND CreateFromTemplate(const DialogTemplate& t, int templateId, HWND owner, DLGPROC proc,
                        LPARAM param, bool* visible) {
  UiState& ui = Ui();
  *visible = (t.style & WS_VISIBLE) != 0;
  DWORD style = t.style & ~WS_VISIBLE;
  LONG width = UnitsX(t.cx) + 6;
  LONG height = UnitsY(t.cy) + 6 + ((style & WS_CAPTION) == WS_CAPTION ? 20 : 0);
  LONG x = UnitsX(t.x);
  LONG y = UnitsY(t.y);
  if (style & DS_CENTER) {
    const RECT& work = ui.screens.front().work;
    x = work.left + (work.right - work.left - width) / 2;
    y = work.top + (work.bottom - work.top - height) / 2;
  } else if (!(style & DS_ABSALIGN) && owner != nullptr) {
    POINT o = ClientOriginOf(owner);
    x += o.x;
    y += o.y;
  }
  Window& d = CreateWindowObject(WindowKind::kDialog, "#32770", style, owner, 0, Narrow(t.title),
                                 RECT{x, y, x + width, y + height}, &DefDlgProcInternal);
  d.exStyle = t.exStyle;
  d.dlgProc = proc;
  d.templateId = templateId;
  HWND dialog = d.handle;
  HFONT font = (style & DS_SETFONT) ? reinterpret_cast<HFONT>(std::uintptr_t{0x60010}) : nullptr;
  if (font != nullptr) SendMessageA(dialog, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);

  for (const DialogItemTemplate& item : t.items) {
    if (ui.Find(dialog) == nullptr) return nullptr;
    auto cls = ClassOf(item.windowClass);
    if (!cls) {
      DestroyWindowTree(dialog);
      SetLastError(kErrorCannotFindWndClass);
      return nullptr;
    }
    RECT r{UnitsX(item.x), UnitsY(item.y), UnitsX(item.x) + UnitsX(item.cx),
           UnitsY(item.y) + UnitsY(item.cy)};
    HICON image = nullptr;
    DWORD type = item.style & 0x1F;
    if (cls->kind == WindowKind::kStatic && item.title.present &&
        (type == SS_ICON || type == SS_BITMAP)) {
      ResName name = ImageName(item.title);
      if (type == SS_ICON) {
        image = IconForResource(name);
        if (image != nullptr) {
          r.right = r.left + ui.Metric(SM_CXICON);
          r.bottom = r.top + ui.Metric(SM_CYICON);
        }
      } else if (auto size = BitmapSize(name)) {
        r.right = r.left + size->first;
        r.bottom = r.top + size->second;
      }
    }
    std::string text = item.title.present && !item.title.isOrdinal ? Narrow(item.title.text) : "";
    Window& c = CreateWindowObject(cls->kind, cls->name, item.style | WS_CHILD, dialog, item.id,
                                   std::move(text), r, cls->proc);
    c.exStyle = item.exStyle;
    c.image = image;
    HWND control = c.handle;
    if (font != nullptr) SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  if (ui.Find(dialog) == nullptr) return nullptr;
  HWND first = FirstTabStop(dialog);
  LRESULT setFocus = SendMessageA(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param);
  Window* after = ui.Find(dialog);
  if (after == nullptr) return dialog;
  if (setFocus && !after->ended && ui.Find(first) != nullptr) SetFocusInternal(first);
  if (templateId != 0) ui.Event("dialog open " + std::to_string(templateId));
  return dialog;
}

INT_PTR RunModal(HWND dialog, bool visible) {
  UiState& ui = Ui();
  auto state = [&]() -> const Window& { return ui.Require(dialog); };
  if (visible && !state().ended) ShowWindow(dialog, SW_SHOW);
  for (;;) {
    const Window& d = state();
    if (!d.alive) return d.ended ? d.result : -1;
    if (d.ended) return d.result;
    if (!(d.style & WS_VISIBLE)) {
      MSG peek;
      if (!PeekMessageA(&peek, nullptr, 0, 0, PM_NOREMOVE)) {
        const Window& now = state();
        if (now.alive && !now.ended) ShowWindow(dialog, SW_SHOW);
        continue;
      }
      if (state().ended || !state().alive) continue;
    }
    MSG msg{};
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // the outer loop must see it too
      return state().ended ? state().result : 0;
    }
    if (got < 0) return -1;
    if (!IsDialogMessageA(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

// Hides a modal window, gives the owner back its state, destroys the window.
void EndModal(HWND window, HWND owner, bool reenableOwner) {
  UiState& ui = Ui();
  if (ui.Find(window) != nullptr) {
    ShowInternal(window, false);
    if (ui.active == window) {
      if (ui.focus != nullptr && ui.IsDescendant(window, ui.focus)) ui.focus = nullptr;
      ui.active = nullptr;
    }
  }
  if (reenableOwner && ui.Find(owner) != nullptr) EnableInternal(owner, true);
  if (ui.Find(owner) != nullptr && ui.Find(owner)->thread == CurrentThreadId()) {
    ActivateWindow(owner);
  }
  if (ui.Find(window) != nullptr) DestroyWindowTree(window);
}

// Disables the owner for a modal run; returns whether this call disabled it.
bool DisableOwner(HWND owner) {
  if (owner == nullptr) return false;
  const Window* o = Ui().Find(owner);
  if (o == nullptr || (o->style & WS_DISABLED)) return false;
  EnableInternal(owner, false);
  return true;
}

LRESULT DialogDefault(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  UiState& ui = Ui();
  switch (message) {
    case WM_CLOSE: {
      HWND cancel = Child(h, IDCANCEL);
      PostTo(ui, h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel),
             QueuedKind::kPosted);
      return 0;
    }
    case DM_GETDEFID: {
      const Window* d = ui.Find(h);
      int id = IDOK;
      for (HWND c : d->children) {
        const Window* w = ui.Find(c);
        if (w != nullptr && w->kind == WindowKind::kButton &&
            (w->style & 0xF) == BS_DEFPUSHBUTTON) {
          id = w->id;
          break;
        }
      }
      return MAKELRESULT(id, kHasDefId);
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) != kWaInactive) RestoreDialogFocus(h);
      return 0;
    case WM_SETFOCUS:
      RestoreDialogFocus(h);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_NCDESTROY:
      return 0;
    default:
      return DefWindowProcA(h, message, wParam, lParam);
  }
}

}  // namespace

LRESULT DefDlgProcInternal(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  UiState& ui = Ui();
  Window* d = ui.Find(h);
  if (d == nullptr) return 0;
  DLGPROC proc = d->dlgProc;
  d->msgResult = 0;
  INT_PTR handled = FALSE;
  if (proc != nullptr) {
    const race::ProgramCode program;
    handled = proc(h, message, wParam, lParam);
  }
  if (ReturnsValueDirectly(message)) return handled;
  if (handled) {
    const Window* after = ui.FindAny(h);
    return after != nullptr ? after->msgResult : 0;
  }
  if (ui.Find(h) == nullptr) return 0;
  return DialogDefault(h, message, wParam, lParam);
}

std::vector<int> BoxButtons(UINT style) {
  switch (style & 0xF) {
    case 1:
      return {IDOK, IDCANCEL};
    case 2:
      return {3, 4, 5};  // abort, retry, ignore
    case 3:
      return {6, 7, IDCANCEL};  // yes, no, cancel
    case 4:
      return {6, 7};  // yes, no
    case 5:
      return {4, IDCANCEL};  // retry, cancel
    case 6:
      return {IDCANCEL, 10, 11};  // cancel, try again, continue
    default:
      return {IDOK};
  }
}

LRESULT MessageBoxProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  UiState& ui = Ui();
  Window* w = ui.Find(h);
  if (w == nullptr) return 0;
  UINT style = ui.boxes[w->boxIndex].style;
  std::vector<int> buttons = BoxButtons(style);
  auto has = [&](int id) { return std::find(buttons.begin(), buttons.end(), id) != buttons.end(); };
  switch (message) {
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (has(id)) {
        w->boxPressed = id;
      } else if (id == IDCANCEL && buttons.size() == 1) {
        w->boxPressed = buttons[0];  // Escape dismisses a one-button box
      }
      return 0;
    }
    case WM_CLOSE:
      if (has(IDCANCEL) || buttons.size() == 1) {
        SendMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      }
      return 0;
    case DM_GETDEFID: {
      std::size_t index = (style >> 8) & 0xF;
      if (index >= buttons.size()) index = 0;
      return MAKELRESULT(buttons[index], kHasDefId);
    }
    default:
      return DefWindowProcA(h, message, wParam, lParam);
  }
}

}  // namespace sim

using namespace sim;

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  auto name = templateName != nullptr ? ResNameFromA(templateName) : std::nullopt;
  const bool module = ProgramModule(instance, true);
  const auto* data = name && module ? ui.resources.Find(kRtDialog, *name) : nullptr;
  std::string ordinal = name && std::holds_alternative<WORD>(*name)
                            ? std::to_string(std::get<WORD>(*name))
                            : std::string("?");
  if (data == nullptr) {
    ui.Record("DialogBoxParamA", ordinal + " missing");
    SetLastError(module ? ERROR_RESOURCE_NAME_NOT_FOUND : kErrorResourceDataNotFound);
    return -1;
  }
  std::string error;
  auto parsed = ParseDialogTemplate(*data, &error);
  if (!parsed || parsed->menu.present || parsed->windowClass.present) {
    ui.Record("DialogBoxParamA", ordinal + " " + (parsed ? "unsupported menu or class" : error));
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  HWND top = nullptr;
  if (owner != nullptr) {
    if (ui.Find(owner) == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
    top = ui.TopLevel(owner);
  }
  int templateId = std::holds_alternative<WORD>(*name) ? std::get<WORD>(*name) : 0;
  bool disabled = DisableOwner(top);
  bool visible = false;
  HWND dialog = CreateFromTemplate(*parsed, templateId, top, dialogProc, initParam, &visible);
  INT_PTR result = -1;
  if (dialog != nullptr) result = RunModal(dialog, visible);
  EndModal(dialog, top, disabled);
  return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  Window* d = ui.Find(dialog);
  if (d == nullptr || d->kind != WindowKind::kDialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  d->ended = true;
  d->result = result;
  ui.Record("EndDialog", Hex(reinterpret_cast<std::uintptr_t>(dialog)) + " " +
                             std::to_string(static_cast<long long>(result)));
  // Wakes the modal loop should this run inside a sent message.
  PostTo(ui, dialog, WM_NULL, 0, 0, QueuedKind::kPosted);
  if (d->thread != CurrentThreadId()) WakePoint();
  return TRUE;
}

BOOL IsDialogMessageA(HWND dialog, LPMSG msg) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  if (msg == nullptr || ui.Find(dialog) == nullptr) return FALSE;
  if (msg->hwnd == nullptr || !ui.IsDescendant(dialog, msg->hwnd)) return FALSE;
  if (msg->message == WM_KEYDOWN && (msg->wParam == VK_ESCAPE || msg->wParam == VK_RETURN)) {
    UINT code = 0;
    if (msg->hwnd != dialog) {
      code = static_cast<UINT>(
          SendMessageA(msg->hwnd, WM_GETDLGCODE, msg->wParam, reinterpret_cast<LPARAM>(msg)));
    }
    if (!(code & DLGC_WANTMESSAGE)) {
      if (msg->wParam == VK_ESCAPE) {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Child(dialog, IDCANCEL)));
        return TRUE;
      }
      const Window* focused = ui.Find(msg->hwnd);
      if ((code & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) && focused != nullptr &&
          !(focused->style & WS_DISABLED)) {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(focused->id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(msg->hwnd));
        return TRUE;
      }
      LRESULT def = SendMessageA(dialog, DM_GETDEFID, 0, 0);
      int id = HIWORD(def) == kHasDefId ? LOWORD(def) : IDOK;
      HWND button = Child(dialog, id);
      const Window* b = ui.Find(button);
      if (b == nullptr || !(b->style & WS_DISABLED)) {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
      }
      return TRUE;
    }
  }
  TranslateMessage(msg);
  DispatchMessageA(msg);
  return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  HWND top = nullptr;
  if (owner != nullptr) {
    if (ui.Find(owner) == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    top = ui.TopLevel(owner);
  }
  MessageBoxRecord record;
  record.owner = top;
  record.text = text != nullptr ? text : "";
  record.caption = caption != nullptr ? caption : "Error";
  record.style = type;
  record.at = Now();
  record.cursor = ui.waitCursor ? "wait" : "normal";
  record.thread = CurrentThreadId();
  std::string line = Quote(record.caption) + " " + Quote(record.text) + " " + std::to_string(type);
  std::size_t index = ui.boxes.size();
  ui.boxes.push_back(record);
  ui.Record("MessageBoxA", line);

  bool disabled = DisableOwner(top);
  ui.Event("box " + line);
  constexpr LONG kWidth = 320, kHeight = 140;
  RECT r{(1024 - kWidth) / 2, (728 - kHeight) / 2, (1024 + kWidth) / 2, (728 + kHeight) / 2};
  Window& w =
      CreateWindowObject(WindowKind::kMessageBox, "#32770", WS_POPUP | WS_CAPTION | WS_SYSMENU, top,
                         0, record.caption, r, &MessageBoxProc);
  w.boxIndex = index;
  HWND box = w.handle;
  ShowWindow(box, SW_SHOW);

  int result = 0;
  for (;;) {
    const Window& b = ui.Require(box);
    if (!b.alive) break;
    if (b.boxPressed) {
      result = *b.boxPressed;
      break;
    }
    MSG msg{};
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got < 0) break;
    if (!IsDialogMessageA(box, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  if (result != 0) ui.boxes[index].result = result;
  EndModal(box, top, disabled);
  return result;
}
