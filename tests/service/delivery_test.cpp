#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "service/delivery.h"
#include "spool/spool_store.h"

namespace {

// The spool's contract in memory: append in order, one claimer, done marks.
class MemorySpool : public Spool {
public:
    bool append(const std::vector<Report>& reports) override
    {
        if (refuse) return false;
        for (const Report& r : reports) waiting.push_back(r.body);
        ++appends;
        return true;
    }
    bool claim() override { return !claimedElsewhere && !waiting.empty(); }
    bool peek(Report& report) override
    {
        if (waiting.empty()) return false;
        report.body = waiting.front();
        report.id = "id-" + waiting.front();
        return true;
    }
    void markDone() override { waiting.pop_front(); }
    void release() override {}

    std::deque<std::string> waiting;
    bool refuse = false;
    bool claimedElsewhere = false;
    int appends = 0;
};

// A server on a simulated clock: every post takes postMs; while down, it gives no answer and takes
// downMs; while status is set, it answers with that status (and retryAfterMs). Everything it took
// for good is recorded in order.
struct World {
    uint64_t clock = 1000000;
    bool down = false;
    int status = 200;
    uint64_t retryAfterMs = 0;
    uint64_t postMs = 2;
    uint64_t downMs = 1000;
    std::deque<std::string> queue;
    std::vector<std::string> answered;
    std::vector<uint64_t> attemptTimes;
    MemorySpool spool;
    StopDeadline stop;
    Delivery delivery{&spool, [this] { return clock; },
                      [this](Report& out) {
                          if (queue.empty()) return false;
                          out = Report{"id-" + queue.front(), queue.front()};
                          queue.pop_front();
                          return true;
                      },
                      [this](const Report& report) {
                          attemptTimes.push_back(clock);
                          EXPECT_EQ(report.id, "id-" + report.body) << "a report travels with its id";
                          // A post never outlasts the stop's deadline: the platform side cuts it.
                          const uint64_t takes = down ? downMs : postMs;
                          const uint64_t deadline = stop.deadline();
                          if (deadline != StopDeadline::kNone && clock + takes > deadline) {
                              clock = deadline > clock ? deadline : clock;
                              return PostReply{};
                          }
                          clock += takes;
                          if (down) return PostReply{};
                          const PostReply reply{outcomeOfStatus(status), retryAfterMs};
                          if (reply.outcome == PostOutcome::Answered) answered.push_back(report.body);
                          return reply;
                      },
                      stop};

