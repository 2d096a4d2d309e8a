// uf_probe: a console program that looks at and drives a top-level window of
// another process, for the Wine end-to-end checks (run_wine_checks.sh).
//
//   uf_probe wait-window TITLE TIMEOUT_MS   wait until a visible window so titled exists
//   uf_probe wait-gone TITLE TIMEOUT_MS     wait until no window so titled exists
//   uf_probe wait-idle TITLE TIMEOUT_MS     wait until the window's process waits for input
//   uf_probe rect TITLE                     print "X Y WIDTH HEIGHT" of the window on screen
//   uf_probe item-enabled TITLE ID          print 1 if dialog item ID is enabled, else 0
//   uf_probe item-text TITLE ID             print the text of dialog item ID
//   uf_probe post TITLE MSG WPARAM LPARAM   post a message to the window
//   uf_probe key TITLE VK                   post a key press and release to the focused control
//   uf_probe syscommand TITLE ID            post WM_SYSCOMMAND ID to the window
//   uf_probe sysmenu-last TITLE             print the last two system-menu items: "ID<TAB>TEXT"
//   uf_probe click TITLE ID                 post BM_CLICK to dialog item ID (a sent one would
//                                           wait for whatever the click starts)
//   uf_probe wait-text TITLE ID TEXT TIMEOUT_MS
//                                           wait until dialog item ID reads TEXT
//   uf_probe wait-enabled TITLE ID 0|1 TIMEOUT_MS
//                                           wait until dialog item ID is disabled (0), enabled (1)
//   uf_probe progress TITLE ID              print "POS MIN MAX" of progress bar ID
//   uf_probe wait-box TITLE TIMEOUT_MS      wait for a message box owned by the window; print
//                                           "TICK \"CAPTION\" \"TEXT\"" (TICK: GetTickCount64
//                                           when seen; \, " and newlines escaped)
//   uf_probe box-ok TITLE                   press OK on that message box
//   uf_probe wait-no-box TITLE TIMEOUT_MS   wait until the window owns no message box
//   uf_probe key-down TITLE VK TIMEOUT_MS   press key VK as typed and wait until the window's
//                                           thread has taken the press
//   uf_probe key-up TITLE VK TIMEOUT_MS     release it likewise
//
// Numbers are decimal or 0x-prefixed hexadecimal.
// Exit status: 0 done, 1 the awaited state did not come in time, 2 bad
// arguments or no such window or item, 3 a Win32 call failed.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kDone = 0;
constexpr int kTimedOut = 1;
constexpr int kBadUse = 2;
constexpr int kFailed = 3;

constexpr DWORD kPollMs = 100;
constexpr UINT kSendTimeoutMs = 5000;
constexpr UINT kPollSendTimeoutMs = 500;

int Usage() {
  std::fputs(
      "usage: uf_probe wait-window|wait-gone|wait-idle TITLE TIMEOUT_MS\n"
      "       uf_probe rect|sysmenu-last TITLE\n"
      "       uf_probe item-enabled|item-text TITLE ID\n"
      "       uf_probe post TITLE MSG WPARAM LPARAM\n"
      "       uf_probe key TITLE VK\n"
      "       uf_probe syscommand TITLE ID\n"
      "       uf_probe click|progress TITLE ID\n"
      "       uf_probe wait-text TITLE ID TEXT TIMEOUT_MS\n"
      "       uf_probe wait-enabled TITLE ID 0|1 TIMEOUT_MS\n"
      "       uf_probe wait-box|wait-no-box TITLE TIMEOUT_MS\n"
      "       uf_probe box-ok TITLE\n"
      "       uf_probe key-down|key-up TITLE VK TIMEOUT_MS\n",
      stderr);
  return kBadUse;
}

bool ParseNumber(const char* text, unsigned long long* value) {
  if (*text == '\0' || *text == '-') return false;
  char* end = nullptr;
  *value = std::strtoull(text, &end, 0);
  return *end == '\0';
}

