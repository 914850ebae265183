#include "service/bounded_post.h"

#include <windows.h>

#include <mutex>
#include <new>

#include "http/post_form.h"
#include "win_handles.h"

// What the worker and its helper share. The helper holds its own reference, so a helper that is
// left behind in a post never touches freed memory.
struct BoundedPoster::Job {
    std::wstring url;
    win::UniqueHandle ready;  // auto-reset: a body is there (or quit is set)
    win::UniqueHandle done;   // manual-reset: the helper finished the body it was given
    std::mutex lock;
    std::string body;
    std::string reportId;
    PostAnswer answer;
    bool busy = false;
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
        for (;;) {
            WaitForSingleObject(job.ready.get(), INFINITE);
            std::string body;
            std::string reportId;
            {
                std::lock_guard<std::mutex> guard(job.lock);
                if (job.quit) break;
                if (!job.busy) continue;
                body.swap(job.body);
                reportId.swap(job.reportId);
            }
            PostAnswer answer;
            try {
                answer = postForm(job.url, body.c_str(), static_cast<uint32_t>(body.size()), reportId);
            } catch (...) {
            }
            {
                std::lock_guard<std::mutex> guard(job.lock);
                job.answer = answer;
                job.busy = false;
            }
            SetEvent(job.done.get());
        }
        std::lock_guard<std::mutex> guard(job.lock);
        job.helperRunning = false;
    }
    if (self != nullptr) FreeLibraryAndExitThread(self, 0);
    return 0;
}

}  // namespace

uint64_t monotonicMs() { return GetTickCount64(); }

BoundedPoster::BoundedPoster(std::wstring url, StopDeadline& stop, void* stopEvent)
    : job_(std::make_shared<Job>()), stop_(stop), stopEvent_(stopEvent)
{
    job_->url = std::move(url);
    job_->ready.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    job_->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

BoundedPoster::~BoundedPoster()
{
    {
        std::lock_guard<std::mutex> guard(job_->lock);
        job_->quit = true;
    }
    // A helper in a post sees quit when it returns from it; an idle one at once.
    if (job_->ready) SetEvent(job_->ready.get());
}

PostReply BoundedPoster::post(const Report& report)
{
    Job& job = *job_;
    const PostReply none;
    if (!job.ready || !job.done) return none;
    {
        std::lock_guard<std::mutex> guard(job.lock);
        // The helper is still in a post that ran out of time: the server is not answering.
        if (job.busy) return none;
        job.body = report.body;
        job.reportId = report.id;
        job.busy = true;
        job.answer = PostAnswer();
    }
    ResetEvent(job.done.get());
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(job.lock);
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
            std::lock_guard<std::mutex> guard(job.lock);
            job.busy = false;
            return none;
        }
        CloseHandle(helper);
        std::lock_guard<std::mutex> guard(job.lock);
        job.helperRunning = true;
    }
    SetEvent(job.ready.get());

    const uint64_t limit = monotonicMs() + kPostLimitMs;
    bool stopSeen = false;
    for (;;) {
        const uint64_t now = monotonicMs();
        const uint64_t deadline = stop_.deadline();
        const uint64_t until = deadline < limit ? deadline : limit;
        if (now >= until) return none;  // left to the helper
        const uint64_t wait = until - now;
        const uint64_t slice = whileWaiting_ ? Delivery::kJournalEveryMs : 60000;
        const DWORD waitMs = static_cast<DWORD>(wait > slice ? slice : wait);
        HANDLE waits[2] = {job.done.get(), stopEvent_};
        const DWORD count = stopSeen || stopEvent_ == nullptr ? 1 : 2;
        const DWORD woken = WaitForMultipleObjects(count, waits, FALSE, waitMs);
        if (woken == WAIT_OBJECT_0) {
            std::lock_guard<std::mutex> guard(job.lock);
            PostReply reply;
            reply.outcome = outcomeOfStatus(job.answer.status);
            reply.retryAfterMs = job.answer.retryAfterMs;
            return reply;
        }
        if (woken == WAIT_OBJECT_0 + 1) stopSeen = true;  // the deadline is read again above
        if (woken == WAIT_TIMEOUT && whileWaiting_) {
            try {
                whileWaiting_();
            } catch (...) {
            }
        }
        if (woken == WAIT_FAILED) Sleep(10);
    }
}
