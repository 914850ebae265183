#include "service/bounded_post.h"

#include <windows.h>

#include <new>

#include "http/post_form.h"
#include "win_handles.h"

// What the worker and its helper share. The helper holds its own reference, so a helper that is
// left behind in a post never touches freed memory. The hand-over is a slim lock and two condition
// variables rather than events (see win::ExclusiveLock): five event calls per report cost more under
// Wine than the rest of the worker's side of a post.
struct BoundedPoster::Job {
    std::wstring url;
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE given = CONDITION_VARIABLE_INIT;     // a body is there (or quit is set)
    CONDITION_VARIABLE finished = CONDITION_VARIABLE_INIT;  // the helper finished the body it took
    std::string body;
    std::string reportId;
    PostAnswer answer;
    bool waiting = false;  // a body was given and not yet taken
    bool busy = false;     // from the hand-over until the helper finished that body
    bool quit = false;
    bool helperRunning = false;
};

namespace {

// What the creating thread hands its helper: the job, and the module reference it took for it.
struct HelperStart {
    std::shared_ptr<BoundedPoster::Job> job;
    HMODULE self = nullptr;
};

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
            std::string body;
            std::string reportId;
            body.swap(job.body);
            reportId.swap(job.reportId);
            ReleaseSRWLockExclusive(&job.lock);
            PostAnswer answer;
            try {
                answer = postForm(job.url, body.c_str(), static_cast<uint32_t>(body.size()), reportId, &session);
            } catch (...) {
            }
            AcquireSRWLockExclusive(&job.lock);
            job.answer = answer;
            job.busy = false;
            WakeConditionVariable(&job.finished);
        }
        job.helperRunning = false;
    }
    if (self != nullptr) FreeLibraryAndExitThread(self, 0);
    return 0;
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
    Job& job = *job_;
    const PostReply none;
    bool started = false;
    {
        win::ExclusiveLock guard(job.lock);
        // The helper is still in a post that ran out of time: the server is not answering.
        if (job.busy) return none;
        job.body = report.body;
        job.reportId = report.id;
        job.answer = PostAnswer();
        started = job.helperRunning;
    }
    if (!started) {
        // The reference is taken here, before the thread exists: taken by the helper itself, it
        // would come too late for a host that frees the library right after a stop.
        auto* start = new (std::nothrow) HelperStart{job_, nullptr};
        HANDLE helper = nullptr;
        if (start != nullptr &&
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&helperMain),
                               &start->self)) {
            helper = CreateThread(nullptr, 0, helperMain, start, 0, nullptr);
        }
        if (helper == nullptr) {
            if (start != nullptr && start->self != nullptr) FreeLibrary(start->self);
            delete start;
            return none;
        }
        CloseHandle(helper);
    }

    win::ExclusiveLock guard(job.lock);
    job.helperRunning = true;
    job.waiting = true;
    job.busy = true;
    WakeConditionVariable(&job.given);
    const uint64_t limit = monotonicMs() + kPostLimitMs;
    for (;;) {
        if (!job.busy) {
            PostReply reply;
            reply.outcome = outcomeOfStatus(job.answer.status);
            reply.retryAfterMs = job.answer.retryAfterMs;
            return reply;
        }
        const uint64_t now = monotonicMs();
        // Read at every slice: a stop asked for meanwhile brings the deadline forward.
        const uint64_t deadline = stop_.deadline();
        const uint64_t until = deadline < limit ? deadline : limit;
        if (now >= until) return none;  // left to the helper
        const uint64_t wait = until - now;
        const DWORD waitMs = static_cast<DWORD>(wait > kStopSeenWithinMs ? kStopSeenWithinMs : wait);
        if (SleepConditionVariableSRW(&job.finished, &job.lock, waitMs, 0) || !whileWaiting_) continue;
        // A slice went by without an answer: the journal may be due, outside the lock.
        ReleaseSRWLockExclusive(&job.lock);
        try {
            whileWaiting_();
        } catch (...) {
        }
        AcquireSRWLockExclusive(&job.lock);
    }
}
