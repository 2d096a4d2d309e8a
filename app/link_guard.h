// Keeps the link fields (handle, report buffers, counters, the formatting
// members) to one thread at a time. The monitor thread's control changes are
// messages sent to the user-interface thread, so the user-interface thread
// keeps taking sent messages while it waits; the monitor thread gives up
// waiting once the dialog is stopping.
#pragma once

#include <atomic>

#include "platform/win32.h"

BOOL CreateLinkGuard();
void DestroyLinkGuard();
// Forgets the guard of a process that has ended without destroying it. Only
// the host harness needs this: it runs many simulated processes in one.
void AbandonLinkGuard();

// User-interface thread: waits, taking sent messages but no input or posted
// message, until the link is free; FALSE, without the link, when it is not
// free within `timeoutMs`, a sent message clears `running` (the dialog is
// ending), the wait fails or there is no guard.
BOOL AcquireLinkForUserInterface(DWORD timeoutMs, const std::atomic<bool>& running);
// Monitor thread: waits until the link is free; FALSE, without the link,
// when `running` is cleared meanwhile, the wait fails or there is no guard.
BOOL AcquireLinkForMonitor(const std::atomic<bool>& running);
void ReleaseLink();

// Lets the monitor thread's pending control changes through while the
// user-interface thread waits up to `milliseconds`, acting on no input.
void WaitTakingSentMessages(DWORD milliseconds);
