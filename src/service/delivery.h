// What the upload worker does with reports: journal what was queued to the spool at every pass,
// before any of it is posted, then send the spool oldest first and mark each report done once the
// server took it. A report the server did not store (no answer, or an answer that says so) stays,
// and the worker backs off. Plain logic: the clock, the queue, the post and the spool are given
// to it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "service/report_id.h"

class Spool;

enum class PostOutcome {
    Answered,   // the server answered with a final status (stored, or refused for good): done
    NotStored,  // the server answered that it did not process the report (408, 429, 502-504)
    NoAnswer,   // no answer came (refused, dropped, cut short, or the post's time ran out)
};

struct PostReply {
    PostOutcome outcome = PostOutcome::NoAnswer;
    uint64_t retryAfterMs = 0;  // what a NotStored answer's Retry-After asked for; 0 when none
};

// The outcome of an HTTP status; 0 stands for no answer at all. 408, 429, 502, 503 and 504 say by
// definition that the request was not processed, so the report is kept; every other status is
// final, a 400 as much as a 200, and the report is never sent again.
PostOutcome outcomeOfStatus(int status);

// When a stop gives up on the network. Asked for at time t, the stop lets posts start and finish
// until t + kStopBudgetMs; while the server answers promptly (each post within kPromptAnswerMs)
// it goes on delivering, so a healthy server still gets the whole queue, but never past
// t + kStopCapMs. Written by the stopping thread (request) and read by the worker.
class StopDeadline {
public:
    static constexpr uint64_t kStopBudgetMs = 3000;
    static constexpr uint64_t kPromptAnswerMs = 1000;
    static constexpr uint64_t kStopCapMs = 30000;
    static constexpr uint64_t kNone = UINT64_MAX;

    void request(uint64_t now);
    bool requested() const { return requestedAt_.load() != kNone; }
    // A post that started at startedAt was answered at now.
    void answered(uint64_t startedAt, uint64_t now);
    // The moment after which no post may start or go on; kNone while no stop was asked for.
    uint64_t deadline() const;

private:
    std::atomic<uint64_t> requestedAt_{kNone};
    std::atomic<uint64_t> promptUntil_{0};
};

class Delivery {
public:
    static constexpr uint64_t kFirstBackoffMs = 3000;
    static constexpr uint64_t kMaxBackoffMs = 300000;
    // Bodies held in memory while the spool cannot take them; beyond this the oldest go.
    static constexpr std::size_t kMaxHeld = 1024;

    using Now = std::function<uint64_t()>;
    // Takes the oldest queued report into out; false when the queue is empty.
    using TakeQueued = std::function<bool(Report& out)>;
    // Posts one report and says what came of it. Must return by the stop's deadline.
    using Post = std::function<PostReply(const Report& report)>;
    // A run of posts, one after another: next gives the report to post (false when none is left or
    // the time is up), and settled, told what came of that post before next is asked again, says
    // whether the run goes on. A run that gives up on a post (its time ran out) tells settled that
    // no answer came, and calls neither again. Whatever thread it posts on, next and settled are
    // never called at the same time as anything else of this Delivery, and not after it returned.
    using Next = std::function<bool(Report& out)>;
    using Settle = std::function<bool(const PostReply& reply)>;
    using PostRun = std::function<void(const Next& next, const Settle& settled)>;

    // spool may be null (nothing is kept on disk then).
    Delivery(Spool* spool, Now now, TakeQueued takeQueued, Post post, StopDeadline& stop);

    // One wake-up's work. First the queue goes to the spool (or, while the spool cannot take it,
    // is held in memory), so that a process that ends without a stop loses at most what was
    // queued since. Then, unless backing off, the spool is sent oldest first and held reports
    // after it, until a report is not stored (which starts or doubles the back-off; a Retry-After
    // makes it at least that long, within the maximum) or the stop's deadline comes.
    void pass();
    // After the last pass of a stop: every report still in memory goes to the spool.
    void keepEverything();
    // Journals what was queued since, if a tick's time has passed since the last journal. Called
    // between posts and by a post while it waits, so that a long drain or a slow server does not
    // keep newly queued reports off the disk for longer than a tick.
    void journalDue();
    static constexpr uint64_t kJournalEveryMs = 3000;

    // The spool is sent through run from now on, rather than one post at a time: a worker that
    // hands a post to another thread then pays the hand-over once per run, not once per report.
    // run must then call journalDue while it waits.
    void postRuns(PostRun run) { postRun_ = std::move(run); }

    bool backingOff() const { return now_() < retryAt_; }
    uint64_t retryAt() const { return retryAt_; }
    std::size_t held() const { return held_.size(); }

private:
    bool timeLeft() const;
    bool sendSpool();
    bool sendHeld();
    bool delivered(const Report& report);
    bool taken(const PostReply& reply, uint64_t startedAt);
    void failed(uint64_t retryAfterMs);
    void succeeded();
    void journal();

    Spool* spool_;
    Now now_;
    TakeQueued takeQueued_;
    Post post_;
    PostRun postRun_;
    StopDeadline& stop_;
    std::deque<Report> held_;  // oldest first: what the spool could not take
    uint64_t retryAfterMs_ = 0;  // of the last answer that was not stored
    uint64_t journaledAt_ = 0;
    uint64_t backoffMs_ = 0;
    uint64_t retryAt_ = 0;
};
