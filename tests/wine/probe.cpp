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
//
// Numbers are decimal or 0x-prefixed hexadecimal.
// Exit status: 0 done, 1 the awaited state did not come in time, 2 bad
// arguments or no such window or item, 3 a Win32 call failed.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kDone = 0;
constexpr int kTimedOut = 1;
constexpr int kBadUse = 2;
constexpr int kFailed = 3;

constexpr DWORD kPollMs = 100;
constexpr UINT kSendTimeoutMs = 5000;

int Usage() {
  std::fputs(
      "usage: uf_probe wait-window|wait-gone|wait-idle TITLE TIMEOUT_MS\n"
      "       uf_probe rect|sysmenu-last TITLE\n"
      "       uf_probe item-enabled|item-text TITLE ID\n"
      "       uf_probe post TITLE MSG WPARAM LPARAM\n"
      "       uf_probe key TITLE VK\n"
      "       uf_probe syscommand TITLE ID\n",
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

// Polls until want_present matches whether the window exists, or the time is up.
int WaitFor(const char* title, const char* timeout_text, bool want_present) {
  unsigned long long timeout_ms = 0;
  if (!ParseNumber(timeout_text, &timeout_ms)) return Usage();
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const bool present = FindTopLevel(title) != nullptr;
    if (present == want_present) return kDone;
    if (GetTickCount64() - start >= timeout_ms) break;
    Sleep(kPollMs);
  }
  std::fprintf(stderr, "uf_probe: after %llu ms the window \"%s\" is %s\n", timeout_ms, title,
               want_present ? "still not there" : "still there");
  return kTimedOut;
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
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  HWND item = RequireItem(hwnd, id_text);
  if (item == nullptr) return kBadUse;
  std::printf("%d\n", IsWindowEnabled(item) ? 1 : 0);
  return kDone;
}

int ItemText(const char* title, const char* id_text) {
  HWND hwnd = RequireWindow(title);
  if (hwnd == nullptr) return kBadUse;
  HWND item = RequireItem(hwnd, id_text);
  if (item == nullptr) return kBadUse;
  // GetWindowText does not ask a control of another process for its text;
  // WM_GETTEXT, which the system carries across, does.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(item, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                           &length)) {
    std::fprintf(stderr, "uf_probe: WM_GETTEXTLENGTH got no answer, error %lu\n", GetLastError());
    return kFailed;
  }
  std::string text(length + 1, '\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(item, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
    std::fprintf(stderr, "uf_probe: WM_GETTEXT got no answer, error %lu\n", GetLastError());
    return kFailed;
  }
  text.resize(copied < text.size() ? copied : text.size() - 1);
  std::printf("%s\n", text.c_str());
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
  return Usage();
}