bool ParseInt(const char* text, long long* value) {
  char* end = nullptr;
  *value = std::strtoll(text, &end, 0);
  return *text != '\0' && *end == '\0';
}

HWND FindTopLevel(const char* title) {
  HWND hwnd = FindWindowA(nullptr, title);
  return hwnd != nullptr && IsWindowVisible(hwnd) ? hwnd : nullptr;
}

HWND RequireWindow(const char* title) {
  HWND hwnd = FindTopLevel(title);
  if (hwnd == nullptr) std::fprintf(stderr, "uf_probe: no visible window titled \"%s\"\n", title);
  return hwnd;
}

HWND RequireItem(HWND dialog, const char* id_text) {
  long long id = 0;
  if (!ParseInt(id_text, &id)) {
    std::fprintf(stderr, "uf_probe: bad control id \"%s\"\n", id_text);
    return nullptr;
  }
  HWND item = GetDlgItem(dialog, static_cast<int>(id));
  if (item == nullptr)
    std::fprintf(stderr, "uf_probe: the window has no control with id %lld\n", id);
  return item;
}

// Dialog item ID of the window so titled; null (with a message) when either is missing.
HWND RequireDialogItem(const char* title, const char* id_text) {
  HWND hwnd = RequireWindow(title);
  return hwnd == nullptr ? nullptr : RequireItem(hwnd, id_text);
}

// Polls `ready` until it holds or timeout_text milliseconds have passed;
// `describe` says what was awaited when the time is up.
template <class Ready, class Describe>
int PollUntil(const char* timeout_text, Ready ready, Describe describe) {
  unsigned long long timeout_ms = 0;
  if (!ParseNumber(timeout_text, &timeout_ms)) return Usage();
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (ready()) return kDone;
    if (GetTickCount64() - start >= timeout_ms) break;
    Sleep(kPollMs);
  }
  std::fprintf(stderr, "uf_probe: after %llu ms, %s\n", timeout_ms, describe().c_str());
  return kTimedOut;
}

// Polls until want_present matches whether the window exists, or the time is up.
int WaitFor(const char* title, const char* timeout_text, bool want_present) {
  return PollUntil(
      timeout_text, [&] { return (FindTopLevel(title) != nullptr) == want_present; },
      [&] {
        return "the window \"" + std::string(title) + "\" is " +
               (want_present ? "still not there" : "still there");
      });
}

int WaitIdle(const char* title, const char* timeout_text) {
  unsigned long long timeout_ms = 0;
  if (!ParseNumber(timeout_text, &timeout_ms)) return Usage();
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    std::fprintf(stderr, "uf_probe: OpenProcess(%lu) failed, error %lu\n", pid, GetLastError());
    return kFailed;
  }
  const DWORD result = WaitForInputIdle(process, static_cast<DWORD>(timeout_ms));
  CloseHandle(process);
  if (result == 0) return kDone;
  if (result == WAIT_TIMEOUT) {
    std::fprintf(stderr, "uf_probe: the process was not idle within %llu ms\n", timeout_ms);
    return kTimedOut;
  }
  std::fprintf(stderr, "uf_probe: WaitForInputIdle failed, error %lu\n", GetLastError());
  return kFailed;
}

int Rect(const char* title) {
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  RECT rect{};
  if (!GetWindowRect(hwnd, &rect)) {
    std::fprintf(stderr, "uf_probe: GetWindowRect failed, error %lu\n", GetLastError());
    return kFailed;
  }
  std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  return kDone;
}

int ItemEnabled(const char* title, const char* id_text) {
  HWND item = RequireDialogItem(title, id_text);
  if (item == nullptr) return kBadUse;
  std::printf("%d\n", IsWindowEnabled(item) ? 1 : 0);
  return kDone;
}

int Post(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!PostMessageA(hwnd, message, wparam, lparam)) {
    std::fprintf(stderr, "uf_probe: PostMessage(0x%04x) failed, error %lu\n", message,
                 GetLastError());
    return kFailed;
  }
  return kDone;
}

