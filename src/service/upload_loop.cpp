#include "service/upload_loop.h"

#include <cstring>

#include "common/diagnostics.h"
#include "service/report_queue.h"

namespace {

// The next queued body, or none. The queue is created on first use, and a queue that cannot be
// created (out of memory) simply has nothing to post: nothing may escape the worker's thread.
ReportBody popNextBody() noexcept
{
    try {
        return getReportQueue().popFront();
    } catch (...) {
        return ReportBody();
    }
}

}  // namespace

void drainQueue(const PostBody& post)
{
    while (ReportBody body = popNextBody()) {
        diag::postData(body.get());
        try {
            post(body.get(), static_cast<uint32_t>(std::strlen(body.get())));
        } catch (...) {
            // A post that fails in any way loses that one report, never the host process.
        }
    }
}

void runUploadLoop(UploadSignals& signals, const std::atomic<bool>& exitRequested, const UploadPass& pass)
{
    bool passPending = false;
    for (;;) {
        if (!passPending && signals.waitForWork() == UploadSignals::Wake::Broken) {
            // The wait itself is broken: deal with what is there and end rather than loop.
            pass(true);
            return;
        }
        passPending = false;
        // Read before the pass: a stop asks for the end only after the last report it lets in was
        // queued, so a pass that starts after the request has been seen takes every such report.
        const bool ending = exitRequested.load();
        pass(ending);
        if (ending) return;
        // A wake that finds the event still signalled is either a burst of flushes or a
        // same-named manual-reset event that stays signalled; the pause keeps the latter from
        // turning the worker into a busy loop.
        if (signals.takePendingWake()) {
            signals.pauseBeforeNextPass();
            passPending = true;
        }
    }
}

void runUploadLoop(UploadSignals& signals, const std::atomic<bool>& exitRequested, const PostBody& post)
{
    runUploadLoop(signals, exitRequested, [&post](bool) { drainQueue(post); });
}
