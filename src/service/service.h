// Start and stop of the upload service: the wake-up event, the worker and its timer. A start and a
// stop never run at once: the exports serialise them.
#pragma once

// 1 if the service runs afterwards, 0 if it could not be started (everything made is undone).
// Takes the state lock only to look and to commit; the device identifier is derived without it.
int startService();
// 1 if a running service was stopped (after posting everything queued), 0 if none was running.
// Reports fail with code 1 from the moment the stop begins; the drain runs without the state lock.
int stopService();
// Wakes the worker (and, when the event is the shared one, any worker of this logon) for a drain.
// The caller holds the state lock.
void signalWakeEvent();