// The window's text, asked of the window itself: GetWindowText does not ask a
// control of another process for its text; WM_GETTEXT, which the system
// carries across, does. Empty when the window's thread did not answer in
// time (it is busy, or hung).
std::optional<std::string> AskText(HWND window, UINT timeout_ms) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, timeout_ms, &length)) {
    return std::nullopt;
  }
  std::string text(length + 1, '\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, timeout_ms, &copied)) {
    return std::nullopt;
  }
  text.resize(copied < text.size() ? copied : text.size() - 1);
  return text;
}

int ItemText(const char* title, const char* id_text) {
  HWND item = RequireDialogItem(title, id_text);
  if (item == nullptr) return kBadUse;
  const std::optional<std::string> text = AskText(item, kSendTimeoutMs);
  if (!text) {
    std::fprintf(stderr, "uf_probe: WM_GETTEXT got no answer, error %lu\n", GetLastError());
    return kFailed;
  }
  std::printf("%s\n", text->c_str());
  return kDone;
}

int WaitText(const char* title, const char* id_text, const char* want, const char* timeout_text) {
  HWND item = RequireDialogItem(title, id_text);
  if (item == nullptr) return kBadUse;
  std::string last = "(no answer)";
  return PollUntil(
      timeout_text,
      [&] {
        // A short wait per question: the thread may be busy for a while.
        const std::optional<std::string> text = AskText(item, kPollSendTimeoutMs);
        if (text) last = *text;
        return text && *text == want;
      },
      [&] {
        return "item " + std::string(id_text) + " reads \"" + last + "\", not \"" + want + "\"";
      });
}

int WaitEnabled(const char* title, const char* id_text, const char* want_text,
                const char* timeout_text) {
  const std::string want = want_text;
  if (want != "0" && want != "1") return Usage();
  HWND item = RequireDialogItem(title, id_text);
  if (item == nullptr) return kBadUse;
  return PollUntil(
      timeout_text, [&] { return (IsWindowEnabled(item) ? "1" : "0") == want; },
      [&] {
        return "item " + std::string(id_text) + " is still " +
               (want == "1" ? "disabled" : "enabled");
      });
}

int Progress(const char* title, const char* id_text) {
  HWND bar = RequireDialogItem(title, id_text);
  if (bar == nullptr) return kBadUse;
  // PBM_GETRANGE without a PBRANGE answers one limit: the low one for TRUE.
  DWORD_PTR values[3] = {};
  const UINT messages[3] = {PBM_GETPOS, PBM_GETRANGE, PBM_GETRANGE};
  const WPARAM wparams[3] = {0, TRUE, FALSE};
  for (int i = 0; i < 3; ++i) {
    if (!SendMessageTimeoutA(bar, messages[i], wparams[i], 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &values[i])) {
      std::fprintf(stderr, "uf_probe: the progress bar did not answer, error %lu\n",
                   GetLastError());
      return kFailed;
    }
  }
  std::printf("%d %d %d\n", static_cast<int>(values[0]), static_cast<int>(values[1]),
              static_cast<int>(values[2]));
  return kDone;
}

// The visible message boxes (dialog-class windows) that `owner` owns.
std::vector<HWND> OwnedBoxes(HWND owner) {
  struct Search {
    HWND owner;
    std::vector<HWND> boxes;
  } search{owner, {}};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        char class_name[16] = {};
        GetClassNameA(window, class_name, sizeof(class_name));
        if (std::strcmp(class_name, "#32770") == 0 && IsWindowVisible(window) &&
            GetWindow(window, GW_OWNER) == s->owner) {
          s->boxes.push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.boxes;
}

// "\"...\"" with \, " and line ends escaped, as updater-sim writes box texts.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (c != '\r') {
      quoted += c;
    }
  }
  return quoted + "\"";
}

