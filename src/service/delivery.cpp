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

PostOutcome outcomeOfStatus(int status)
{
    switch (status) {
    case 0:
        return PostOutcome::NoAnswer;
    case 408:
    case 429:
    case 502:
    case 503:
    case 504:
        return PostOutcome::NotStored;
    default:
        return PostOutcome::Answered;
    }
}

bool Delivery::timeLeft() const { return now_() < stop_.deadline(); }

void Delivery::failed(uint64_t retryAfterMs)
{
    backoffMs_ = backoffMs_ == 0 ? kFirstBackoffMs : (backoffMs_ * 2 < kMaxBackoffMs ? backoffMs_ * 2 : kMaxBackoffMs);
    // A server that says when to come back is not asked sooner, nor later than the back-off's
    // longest wait: a Retry-After of a day must not park the reports for a day.
    const uint64_t asked = retryAfterMs < kMaxBackoffMs ? retryAfterMs : kMaxBackoffMs;
    retryAt_ = now_() + (asked > backoffMs_ ? asked : backoffMs_);
}

void Delivery::succeeded()
{
    backoffMs_ = 0;
    retryAt_ = 0;
}

// What came of a post that started at startedAt; true when the server took the report for good.
bool Delivery::taken(const PostReply& reply, uint64_t startedAt)
{
    if (reply.outcome != PostOutcome::Answered) {
        retryAfterMs_ = reply.outcome == PostOutcome::NotStored ? reply.retryAfterMs : 0;
        return false;
    }
    stop_.answered(startedAt, now_());
    return true;
}

// Posts one report; true when the server took it for good.
bool Delivery::delivered(const Report& report)
{
    const uint64_t started = now_();
    return taken(post_(report), started);
}

// The spool first: it holds the oldest reports. Another process of the application may be sending
// it right now; then it sends what this one journaled too.
bool Delivery::sendSpool()
{
    if (spool_ == nullptr || !spool_->claim()) return true;
    bool ok = true;
    uint64_t started = 0;
    const Next next = [this, &started](Report& out) {
        if (!timeLeft() || !spool_->peek(out)) return false;
        started = now_();
        return true;
    };
    // The done mark is on the disk before the next report is asked for, so before it is posted.
    const Settle settled = [this, &ok, &started](const PostReply& reply) {
        if (!taken(reply, started)) {
            ok = false;
            return false;
        }
        spool_->markDone();
        succeeded();
        return true;
    };
    if (postRun_) {
        postRun_(next, settled);
    } else {
        Report report;
        while (next(report)) {
            journalDue();
            started = now_();
            if (!settled(post_(report))) break;
        }
    }
    spool_->release();
    return ok;
}

bool Delivery::sendHeld()
{
    while (!held_.empty()) {
        if (!timeLeft()) return true;
        journalDue();
        // A journal during the post only adds behind: the front stays where it is.
        if (!delivered(held_.front())) return false;
        held_.pop_front();
        succeeded();
    }
    return true;
}

// The queue and what is held behind it go to the spool in one segment, oldest first. When the
// spool cannot take them (no folder, read-only, disk full) they stay in memory, bounded.
void Delivery::journalDue()
{
    if (spool_ == nullptr || now_() - journaledAt_ < kJournalEveryMs) return;
    journaledAt_ = now_();
    // Only the queue: the held reports may be in a post right now.
    std::vector<Report> batch;
    Report report;
    while (takeQueued_(report)) batch.push_back(std::move(report));
    if (batch.empty() || spool_->append(batch)) return;
    for (Report& r : batch) held_.push_back(std::move(r));
}

void Delivery::journal()
{
    journaledAt_ = now_();
    Report report;
    while (takeQueued_(report)) {
        held_.push_back(std::move(report));
        if (held_.size() > kMaxHeld) held_.pop_front();
    }
    if (held_.empty() || spool_ == nullptr) return;
    std::vector<Report> batch(held_.begin(), held_.end());
    if (spool_->append(batch)) held_.clear();
}

void Delivery::pass()
{
    journal();
    if (backingOff()) return;
    retryAfterMs_ = 0;
    if (!sendSpool() || !sendHeld()) {
        failed(retryAfterMs_);
        journal();
    }
}

void Delivery::keepEverything() { journal(); }
