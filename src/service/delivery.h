// What the upload worker does with bodies when the server does not answer: keep them, back off, move
// them to the spool, and when answers come again send the spool first (oldest first), then what
// waits in memory. Plain logic: the clock, the queue, the post and the spool are given to it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

class Spool;

enum class PostOutcome {
    Answered,  // the server answered, with any status: the body is done
    NoAnswer,  // no answer came (refused, dropped, cut short, or the post's time ran out)
};

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
    // Takes the oldest queued body into out; false when the queue is empty.
    using TakeQueued = std::function<bool(std::string& out)>;
    // Posts one body and says whether an answer came. Must return by the stop's deadline.
    using Post = std::function<PostOutcome(const std::string& body)>;

    // spool may be null (nothing is kept on disk then).
    Delivery(Spool* spool, Now now, TakeQueued takeQueued, Post post, StopDeadline& stop);

    // One wake-up's work. While backing off, queued bodies only move to the spool. Otherwise the
    // spool is sent oldest first, then held bodies, then the queue, until a post gets no answer
    // (which starts or doubles the back-off) or the stop's deadline comes.
    void pass();
    // After the last pass of a stop: every body still in memory goes to the spool.
    void keepEverything();

    bool backingOff() const { return now_() < retryAt_; }
    uint64_t retryAt() const { return retryAt_; }
    std::size_t held() const { return held_.size(); }

private:
    bool timeLeft() const;
    bool sendSpool();
    bool sendInMemory();
    void failed();
    void succeeded();
    void moveToSpool();

    Spool* spool_;
    Now now_;
    TakeQueued takeQueued_;
    Post post_;
    StopDeadline& stop_;
    std::deque<std::string> held_;  // oldest first; the front got no answer or was never tried
    uint64_t backoffMs_ = 0;
    uint64_t retryAt_ = 0;
};