int WaitBox(const char* title, const char* timeout_text) {
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  HWND box = nullptr;
  const int waited = PollUntil(
      timeout_text,
      [&] {
        const std::vector<HWND> boxes = OwnedBoxes(hwnd);
        box = boxes.empty() ? nullptr : boxes.front();
        return box != nullptr;
      },
      [] { return std::string("no message box is open"); });
  if (waited != kDone) return waited;
  const ULONGLONG seen = GetTickCount64();
  // The message box shows its text in the static control with id 0xFFFF.
  HWND text_item = GetDlgItem(box, 0xFFFF);
  const std::optional<std::string> caption = AskText(box, kSendTimeoutMs);
  const std::optional<std::string> text =
      text_item == nullptr ? std::nullopt : AskText(text_item, kSendTimeoutMs);
  if (!caption || !text) {
    std::fprintf(stderr, "uf_probe: cannot read the message box's caption and text\n");
    return kFailed;
  }
  std::printf("%llu %s %s\n", static_cast<unsigned long long>(seen), Quoted(*caption).c_str(),
              Quoted(*text).c_str());
  return kDone;
}

int BoxOk(const char* title) {
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  const std::vector<HWND> boxes = OwnedBoxes(hwnd);
  HWND ok = boxes.empty() ? nullptr : GetDlgItem(boxes.front(), IDOK);
  if (ok == nullptr) {
    std::fprintf(stderr, "uf_probe: no message box with an OK button is open\n");
    return kBadUse;
  }
  return Post(ok, BM_CLICK, 0, 0);
}

int WaitNoBox(const char* title, const char* timeout_text) {
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  return PollUntil(
      timeout_text, [&] { return OwnedBoxes(hwnd).empty(); },
      [] { return std::string("a message box is still open"); });
}

// A key pressed or released as the keyboard does it (SendInput, to the
// foreground window), then awaited until the window's thread has taken it:
// GetKeyState answers from the input messages a thread has taken, and this
// thread shares the window thread's input state while it waits.
int TypeKey(const char* title, const char* vk_text, const char* timeout_text, bool down) {
  unsigned long long vk = 0;
  if (!ParseNumber(vk_text, &vk) || vk == 0 || vk > 0xFE) return Usage();
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  const DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
  if (!AttachThreadInput(GetCurrentThreadId(), thread, TRUE)) {
    std::fprintf(stderr, "uf_probe: AttachThreadInput failed, error %lu\n", GetLastError());
    return kFailed;
  }
  if (GetForegroundWindow() != hwnd) SetForegroundWindow(hwnd);
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = static_cast<WORD>(vk);
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(static_cast<UINT>(vk), MAPVK_VK_TO_VSC));
  input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
  int result = kDone;
  if (SendInput(1, &input, sizeof(input)) != 1) {
    std::fprintf(stderr, "uf_probe: SendInput failed, error %lu\n", GetLastError());
    result = kFailed;
  } else {
    result = PollUntil(
        timeout_text, [&] { return (GetKeyState(static_cast<int>(vk)) < 0) == down; },
        [&] {
          return std::string("the window's thread has not taken the key ") +
                 (down ? "press" : "release");
        });
  }
  AttachThreadInput(GetCurrentThreadId(), thread, FALSE);
  return result;
}

int ClickItem(const char* title, const char* id_text) {
  HWND item = RequireDialogItem(title, id_text);
  if (item == nullptr) return kBadUse;
  return Post(item, BM_CLICK, 0, 0);
}

int PostCommand(const char* title, const char* message_text, const char* wparam_text,
                const char* lparam_text) {
  unsigned long long message = 0;
  long long wparam = 0;
  long long lparam = 0;
  if (!ParseNumber(message_text, &message) || !ParseInt(wparam_text, &wparam) ||
      !ParseInt(lparam_text, &lparam)) {
    return Usage();
  }
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  return Post(hwnd, static_cast<UINT>(message), static_cast<WPARAM>(wparam),
              static_cast<LPARAM>(lparam));
}

