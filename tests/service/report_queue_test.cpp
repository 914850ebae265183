#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "service/report_queue.h"

namespace {

struct QueueTest : ::testing::Test {
    void SetUp() override { destroyReportQueue(); }
    void TearDown() override { destroyReportQueue(); }
};

std::string popString(ReportQueue& queue)
{
    ReportBody body = queue.popFront();
    if (!body) return "<none>";
    return body.get();
}

TEST_F(QueueTest, FullQueueDropsTheOldestAndKeepsTheNewest1024InOrder)
{
    for (int i = 0; i < 1025; ++i) ASSERT_EQ(enqueueReport(std::to_string(i).c_str()), EnqueueResult::Queued);
    ReportQueue& queue = getReportQueue();
    EXPECT_EQ(queue.size(), 1024u);
    for (int i = 1; i < 1025; ++i) ASSERT_EQ(popString(queue), std::to_string(i));
    EXPECT_FALSE(queue.popFront());
}

TEST_F(QueueTest, AcceptsBodiesUpTo2048CharactersAndRefusesLongerOrNullOrUncopyableOnes)
{
    std::string body(2048, 'x');
    EXPECT_EQ(enqueueReport(body.c_str()), EnqueueResult::Queued);
    body.push_back('x');
    EXPECT_EQ(enqueueReport(body.c_str()), EnqueueResult::Refused);
    EXPECT_EQ(enqueueReport(nullptr), EnqueueResult::Refused);
    EXPECT_EQ(enqueueReport(""), EnqueueResult::Queued);
    EXPECT_EQ(popString(getReportQueue()), std::string(2048, 'x'));
    EXPECT_EQ(popString(getReportQueue()), "");

    g_bodyAllocator = [](std::size_t) -> void* { return nullptr; };
    EXPECT_EQ(enqueueReport("abc"), EnqueueResult::NoMemory);
    g_bodyAllocator = std::malloc;
    EXPECT_EQ(getReportQueue().size(), 0u);
}

TEST_F(QueueTest, QueuesAPrivateCopy)
{
    char body[] = "abc";
    enqueueReport(body);
    body[0] = 'z';
    EXPECT_EQ(popString(getReportQueue()), "abc");
}

TEST_F(QueueTest, RacingFirstUseYieldsOneQueue)
{
    for (int round = 0; round < 200; ++round) {
        destroyReportQueue();
        ReportQueue* seen[2] = {};
        std::thread other([&] { seen[0] = &getReportQueue(); });
        seen[1] = &getReportQueue();
        other.join();
        ASSERT_EQ(seen[0], seen[1]);
    }
}

TEST_F(QueueTest, ProducerAndConsumerThreadsLoseNothingAndKeepOrder)
{
    constexpr int kCount = 1000;
    std::thread producer([] {
        for (int i = 0; i < kCount; ++i) enqueueReport(std::to_string(i).c_str());
    });
    int next = 0;
    while (next < kCount) {
        ReportBody body = getReportQueue().popFront();
        if (!body) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(std::string(body.get()), std::to_string(next));
        ++next;
    }
    producer.join();
}

}  // namespace
