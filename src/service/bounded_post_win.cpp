#include "service/bounded_post.h"

#include <windows.h>

#include <new>

#include "common/diagnostics.h"
#include "http/post_form.h"
#include "win_handles.h"

// What the worker and its helper share. The helper holds its own reference, so a helper that is
// left behind in a post never touches freed memory. The hand-over is a slim lock and two condition
// variables rather than events (see win::ExclusiveLock): event calls cost more under Wine than the
// rest of the worker's side of a post. The lock is held by whichever thread touches the worker's
// state (the helper while it calls next and settled, the worker while it journals), never during a
// post itself.
struct BoundedPoster::Job {
    std::wstring url;
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE given = CONDITION_VARIABLE_INIT;     // a run is there (or quit is set)
    CONDITION_VARIABLE finished = CONDITION_VARIABLE_INIT;  // the helper is done with the run it took
    // The worker's functions for the run; called only while open is set, since the worker may
    // have left them (and everything they reach) behind once it gave the run up.
    const Delivery::Next* next = nullptr;
    const Delivery::Settle* settled = nullptr;
    bool open = false;        // the worker waits for the run
    bool waiting = false;     // a run was given and not yet taken
    bool busy = false;        // from the hand-over until the helper is done with that run
    uint64_t stepSince = 0;   // when the run was handed over, then when its current post began
    bool quit = false;
    bool helperRunning = false;
};

namespace {

// What the creating thread hands its helper: the job, and the module reference it took for it.
struct HelperStart {
    std::shared_ptr<BoundedPoster::Job> job;
    HMODULE self = nullptr;
};

PostReply postOne(const std::wstring& url, const Report& report, PostSession& session)
{
    PostReply reply;
    try {
        diag::postData(report.body.c_str());
        const PostAnswer answer =
            postForm(url, report.body.c_str(), static_cast<uint32_t>(report.body.size()), report.id, &session);
        reply.outcome = outcomeOfStatus(answer.status);
        reply.retryAfterMs = answer.retryAfterMs;
    } catch (...) {
    }
    return reply;
}

// Called and returns with the lock held: the run's posts, until next or settled ends it or the
// worker gives it up.
void postRunOnHelper(BoundedPoster::Job& job, PostSession& session)
{
    for (;;) {
        Report report;
        bool more = false;
        try {
            more = job.open && (*job.next)(report);
        } catch (...) {
        }
        if (!more) return;
        job.stepSince = monotonicMs();
        ReleaseSRWLockExclusive(&job.lock);
        const PostReply reply = postOne(job.url, report, session);
        AcquireSRWLockExclusive(&job.lock);
        // Given up meanwhile, the answer goes nowhere: the worker has already counted this post
        // as unanswered and may be using the spool itself.
        bool goOn = false;
        try {
            goOn = job.open && (*job.settled)(reply);
        } catch (...) {
        }
        if (!goOn) return;
    }
}

DWORD WINAPI helperMain(LPVOID parameter)
{
    // The helper may outlive the service (a post left behind at a stop): the reference its creator
    // took keeps this module loaded until the helper has returned from the last line of its code.
    HMODULE self = static_cast<HelperStart*>(parameter)->self;
    {
        std::unique_ptr<HelperStart> owned(static_cast<HelperStart*>(parameter));
        BoundedPoster::Job& job = *owned->job;
        PostSession session;  // this helper's posts, one after another, share it
        win::ExclusiveLock guard(job.lock);
        for (;;) {
            while (!job.quit && !job.waiting) SleepConditionVariableSRW(&job.given, &job.lock, INFINITE, 0);
            if (job.quit) break;
            job.waiting = false;
            postRunOnHelper(job, session);
            job.next = nullptr;
            job.settled = nullptr;
            job.busy = false;
            WakeConditionVariable(&job.finished);
        }
        job.helperRunning = false;
    }
    if (self != nullptr) FreeLibraryAndExitThread(self, 0);
    return 0;
}

bool startHelper(const std::shared_ptr<BoundedPoster::Job>& job)
{
    // The reference is taken here, before the thread exists: taken by the helper itself, it would
    // come too late for a host that frees the library right after a stop.
    auto* start = new (std::nothrow) HelperStart{job, nullptr};
    HANDLE helper = nullptr;
    if (start != nullptr &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&helperMain),
                           &start->self)) {
        helper = CreateThread(nullptr, 0, helperMain, start, 0, nullptr);
    }
    if (helper == nullptr) {
        if (start != nullptr && start->self != nullptr) FreeLibrary(start->self);
        delete start;
        return false;
    }
    CloseHandle(helper);
    return true;
}

}  // namespace

uint64_t monotonicMs() { return GetTickCount64(); }

BoundedPoster::BoundedPoster(std::wstring url, StopDeadline& stop) : job_(std::make_shared<Job>()), stop_(stop)
{
    job_->url = std::move(url);
}

BoundedPoster::~BoundedPoster()
{
    win::ExclusiveLock guard(job_->lock);
    job_->quit = true;
    // A helper in a post sees quit when it returns from it; an idle one at once.
    WakeConditionVariable(&job_->given);
}

PostReply BoundedPoster::post(const Report& report)
{
    PostReply reply;
    bool given = false;
    postRun(
        [&report, &given](Report& out) {
            if (given) return false;
            out = report;
            given = true;
            return true;
        },
        [&reply](const PostReply& answered) {
            reply = answered;
            return false;
        });
    return reply;
}

void BoundedPoster::postRun(const Delivery::Next& next, const Delivery::Settle& settled)
{
    Job& job = *job_;
    const PostReply none;
    bool started = false;
    {
        win::ExclusiveLock guard(job.lock);
        // The helper is still in a post that ran out of time: the server is not answering.
        if (job.busy) {
            settled(none);
            return;
        }
        started = job.helperRunning;
    }
    if (!started && !startHelper(job_)) {
        settled(none);
        return;
    }

    win::ExclusiveLock guard(job.lock);
    job.helperRunning = true;
    job.next = &next;
    job.settled = &settled;
    job.open = true;
    job.waiting = true;
    job.busy = true;
    job.stepSince = monotonicMs();
    WakeConditionVariable(&job.given);
    for (;;) {
        if (!job.busy) {
            job.open = false;
            return;
        }
        const uint64_t now = monotonicMs();
        const uint64_t limit = job.stepSince + kPostLimitMs;
        // Read at every slice: a stop asked for meanwhile brings the deadline forward.
        const uint64_t deadline = stop_.deadline();
        const uint64_t until = deadline < limit ? deadline : limit;
        if (now >= until) {
            // The post is left to the helper, which calls neither function again.
            job.open = false;
            settled(none);
            return;
        }
        const uint64_t wait = until - now;
        const DWORD waitMs = static_cast<DWORD>(wait > kStopSeenWithinMs ? kStopSeenWithinMs : wait);
        if (SleepConditionVariableSRW(&job.finished, &job.lock, waitMs, 0) || !job.busy || !whileWaiting_) continue;
        // A slice went by while a post is out: the journal may be due. The lock stays held, so the
        // helper's next done mark waits for the journal's write.
        try {
            whileWaiting_();
        } catch (...) {
        }
    }
}