    void report(int from, int to)
    {
        for (int n = from; n < to; ++n) queue.push_back("r" + std::to_string(n));
    }
    // Ticks every 3 s for the given time, a pass at each.
    void runFor(uint64_t ms)
    {
        const uint64_t end = clock + ms;
        while (clock < end) {
            delivery.pass();
            clock += 3000;
        }
    }
    // The worker's stop: one last pass unless backing off, then everything to the spool.
    uint64_t stopNow()
    {
        const uint64_t asked = clock;
        stop.request(clock);
        if (!delivery.backingOff()) delivery.pass();
        delivery.keepEverything();
        return clock - asked;
    }
};

std::vector<std::string> numbered(int from, int to)
{
    std::vector<std::string> out;
    for (int n = from; n < to; ++n) out.push_back("r" + std::to_string(n));
    return out;
}

TEST(Delivery, AnOutageBacksOffSpoolsAndThenDeliversEverythingOnceInOrder)
{
    World w;
    w.down = true;
    w.report(0, 5);
    w.runFor(3600 * 1000);  // an hour offline, reporting all along
    for (int n = 5; n < 200; n += 5) {
        w.report(n, n + 5);
        w.runFor(20000);
    }
    // Attempts back off 3 s doubling to 5 minutes: a handful, not one per report and tick.
    ASSERT_GE(w.attemptTimes.size(), 10u);
    std::vector<uint64_t> gaps;
    for (std::size_t i = 1; i < w.attemptTimes.size(); ++i) gaps.push_back(w.attemptTimes[i] - w.attemptTimes[i - 1]);
    EXPECT_GE(gaps[0], Delivery::kFirstBackoffMs);
    EXPECT_LT(gaps[0], 2 * Delivery::kFirstBackoffMs + 3000 + w.downMs);
    for (std::size_t i = 1; i < gaps.size(); ++i) {
        EXPECT_GE(gaps[i], gaps[i - 1] < Delivery::kMaxBackoffMs ? gaps[i - 1] : Delivery::kMaxBackoffMs) << i;
        EXPECT_LE(gaps[i], Delivery::kMaxBackoffMs + 3000 + w.downMs) << i;
    }
    EXPECT_TRUE(w.answered.empty());
    EXPECT_TRUE(w.queue.empty());
    EXPECT_EQ(w.delivery.held(), 0u);
    EXPECT_EQ(std::vector<std::string>(w.spool.waiting.begin(), w.spool.waiting.end()), numbered(0, 200));

    // Back online: spool first, then what came meanwhile; one success resets the back-off.
    w.down = false;
    w.report(200, 203);
    w.runFor(Delivery::kMaxBackoffMs + 3000);
    EXPECT_EQ(w.answered, numbered(0, 203));
    EXPECT_TRUE(w.spool.waiting.empty());
    w.down = true;
    w.report(203, 204);
    const std::size_t before = w.attemptTimes.size();
    w.runFor(7000);
    ASSERT_GE(w.attemptTimes.size(), before + 2);
    EXPECT_LE(w.attemptTimes[before + 1] - w.attemptTimes[before], Delivery::kFirstBackoffMs + 3000 + w.downMs);
}

TEST(Delivery, AnsweredBodiesAreDoneAndOnlyUnansweredOnesAreKept)
{
    World w;
    w.report(0, 3);
    w.delivery.pass();
    EXPECT_EQ(w.answered, numbered(0, 3));
    w.down = true;
    w.report(3, 6);
    w.delivery.pass();  // r3 gets no answer: it and everything behind it wait in the spool
    EXPECT_EQ(std::vector<std::string>(w.spool.waiting.begin(), w.spool.waiting.end()), numbered(3, 6));
    EXPECT_EQ(w.attemptTimes.size(), 4u);
    w.down = false;
    w.clock = w.delivery.retryAt();
    w.delivery.pass();
    EXPECT_EQ(w.answered, numbered(0, 6));
}

// Only an answer that says "not processed" keeps a report; any other status ends it for good. A
// kept one waits the back-off or the Retry-After, whichever is longer, never past the maximum.
TEST(Delivery, NotStoredAnswersKeepTheReportAndEveryOtherStatusIsFinal)
{
    struct Case {
        int status;
        uint64_t retryAfterMs;
        bool kept;
        uint64_t wait;
    };
    const Case cases[] = {{200, 0, false, 0},        {201, 0, false, 0},      {301, 0, false, 0},
                          {400, 0, false, 0},        {404, 0, false, 0},      {500, 0, false, 0},
                          {408, 0, true, 3000},      {429, 20000, true, 20000}, {502, 0, true, 3000},
                          {503, 1000, true, 3000},   {503, 86400000, true, Delivery::kMaxBackoffMs},
                          {504, 0, true, 3000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        World w;
        w.status = c.status;
        w.retryAfterMs = c.retryAfterMs;
        w.report(0, 2);
        w.delivery.pass();
        const uint64_t failedAt = w.clock;
        w.status = 200;
        w.runFor(Delivery::kMaxBackoffMs + 6000);
        if (!c.kept) {
            // Final: each report went out once, and nothing is ever sent again.
            EXPECT_EQ(w.attemptTimes.size(), 2u);
            EXPECT_EQ(w.answered, numbered(0, 2));
            EXPECT_TRUE(w.spool.waiting.empty());
            continue;
        }
        ASSERT_EQ(w.attemptTimes.size(), 3u);  // the first, refused; then both once more
        EXPECT_GE(w.attemptTimes[1] - failedAt, c.wait);
        EXPECT_LT(w.attemptTimes[1] - failedAt, c.wait + 3000);
        EXPECT_EQ(w.answered, numbered(0, 2));
    }
}

// The wait after each failure in a row: 3 s, then twice the last, up to 5 minutes.
TEST(Delivery, TheBackOffDoublesUpToItsMaximum)
{
    World w;
    w.down = true;
    w.downMs = 0;
    w.report(0, 1);
    uint64_t expected = Delivery::kFirstBackoffMs;
    for (int failure = 0; failure < 10; ++failure) {
        w.delivery.pass();
        EXPECT_EQ(w.delivery.retryAt() - w.clock, expected) << failure;
        w.clock = w.delivery.retryAt();
        expected = expected * 2 < Delivery::kMaxBackoffMs ? expected * 2 : Delivery::kMaxBackoffMs;
    }
}

TEST(Delivery, ASpoolThatCannotBeWrittenKeepsTheBodiesInMemoryBounded)
{
    World w;
    w.spool.refuse = true;
    w.down = true;
    w.report(0, 10);
    w.runFor(60000);
    EXPECT_EQ(w.delivery.held(), 10u);
    w.report(10, 1100);
    w.runFor(6000);
    EXPECT_EQ(w.delivery.held(), Delivery::kMaxHeld);
    w.down = false;
    w.runFor(Delivery::kMaxBackoffMs + 3000);
    EXPECT_EQ(w.answered, numbered(1100 - 1024, 1100));
}

TEST(Delivery, ASpoolAnotherProcessIsSendingIsLeftToItWithWhatThisOneJournaled)
{
    World w;
    w.spool.waiting = {"old"};
    w.spool.claimedElsewhere = true;
    w.report(0, 2);
    w.delivery.pass();
    EXPECT_TRUE(w.answered.empty());
    EXPECT_EQ(w.spool.waiting.size(), 3u);
    EXPECT_EQ(w.delivery.held(), 0u);
}

// The stop's bound against every kind of network, with 5 and with 1000 queued: a healthy server
// gets everything, anything else ends the stop by its budget with nothing lost.
TEST(Delivery, StopIsBoundedWhateverTheNetworkDoesAndLosesNothing)
{
    struct Network {
        const char* name;
        bool down;
        uint64_t postMs;
        uint64_t downMs;
        bool backingOffAlready;
    };
    const Network networks[] = {
        {"healthy", false, 3, 0, false},
        {"refusing", true, 0, 5, false},
        {"dropping connection attempts", true, 0, 3000, false},
        {"accepting and silent", true, 0, 1000000, false},
        {"answering a byte a second", false, 30000, 0, false},
        {"already known to be down", true, 0, 1000000, true},
    };
    for (const Network& n : networks) {
        for (int queued : {5, 1000}) {
            SCOPED_TRACE(std::string(n.name) + ", " + std::to_string(queued) + " queued");
            World w;
            w.down = n.down;
            w.postMs = n.postMs;
            w.downMs = n.downMs;
            if (n.backingOffAlready) {
                w.report(-1, 0);
                w.delivery.pass();
                w.answered.clear();
            }
            w.report(0, queued);
            const uint64_t took = w.stopNow();
            const std::size_t spooled = w.spool.waiting.size();
            EXPECT_LE(took, StopDeadline::kStopBudgetMs);
            if (std::string(n.name) == "healthy") {
                EXPECT_EQ(w.answered, numbered(0, queued));
            }
            EXPECT_EQ(w.answered.size() + spooled, static_cast<std::size_t>(queued + (n.backingOffAlready ? 1 : 0)));
            EXPECT_TRUE(w.queue.empty());
            EXPECT_EQ(w.delivery.held(), 0u);
        }
    }
}

TEST(Delivery, APromptServerGetsTheWholeQueueAtStopButNeverPastTheCap)
{
    struct Case {
        uint64_t postMs;
        int queued;
        bool all;
    };
    for (const bool spooled : {false, true}) {
    for (const Case c : {Case{20, 1000, true}, Case{200, 1000, false}, Case{1500, 10, false}}) {
        SCOPED_TRACE(std::to_string(c.postMs) + (spooled ? " ms, from the spool" : " ms, from the queue"));
        World w;
        w.postMs = c.postMs;
        if (spooled) {
            for (const std::string& body : numbered(0, c.queued)) w.spool.waiting.push_back(body);
        } else {
            w.report(0, c.queued);
        }
        const uint64_t took = w.stopNow();
        EXPECT_LE(took, StopDeadline::kStopCapMs);
        EXPECT_EQ(w.answered.size() == static_cast<std::size_t>(c.queued), c.all);
        EXPECT_EQ(w.answered.size() + w.spool.waiting.size(), static_cast<std::size_t>(c.queued));
    }
    }
}

}  // namespace
