#include "app/link_guard.h"

namespace {

// An auto-reset event that is signalled while the link is free.
HANDLE g_hLinkFree = nullptr;

constexpr DWORD kMonitorPollMs = 100;

// Delivers the messages other threads have sent to this thread; posted
// messages and input stay queued.
void DeliverSentMessages() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_SENDMESSAGE);
}

// Waits up to `milliseconds` for `hObject` (null: for the time alone),
// delivering sent messages meanwhile; TRUE when the object was signalled.
// A sent message may begin to end the dialog (another program can send a
// close as well as our monitor thread its control changes): a wait given
// `running` then gives up without the object.
BOOL WaitDeliveringSentMessages(HANDLE hObject, DWORD milliseconds,
                                const std::atomic<bool>* running = nullptr) {
  const DWORD count = hObject != nullptr ? 1 : 0;
  const DWORD start = GetTickCount();
  for (;;) {
    // What was sent before (during a Sleep, say) comes first: a signalled
    // object would otherwise win over an ending already waiting.
    DeliverSentMessages();
    if (running != nullptr && !running->load()) return FALSE;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= milliseconds) return FALSE;
    const DWORD result = MsgWaitForMultipleObjectsEx(count, count != 0 ? &hObject : nullptr,
                                                     milliseconds - elapsed, QS_SENDMESSAGE, 0);
    if (count != 0 && result == WAIT_OBJECT_0) return TRUE;
    if (result != WAIT_OBJECT_0 + count) return FALSE;  // timed out, or the wait failed
  }
}

}  // namespace

BOOL CreateLinkGuard() {
  if (g_hLinkFree == nullptr) g_hLinkFree = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  return g_hLinkFree != nullptr;
}

void DestroyLinkGuard() {
  if (g_hLinkFree != nullptr) CloseHandle(g_hLinkFree);
  g_hLinkFree = nullptr;
}

void AbandonLinkGuard() { g_hLinkFree = nullptr; }

// Without a guard nothing may use the link: there would be no exclusion.
BOOL AcquireLinkForUserInterface(DWORD timeoutMs, const std::atomic<bool>& running) {
  if (g_hLinkFree == nullptr) return FALSE;
  return WaitDeliveringSentMessages(g_hLinkFree, timeoutMs, &running);
}

BOOL AcquireLinkForMonitor(const std::atomic<bool>& running) {
  if (g_hLinkFree == nullptr) return FALSE;
  for (;;) {
    const DWORD result = WaitForSingleObject(g_hLinkFree, kMonitorPollMs);
    if (result == WAIT_OBJECT_0) return TRUE;
    // A failed wait holds nothing: the guard is still someone else's.
    if (result != WAIT_TIMEOUT) return FALSE;
    if (!running.load()) return FALSE;
  }
}

void ReleaseLink() {
  if (g_hLinkFree != nullptr) SetEvent(g_hLinkFree);
}

void WaitTakingSentMessages(DWORD milliseconds) {
  WaitDeliveringSentMessages(nullptr, milliseconds);
}
