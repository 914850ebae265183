// Start and stop of the upload service: the wake-up event, the worker and its timer.
#pragma once

// 1 if the service runs afterwards, 0 if it could not be started (everything made is undone).
int startService();
// 1 if a running service was stopped (after posting everything queued), 0 if none was running.
int stopService();
// Wakes the worker (and, the event being shared, any worker of this logon) for a drain.
void signalWakeEvent();
