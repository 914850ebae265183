// The upload worker's loop as plain logic: when to drain, the order of take, trace, post and free,
// and when to end. The thread, the events and the timer it waits on are the platform side's
// (service_win.cpp); the post is whatever function it is given.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

// Sends one body (borrowed for the call only). Whatever it achieves, the body is freed afterwards
// and never posted again.
using PostBody = std::function<void(const char* body, uint32_t length)>;

// What the loop waits on.
class UploadSignals {
public:
    enum class Wake { Work, Broken };
    virtual ~UploadSignals() = default;
    // Blocks until the next wake-up: a tick, a flush or a stop. Broken when the wait itself
    // failed and will not block again.
    virtual Wake waitForWork() = 0;
    // Takes a wake-up that arrived meanwhile, without blocking; false if none did.
    virtual bool takePendingWake() = 0;
    // Waits a little before the pass that a pending wake-up asks for (returns early on a stop).
    virtual void pauseBeforeNextPass() = 0;
};

// Takes the process queue's bodies from its head one at a time until it is empty: each is traced
// as "POST DATA: ...", handed to post and freed. Nothing post throws leaves the loop.
void drainQueue(const PostBody& post);

// One pass of the worker over what there is to send; ending says that it is the stop's last.
using UploadPass = std::function<void(bool ending)>;

// Waits, runs a pass at every wake-up, and ends after the pass that finds exitRequested set. A
// wake-up that arrives during a pass is taken after it and answered, after a pause, with one more
// pass; a wait that breaks ends the loop after one last pass (an ending one).
void runUploadLoop(UploadSignals& signals, const std::atomic<bool>& exitRequested, const UploadPass& pass);

// The loop with drainQueue as its pass: every body queued before the stop asked the worker to end
// has been posted when it ends. A wake-up that arrives during a drain
// is taken after it and answered, after a pause, with one more pass; a wait that breaks ends the
// loop after one last drain.
void runUploadLoop(UploadSignals& signals, const std::atomic<bool>& exitRequested, const PostBody& post);
