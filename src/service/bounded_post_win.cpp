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
    bool answered = false;
    bool busy = false;
    bool quit = false;
    bool helperRunning = false;
};

namespace {

DWORD WINAPI helperMain(LPVOID parameter)
{
    // The helper may outlive the service (a post left behind at a stop): it keeps this module
    // loaded until it has returned from the last line of its code.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&helperMain), &self);
    {
        std::unique_ptr<std::shared_ptr<BoundedPoster::Job>> owned(
            static_cast<std::shared_ptr<BoundedPoster::Job>*>(parameter));
        BoundedPoster::Job& job = **owned;
        for (;;) {
            WaitForSingleObject(job.ready.get(), INFINITE);
            std::string body;
            {
                std::lock_guard<std::mutex> guard(job.lock);
                if (job.quit) break;
                if (!job.busy) continue;
                body.swap(job.body);
            }
            bool answered = false;
            try {
                answered = postForm(job.url, body.c_str(), static_cast<uint32_t>(body.size())) != 0;
            } catch (...) {
            }
            {
                std::lock_guard<std::mutex> guard(job.lock);
                job.answered = answered;
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

PostOutcome BoundedPoster::post(const std::string& body)
{
    Job& job = *job_;
    if (!job.ready || !job.done) return PostOutcome::NoAnswer;
    {
        std::lock_guard<std::mutex> guard(job.lock);
        // The helper is still in a post that ran out of time: the server is not answering.
        if (job.busy) return PostOutcome::NoAnswer;
        job.body = body;
        job.busy = true;
        job.answered = false;
    }
    ResetEvent(job.done.get());
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(job.lock);
        started = job.helperRunning;
    }
    if (!started) {
        auto* reference = new (std::nothrow) std::shared_ptr<Job>(job_);
        HANDLE helper = reference != nullptr ? CreateThread(nullptr, 0, helperMain, reference, 0, nullptr) : nullptr;
        if (helper == nullptr) {
            delete reference;
            std::lock_guard<std::mutex> guard(job.lock);
            job.busy = false;
            return PostOutcome::NoAnswer;
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
        if (now >= until) return PostOutcome::NoAnswer;  // left to the helper
        const uint64_t wait = until - now;
        const DWORD waitMs = wait > 60000 ? 60000 : static_cast<DWORD>(wait);
        HANDLE waits[2] = {job.done.get(), stopEvent_};
        const DWORD count = stopSeen || stopEvent_ == nullptr ? 1 : 2;
        const DWORD woken = WaitForMultipleObjects(count, waits, FALSE, waitMs);
        if (woken == WAIT_OBJECT_0) {
            std::lock_guard<std::mutex> guard(job.lock);
            return job.answered ? PostOutcome::Answered : PostOutcome::NoAnswer;
        }
        if (woken == WAIT_OBJECT_0 + 1) stopSeen = true;  // the deadline is read again above
        if (woken == WAIT_FAILED) Sleep(10);
    }
}