// A key typed into the window: WM_KEYDOWN and WM_KEYUP posted to the control
// that has the keyboard focus in the window's thread (the window itself when
// none has), where the dialog's message loop finds them as it finds typed keys.
int Key(const char* title, const char* vk_text) {
  unsigned long long vk = 0;
  if (!ParseNumber(vk_text, &vk) || vk == 0 || vk > 0xFE) return Usage();
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  HWND target = hwnd;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info) &&
      info.hwndFocus != nullptr) {
    target = info.hwndFocus;
  }
  const UINT scan = MapVirtualKeyA(static_cast<UINT>(vk), MAPVK_VK_TO_VSC);
  const LPARAM down = static_cast<LPARAM>(1u | (scan << 16));
  const LPARAM up = static_cast<LPARAM>(1u | (scan << 16) | (1u << 30) | (1u << 31));
  const int posted = Post(target, WM_KEYDOWN, static_cast<WPARAM>(vk), down);
  if (posted != kDone) return posted;
  return Post(target, WM_KEYUP, static_cast<WPARAM>(vk), up);
}

int SysCommand(const char* title, const char* id_text) {
  unsigned long long id = 0;
  if (!ParseNumber(id_text, &id)) return Usage();
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  return Post(hwnd, WM_SYSCOMMAND, static_cast<WPARAM>(id), 0);
}

int SysMenuLast(const char* title) {
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  HMENU menu = GetSystemMenu(hwnd, FALSE);
  if (menu == nullptr) {
    // Wine gives no menu for a window of another process; Windows does.
    std::fprintf(stderr, "uf_probe: GetSystemMenu gave no system menu for the window\n");
    return kFailed;
  }
  const int count = GetMenuItemCount(menu);
  if (count < 0) {
    std::fprintf(stderr, "uf_probe: GetMenuItemCount failed, error %lu\n", GetLastError());
    return kFailed;
  }
  for (int index = count >= 2 ? count - 2 : 0; index < count; ++index) {
    char text[256] = {};
    GetMenuStringA(menu, static_cast<UINT>(index), text, sizeof(text), MF_BYPOSITION);
    const UINT id = GetMenuItemID(menu, index);
    // Separators and submenus have no command id.
    std::printf("%ld\t%s\n", id == static_cast<UINT>(-1) ? -1L : static_cast<long>(id), text);
  }
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const char* title = argv[2];
  if (command == "wait-window" && argc == 4) return WaitFor(title, argv[3], true);
  if (command == "wait-gone" && argc == 4) return WaitFor(title, argv[3], false);
  if (command == "wait-idle" && argc == 4) return WaitIdle(title, argv[3]);
  if (command == "rect" && argc == 3) return Rect(title);
  if (command == "item-enabled" && argc == 4) return ItemEnabled(title, argv[3]);
  if (command == "item-text" && argc == 4) return ItemText(title, argv[3]);
  if (command == "post" && argc == 6) return PostCommand(title, argv[3], argv[4], argv[5]);
  if (command == "key" && argc == 4) return Key(title, argv[3]);
  if (command == "syscommand" && argc == 4) return SysCommand(title, argv[3]);
  if (command == "sysmenu-last" && argc == 3) return SysMenuLast(title);
  if (command == "click" && argc == 4) return ClickItem(title, argv[3]);
  if (command == "wait-text" && argc == 6) return WaitText(title, argv[3], argv[4], argv[5]);
  if (command == "wait-enabled" && argc == 6) return WaitEnabled(title, argv[3], argv[4], argv[5]);
  if (command == "progress" && argc == 4) return Progress(title, argv[3]);
  if (command == "wait-box" && argc == 4) return WaitBox(title, argv[3]);
  if (command == "box-ok" && argc == 3) return BoxOk(title);
  if (command == "wait-no-box" && argc == 4) return WaitNoBox(title, argv[3]);
  if (command == "key-down" && argc == 5) return TypeKey(title, argv[3], argv[4], true);
  if (command == "key-up" && argc == 5) return TypeKey(title, argv[3], argv[4], false);
  return Usage();
}
