// Per-thread message queues: posted messages and input, sent messages
// between threads (the sender blocks until the owner takes them), WM_PAINT
// and WM_QUIT generation, and the waits on the queue.
#include <string>

#include "kernel_internal.h"
#include "ui_internal.h"

namespace sim {
namespace {

constexpr UINT kAllTypes = QS_ALLINPUT | QS_ALLPOSTMESSAGE;

UINT KindBits(QueuedKind kind) {
  switch (kind) {
    case QueuedKind::kKey:
      return QS_KEY;
    case QueuedKind::kMouse:
      return QS_MOUSEBUTTON;
    case QueuedKind::kPosted:
    default:
      return QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
  }
}

struct Filter {
  HWND hwnd = nullptr;
  UINT min = 0;
  UINT max = 0;
  UINT types = kAllTypes;  // QS_ bits the caller looks at
};

bool InRange(const Filter& f, UINT message) {
  if (f.min == 0 && f.max == 0) return true;
  return message >= f.min && message <= f.max;
}

bool WindowMatches(const UiState& ui, const Filter& f, HWND h) {
  if (f.hwnd == nullptr) return true;
  if (f.hwnd == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))) return h == nullptr;
  return h != nullptr && ui.IsDescendant(f.hwnd, h);
}

// Finds the next message for the filter, in the order Windows uses: posted
// messages, input, WM_QUIT, WM_PAINT. Returns the position in the posted
// queue (or -1 for a synthesised message) through `index`.
bool FindNext(const UiState& ui, const ThreadQueue& q, const Filter& f, MSG* out, long* index) {
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < q.posted.size(); ++i) {
      const QueuedMessage& m = q.posted[i];
      bool input = m.kind != QueuedKind::kPosted;
      if (input != (pass == 1)) continue;
      if (!(KindBits(m.kind) & f.types)) continue;
      if (!InRange(f, m.msg.message) || !WindowMatches(ui, f, m.msg.hwnd)) continue;
      *out = m.msg;
      *index = static_cast<long>(i);
      return true;
    }
  }
  if (q.quit && (f.types & QS_POSTMESSAGE) && InRange(f, WM_QUIT)) {
    *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, 0, {}};
    *index = -1;
    return true;
  }
  if ((f.types & QS_PAINT) && InRange(f, WM_PAINT)) {
    for (const auto& [key, w] : ui.windows) {
      if (w->alive && w->thread == q.thread && w->invalid && (w->style & WS_VISIBLE) &&
          WindowMatches(ui, f, w->handle)) {
        *out = MSG{w->handle, WM_PAINT, 0, 0, 0, {}};
        *index = -1;
        return true;
      }
    }
  }
  return false;
}

// What the queue holds now, as QS_ bits.
UINT QueueBits(const UiState& ui, const ThreadQueue& q) {
  UINT bits = q.sent.empty() ? 0 : QS_SENDMESSAGE;
  for (const auto& m : q.posted) bits |= KindBits(m.kind);
  if (q.quit) bits |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
  for (const auto& [key, w] : ui.windows) {
    if (w->alive && w->thread == q.thread && w->invalid && (w->style & WS_VISIBLE)) {
      bits |= QS_PAINT;
      break;
    }
  }
  return bits;
}

// Takes (or copies) the next message; on removal applies what the system does
// when input leaves the queue (key state, WM_KEYF1).
bool Take(UiState& ui, ThreadQueue& q, const Filter& f, bool remove, MSG* msg) {
  long index = -1;
  if (!FindNext(ui, q, f, msg, &index)) return false;
  if (index >= 0) race::HappensAfter(q.posted[static_cast<std::size_t>(index)].order.Get());
  msg->time = static_cast<DWORD>(Now());
  if (!remove) return true;
  if (index >= 0) {
    q.posted.erase(q.posted.begin() + index);
  } else if (msg->message == WM_QUIT) {
    q.quit = false;
  }
  switch (msg->message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      SetKeyState(ui, static_cast<int>(msg->wParam), true);
      if (msg->message == WM_KEYDOWN && msg->wParam == VK_F1) {
        PostTo(ui, msg->hwnd, WM_KEYF1, 0, 0, QueuedKind::kPosted);
      }
      break;
    case WM_KEYUP:
    case WM_SYSKEYUP:
      SetKeyState(ui, static_cast<int>(msg->wParam), false);
      break;
    default:
      break;
  }
  return true;
}

// Checks the window filter argument of GetMessage/PeekMessage.
bool ValidFilterWindow(const UiState& ui, HWND h) {
  if (h == nullptr || h == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))) return true;
  const Window* w = ui.Find(h);
  return w != nullptr && w->thread == CurrentThreadId();
}

