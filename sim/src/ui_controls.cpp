// The standard controls a dialog template can hold: button, edit, static
// and the common-controls progress bar.
#include <algorithm>
#include <cstdint>
#include <string>

#include "ui_internal.h"

namespace sim {
namespace {

constexpr UINT kDlgcStatic = 0x0100;
constexpr UINT kEsMultiline = 0x0004;

void Notify(HWND control, WORD code) {
  UiState& ui = Ui();
  const Window* w = ui.Find(control);
  if (w == nullptr || ui.Find(w->parent) == nullptr) return;
  HWND parent = w->parent;
  SendMessageA(parent, WM_COMMAND, MAKEWPARAM(w->id, code), reinterpret_cast<LPARAM>(control));
}

void EmitProgress(UiState& ui, const std::string& what) { ui.Event("progress " + what); }

int Clamp(const ProgressInfo& p, std::int64_t v) {
  std::int64_t lo = p.min;
  std::int64_t hi = std::max(p.min, p.max);
  return static_cast<int>(std::clamp(v, lo, hi));
}

void SetPos(UiState& ui, Window& w, int pos) {
  if (w.progress.pos == pos) return;
  w.progress.pos = pos;
  EmitProgress(ui, "pos " + std::to_string(pos));
}

void SetRange(UiState& ui, Window& w, int min, int max) {
  if (w.progress.min != min || w.progress.max != max) {
    w.progress.min = min;
    w.progress.max = max;
    EmitProgress(ui, "range " + std::to_string(min) + " " + std::to_string(max));
  }
  SetPos(ui, w, Clamp(w.progress, w.progress.pos));
}

}  // namespace

LRESULT ButtonProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  UiState& ui = Ui();
  Window* w = ui.Find(h);
  if (w == nullptr) return 0;
  DWORD type = w->style & 0xF;
  switch (message) {
    case WM_GETDLGCODE:
      if (type == BS_DEFPUSHBUTTON) return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
      if (type == BS_PUSHBUTTON) return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
      if (type == BS_GROUPBOX) return kDlgcStatic;
      return DLGC_BUTTON;
    case WM_LBUTTONDOWN:
      if (type == BS_GROUPBOX || !InputReachable(ui, h)) return 0;
      w->pressed = true;
      SetFocusInternal(h);
      return 0;
    case WM_LBUTTONUP:
      if (!w->pressed) return 0;
      w->pressed = false;
      // Disabled in between: Windows would not have routed the click here.
      if (InputReachable(ui, h)) Notify(h, BN_CLICKED);
      return 0;
    case WM_ENABLE:
      if (!wParam) w->pressed = false;
      return 0;
    default:
      return DefWindowProcA(h, message, wParam, lParam);
  }
}

LRESULT EditProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  UiState& ui = Ui();
  Window* w = ui.Find(h);
  if (w == nullptr) return 0;
  switch (message) {
    case WM_SETTEXT:
      // Program text is accepted even when read-only; the parent hears of it
      // whether or not the text changed.
      DefWindowProcA(h, message, wParam, lParam);
      Notify(h, EN_UPDATE);
      Notify(h, EN_CHANGE);
      return TRUE;
    case WM_GETDLGCODE: {
      LRESULT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
      if (w->style & kEsMultiline) code |= DLGC_WANTALLKEYS;
      return code;
    }
    case WM_CHAR: {
      if (w->style & ES_READONLY) return 0;
      std::string text = w->text;
      if (wParam == VK_BACK) {
        if (text.empty()) return 0;
        text.pop_back();
      } else if (wParam >= 0x20 && wParam <= 0xFF) {
        text.push_back(static_cast<char>(wParam));
      } else {
        return 0;
      }
      SetTextInternal(h, text);
      Notify(h, EN_UPDATE);
      Notify(h, EN_CHANGE);
      return 0;
    }
    case WM_LBUTTONDOWN:
      if (InputReachable(ui, h)) SetFocusInternal(h);
      return 0;
    default:
      return DefWindowProcA(h, message, wParam, lParam);
  }
}

LRESULT StaticProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_GETDLGCODE) return kDlgcStatic;
  return DefWindowProcA(h, message, wParam, lParam);
}

LRESULT ProgressProc(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
  UiState& ui = Ui();
  Window* w = ui.Find(h);
  if (w == nullptr) return 0;
  ProgressInfo& p = w->progress;
  switch (message) {
    case PBM_SETRANGE: {
      LRESULT old = MAKELPARAM(p.min, p.max);
      SetRange(ui, *w, LOWORD(lParam), HIWORD(lParam));
      return old;
    }
    case PBM_SETRANGE32: {
      LRESULT old = MAKELPARAM(p.min, p.max);
      SetRange(ui, *w, static_cast<int>(wParam), static_cast<int>(lParam));
      return old;
    }
    case PBM_SETPOS: {
      int old = p.pos;
      SetPos(ui, *w, Clamp(p, static_cast<int>(wParam)));
      return old;
    }
    case PBM_DELTAPOS: {
      int old = p.pos;
      SetPos(ui, *w, Clamp(p, std::int64_t{p.pos} + static_cast<int>(wParam)));
      return old;
    }
    case PBM_SETSTEP: {
      int old = p.step;
      int step = static_cast<int>(wParam);
      if (step != p.step) {
        p.step = step;
        EmitProgress(ui, "step " + std::to_string(step));
      }
      return old;
    }
    case PBM_STEPIT: {
      int old = p.pos;
      std::int64_t next = std::int64_t{p.pos} + p.step;
      std::int64_t span = std::int64_t{p.max} - p.min;
      if (span <= 0) {
        next = p.min;
      } else if (next > p.max) {
        next = (next - p.min) % span + p.min;  // past the end it starts over
      } else if (next < p.min) {
        next = (next - p.min) % span + p.max;
      }
      SetPos(ui, *w, static_cast<int>(next));
      return old;
    }
    case PBM_GETPOS:
      return p.pos;
    case PBM_GETRANGE:
      if (lParam != 0) {
        auto* out = reinterpret_cast<int*>(lParam);  // PBRANGE {iLow, iHigh}
        out[0] = p.min;
        out[1] = p.max;
      }
      return wParam ? p.min : p.max;
    case WM_GETDLGCODE:
      return 0;
    default:
      return DefWindowProcA(h, message, wParam, lParam);
  }
}

}  // namespace sim
