#include "service/delivery.h"

#include <utility>
#include <vector>

#include "spool/spool_store.h"

void StopDeadline::request(uint64_t now)
{
    uint64_t none = kNone;
    requestedAt_.compare_exchange_strong(none, now);
}

void StopDeadline::answered(uint64_t startedAt, uint64_t now)
{
    if (now - startedAt > kPromptAnswerMs) return;
    // A prompt answer lets the next post start even past the budget, and gives it as long again.
    const uint64_t until = now + kPromptAnswerMs;
    uint64_t seen = promptUntil_.load();
    while (seen < until && !promptUntil_.compare_exchange_weak(seen, until)) {
    }
}

uint64_t StopDeadline::deadline() const
{
    const uint64_t at = requestedAt_.load();
    if (at == kNone) return kNone;
    uint64_t until = at + kStopBudgetMs;
    const uint64_t prompt = promptUntil_.load();
    if (prompt > until) until = prompt;
    return until < at + kStopCapMs ? until : at + kStopCapMs;
}

Delivery::Delivery(Spool* spool, Now now, TakeQueued takeQueued, Post post, StopDeadline& stop)
    : spool_(spool), now_(std::move(now)), takeQueued_(std::move(takeQueued)), post_(std::move(post)), stop_(stop)
{
}

bool Delivery::timeLeft() const { return now_() < stop_.deadline(); }

void Delivery::failed()
{
    backoffMs_ = backoffMs_ == 0 ? kFirstBackoffMs : (backoffMs_ * 2 < kMaxBackoffMs ? backoffMs_ * 2 : kMaxBackoffMs);
    retryAt_ = now_() + backoffMs_;
}

void Delivery::succeeded()
{
    backoffMs_ = 0;
    retryAt_ = 0;
}

// The spool first: it holds the oldest reports. Another process of the application may be sending
// it right now; then this one goes on with its own bodies.
bool Delivery::sendSpool()
{
    if (spool_ == nullptr || !spool_->claim()) return true;
    std::string body;
    bool ok = true;
    while (timeLeft() && spool_->peek(body)) {
        const uint64_t started = now_();
        if (post_(body) != PostOutcome::Answered) {
            ok = false;
            break;
        }
        stop_.answered(started, now_());
        spool_->markDone();
        succeeded();
    }
    spool_->release();
    return ok;
}

bool Delivery::sendInMemory()
{
    for (;;) {
        if (!timeLeft()) return true;
        if (held_.empty()) {
            std::string body;
            if (!takeQueued_(body)) return true;
            held_.push_back(std::move(body));
        }
        const uint64_t started = now_();
        if (post_(held_.front()) != PostOutcome::Answered) return false;
        stop_.answered(started, now_());
        held_.pop_front();
        succeeded();
    }
}

// Held bodies and the queue behind them go to the spool in one segment, oldest first. When the
// spool cannot take them (no folder, read-only, disk full) they stay in memory, bounded.
void Delivery::moveToSpool()
{
    std::string body;
    while (takeQueued_(body)) {
        held_.push_back(std::move(body));
        if (held_.size() > kMaxHeld) held_.pop_front();
    }
    if (held_.empty() || spool_ == nullptr) return;
    std::vector<std::string> batch(held_.begin(), held_.end());
    if (spool_->append(batch)) held_.clear();
}

void Delivery::pass()
{
    if (backingOff()) {
        moveToSpool();
        return;
    }
    if (!sendSpool() || !sendInMemory()) {
        failed();
        moveToSpool();
    }
}

void Delivery::keepEverything() { moveToSpool(); }
