// Posts with a bound: posts run on a long-lived helper thread, and the worker waits for each no
// longer than the post's own time limit and the stop's deadline. Neither Wine (whose WinHTTP does
// not apply the receive time-out to the wait for an answer) nor a server that trickles its answer
// can then hold up the worker or the stop. A post that ran out of time counts as unanswered; its
// helper finishes it alone, and until then no further post starts.
//
// A run of posts (the spool's drain) is handed over once: the helper posts one report after
// another and settles each itself (the done mark), while the worker sleeps through the run and
// wakes only to watch the clock. Handing over every post, and waking for every answer, cost an idle
// machine more than the post itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "service/delivery.h"

class BoundedPoster {
public:
    // Longest a post may take while no stop was asked for.
    static constexpr uint64_t kPostLimitMs = 15000;

    // A wait in progress reads the stop's deadline again at least this often, so a stop asked for
    // during a post is seen long before its deadline comes.
    static constexpr uint32_t kStopSeenWithinMs = 50;

    BoundedPoster(std::wstring url, StopDeadline& stop);
    ~BoundedPoster();
    BoundedPoster(const BoundedPoster&) = delete;
    BoundedPoster& operator=(const BoundedPoster&) = delete;

    PostReply post(const Report& report);
    // A run (see Delivery::PostRun): next and settled are called on the helper, each post within
    // the bounds above; once a post ran out of time the worker gives the run up, and the helper,
    // whenever that post returns, calls neither again.
    void postRun(const Delivery::Next& next, const Delivery::Settle& settled);
    // Called while a post is waited for, about every kStopSeenWithinMs (the worker's journal, which
    // itself says whether a tick's time has passed). The helper touches nothing of the worker's
    // meanwhile: next and settled wait for it.
    void whileWaiting(std::function<void()> call) { whileWaiting_ = std::move(call); }

    struct Job;

private:
    std::shared_ptr<Job> job_;
    StopDeadline& stop_;
    std::function<void()> whileWaiting_;
};

// Milliseconds of the clock every deadline of the worker is taken on.
uint64_t monotonicMs();