std::string MessageName(UINT message) {
  switch (message) {
    case WM_SETTEXT:
      return "WM_SETTEXT";
    case WM_GETTEXT:
      return "WM_GETTEXT";
    case WM_ENABLE:
      return "WM_ENABLE";
    case WM_COMMAND:
      return "WM_COMMAND";
    default:
      return Hex(message);
  }
}

void PostToThread(UiState& ui, DWORD thread, HWND h, UINT message, WPARAM wParam, LPARAM lParam,
                  QueuedKind kind) {
  ThreadQueue& q = ui.Queue(thread);
  QueuedMessage m;
  m.msg = MSG{h, message, wParam, lParam, static_cast<DWORD>(Now()), {}};
  m.kind = kind;
  race::HappensBefore(m.order.Get());
  q.posted.push_back(m);
  q.changed |= KindBits(kind);
}

}  // namespace

void PostTo(UiState& ui, HWND h, UINT message, WPARAM wParam, LPARAM lParam, QueuedKind kind) {
  DWORD thread = CurrentThreadId();
  if (h != nullptr) {
    const Window* w = ui.Find(h);
    if (w == nullptr) return;
    thread = w->thread;
  }
  PostToThread(ui, thread, h, message, wParam, lParam, kind);
}

void DeliverSentMessages(ThreadQueue& q) {
  while (!q.sent.empty()) {
    std::shared_ptr<SentMessage> s = q.sent.front();
    q.sent.pop_front();
    if (s->done) continue;
    race::HappensAfter(s.get());  // the sender's work before the send
    LRESULT result = CallWindowProcOf(s->hwnd, s->message, s->wParam, s->lParam);
    race::HappensBefore(s.get());  // the procedure's work before the reply
    s->result = result;
    s->done = true;
    WakePoint();  // the sender goes on at once
  }
}

void DropMessagesFor(HWND h) {
  bool woke = false;
  for (auto& [thread, q] : Ui().queues) {
    std::erase_if(q->posted, [h](const QueuedMessage& m) { return m.msg.hwnd == h; });
    std::erase_if(q->sent, [h, &woke](const std::shared_ptr<SentMessage>& s) {
      if (s->hwnd != h) return false;
      s->result = 0;  // the sender wakes with 0
      s->done = true;
      woke = true;
      return true;
    });
  }
  if (woke) WakePoint();
}

}  // namespace sim

using namespace sim;

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  const Window* w = ui.Find(window);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (message == WM_ICONERASEBKGND) {
    ui.Record("SendMessageA", "WM_ICONERASEBKGND " + Hex(reinterpret_cast<std::uintptr_t>(window)) +
                                  " wParam=" + Hex(wParam));
  }
  DWORD me = CurrentThreadId();
  if (w->thread == me) return CallWindowProcOf(window, message, wParam, lParam);

  auto sent = std::make_shared<SentMessage>();
  sent->hwnd = window;
  sent->message = message;
  sent->wParam = wParam;
  sent->lParam = lParam;
  sent->sender = me;
  ThreadQueue& target = ui.Queue(w->thread);
  race::HappensBefore(sent.get());
  target.sent.push_back(sent);
  target.changed |= QS_SENDMESSAGE;

  // While waiting for the reply, this thread takes messages sent to it, as
  // Windows does; posted messages and input stay queued. The receiver may
  // take this one meanwhile.
  ThreadQueue& mine = ui.Queue(me);
  if (!mine.sent.empty()) WakePoint();
  const std::string what =
      "SendMessageA(" + MessageName(message) + " to thread " + std::to_string(w->thread) + ")";
  while (!sent->done) {
    DeliverSentMessages(mine);
    if (sent->done) break;
    if (!WaitUntil([&] { return sent->done || !mine.sent.empty(); }, std::nullopt, what)) {
      // This thread cannot block (the run is ending): give up on the reply;
      // the receiver skips a message nobody waits for.
      sent->done = true;
      return 0;
    }
  }
  race::HappensAfter(sent.get());
  return sent->result;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  if (window != nullptr && ui.Find(window) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  PostTo(ui, window, message, wParam, lParam, QueuedKind::kPosted);
  if (window != nullptr && ui.Find(window)->thread != CurrentThreadId()) WakePoint();
  return TRUE;
}

BOOL PostThreadMessageA(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  // Only a thread that has a message queue (it has used user32) can take it.
  if (ui.queues.count(thread) == 0) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  PostToThread(ui, thread, nullptr, message, wParam, lParam, QueuedKind::kPosted);
  if (thread != CurrentThreadId()) WakePoint();
  return TRUE;
}

void PostQuitMessage(int exitCode) {
  const sim::ApiCall apiCall;
  ThreadQueue& q = Ui().Queue(CurrentThreadId());
  q.quit = true;
  q.quitCode = exitCode;
  q.changed |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
}

BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!ValidFilterWindow(ui, window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  ThreadQueue& q = ui.Queue(CurrentThreadId());
  Filter f{window, filterMin, filterMax, kAllTypes};
  for (;;) {
    DeliverSentMessages(q);
    q.changed = 0;
    if (Take(ui, q, f, true, msg)) return msg->message == WM_QUIT ? FALSE : TRUE;
    bool woke = WaitUntil(
        [&] {
          MSG probe;
          long index = 0;
          return !q.sent.empty() || FindNext(ui, q, f, &probe, &index);
        },
        std::nullopt, "GetMessageA");
    if (!woke) {  // no simulated thread to block: the run is ending
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
  }
}

BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  if (msg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!ValidFilterWindow(ui, window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  ThreadQueue& q = ui.Queue(CurrentThreadId());
  DeliverSentMessages(q);  // whatever the flags
  q.changed = 0;
  UINT types = removeFlags >> 16;
  if (types == 0) types = kAllTypes;
  if (types & QS_POSTMESSAGE) types |= QS_ALLPOSTMESSAGE;
  Filter f{window, filterMin, filterMax, types};
  return Take(ui, q, f, (removeFlags & PM_REMOVE) != 0, msg) ? TRUE : FALSE;
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                  DWORD wakeMask, DWORD flags) {
  const sim::ApiCall apiCall;
  UiState& ui = Ui();
  constexpr DWORD kMaxObjects = 63;
  if (count > kMaxObjects || (count > 0 && handles == nullptr) || (flags & MWMO_WAITALL)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupHandle(handles[i]);
    if (object == nullptr || !object->Waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
  }
  if (CurrentKernel().WaitFails()) {
    ui.Record("MsgWaitForMultipleObjectsEx", "failed");
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  ThreadQueue& q = ui.Queue(CurrentThreadId());
  auto signaled = [&]() -> long {
    for (std::size_t i = 0; i < objects.size(); ++i) {
      if (objects[i]->Signaled()) return static_cast<long>(i);
    }
    return -1;
  };
  // Only what is new since the thread last looked at its queue wakes it,
  // except that a pending sent message always does.
  auto queueReady = [&] {
    if ((wakeMask & QS_SENDMESSAGE) && !q.sent.empty()) return true;
    if (q.changed & wakeMask) return true;
    return (flags & MWMO_INPUTAVAILABLE) && (QueueBits(ui, q) & wakeMask);
  };
  auto result = [&]() -> std::optional<DWORD> {
    long i = signaled();
    if (i >= 0) {
      objects[static_cast<std::size_t>(i)]->Acquire();
      race::HappensAfter(objects[static_cast<std::size_t>(i)].get());
      return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    }
    if (queueReady()) {
      q.changed = 0;
      return WAIT_OBJECT_0 + count;
    }
    return std::nullopt;
  };
  if (auto r = result()) return *r;
  if (milliseconds == 0) return WAIT_TIMEOUT;
  std::optional<Ticks> deadline;
  if (milliseconds != INFINITE) deadline = Now() + milliseconds;
  WaitUntil([&] { return signaled() >= 0 || queueReady(); }, deadline,
            "MsgWaitForMultipleObjectsEx");
  if (auto r = result()) return *r;
  return WAIT_TIMEOUT;
}

BOOL TranslateMessage(const MSG* msg) {
  const sim::ApiCall apiCall;
  if (msg == nullptr) return FALSE;
  if (msg->message == WM_KEYUP || msg->message == WM_SYSKEYDOWN || msg->message == WM_SYSKEYUP) {
    return TRUE;
  }
  if (msg->message != WM_KEYDOWN) return FALSE;
  UiState& ui = Ui();
  int vk = static_cast<int>(msg->wParam);
  int ch = 0;
  if (vk >= '0' && vk <= '9') {
    ch = vk;
  } else if (vk >= 'A' && vk <= 'Z') {
    bool shift = ui.keys[VK_SHIFT];
    ch = shift ? vk : vk - 'A' + 'a';
  } else if (vk == VK_SPACE || vk == VK_BACK || vk == VK_TAB || vk == VK_ESCAPE) {
    ch = vk;
  } else if (vk == VK_RETURN) {
    ch = '\r';
  }
  if (ch != 0) {
    const Window* w = ui.Find(msg->hwnd);
    if (w != nullptr) {
      // The character is the next message the thread reads.
      QueuedMessage m;
      m.msg = MSG{msg->hwnd, WM_CHAR, static_cast<WPARAM>(ch), msg->lParam, msg->time, {}};
      m.kind = QueuedKind::kKey;
      ThreadQueue& q = ui.Queue(w->thread);
      race::HappensBefore(m.order.Get());
      q.posted.push_front(m);
      q.changed |= QS_KEY;
    }
  }
  return TRUE;
}

LRESULT DispatchMessageA(const MSG* msg) {
  const sim::ApiCall apiCall;
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  const Window* w = Ui().Find(msg->hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->thread != CurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  return CallWindowProcOf(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}
