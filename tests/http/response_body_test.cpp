#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/response_body.h"

namespace {

TEST(ResponseBody, ExactlyTheStartCapacityDoublesItSoAZeroByteStillFollows)
{
    ResponseBody body;
    ASSERT_TRUE(body.restart());
    std::string almost(ResponseBody::kInitialCapacity - 1, 'a');
    ASSERT_EQ(body.append(almost.data(), static_cast<uint32_t>(almost.size())), ResponseBody::Append::Stored);
    EXPECT_EQ(body.capacity(), ResponseBody::kInitialCapacity);
    EXPECT_EQ(body.data()[body.size()], '\0');

    ASSERT_EQ(body.append("b", 1), ResponseBody::Append::Stored);
    EXPECT_EQ(body.size(), ResponseBody::kInitialCapacity);
    EXPECT_EQ(body.capacity(), 2 * ResponseBody::kInitialCapacity);
    EXPECT_EQ(body.data()[body.size()], '\0');
    EXPECT_EQ(std::string(body.data(), body.size()), almost + "b");
}

TEST(ResponseBody, PiecesAreKeptInOrderAcrossSeveralDoublings)
{
    ResponseBody body;
    ASSERT_TRUE(body.restart());
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        std::string piece(1000 + i, static_cast<char>('a' + i % 26));
        ASSERT_EQ(body.append(piece.data(), static_cast<uint32_t>(piece.size())), ResponseBody::Append::Stored);
        expected += piece;
    }
    EXPECT_EQ(std::string(body.data(), body.size()), expected);
    EXPECT_EQ(body.capacity(), 8 * ResponseBody::kInitialCapacity);
    EXPECT_EQ(body.data()[body.size()], '\0');
}

TEST(ResponseBody, BytesPastTheBoundAreDroppedAndTheBodyStaysTerminated)
{
    ResponseBody body;
    ASSERT_TRUE(body.restart());
    std::string piece(300000, 'x');
    ResponseBody::Append last = ResponseBody::Append::Stored;
    int pieces = 0;
    while (last == ResponseBody::Append::Stored && pieces < 10) {
        last = body.append(piece.data(), static_cast<uint32_t>(piece.size()));
        ++pieces;
    }
    EXPECT_EQ(last, ResponseBody::Append::Full);
    EXPECT_EQ(pieces, 4);
    EXPECT_EQ(body.size(), ResponseBody::kMaxBytes);
    EXPECT_EQ(body.room(), 0u);
    EXPECT_GT(body.capacity(), ResponseBody::kMaxBytes);
    EXPECT_EQ(body.data()[body.size()], '\0');

    EXPECT_EQ(body.append("y", 1), ResponseBody::Append::Full);
    EXPECT_EQ(body.size(), ResponseBody::kMaxBytes);
    EXPECT_EQ(body.data()[body.size() - 1], 'x');
}

TEST(ResponseBody, RestartDropsTheEarlierAnswer)
{
    ResponseBody body;
    EXPECT_EQ(body.append("a", 1), ResponseBody::Append::NoMemory);
    ASSERT_TRUE(body.restart());
    std::string big(30000, 'q');
    body.append(big.data(), static_cast<uint32_t>(big.size()));
    ASSERT_TRUE(body.restart());
    EXPECT_EQ(body.size(), 0u);
    EXPECT_EQ(body.capacity(), ResponseBody::kInitialCapacity);
    EXPECT_EQ(body.data()[0], '\0');
}

// A reader that writes in place, the way the engine reads an answer: whatever sizes it asks with,
// it never gets space past the bound or over the zero byte, and cannot commit more than it got.
TEST(ResponseBody, InPlaceReadsStayInsideTheFreeSpaceAndTheBound)
{
    const uint32_t chunkSizes[] = {4096, 10239, 10240, 65536, ResponseBody::kMaxBytes};
    for (uint32_t chunk : chunkSizes) {
        SCOPED_TRACE(chunk);
        ResponseBody body;
        uint32_t none = 1;
        EXPECT_EQ(body.freeSpace(none), nullptr);  // no buffer yet
        EXPECT_EQ(none, 0u);
        ASSERT_TRUE(body.restart());
        std::string expected;
        for (int round = 0;; ++round) {
            uint32_t space = 0;
            char* into = body.freeSpace(space);
            if (into == nullptr) break;
            ASSERT_GE(space, 1u);
            ASSERT_LE(body.size() + space, ResponseBody::kMaxBytes);
            ASSERT_LT(body.size() + space, body.capacity());
            EXPECT_FALSE(body.commit(space + 1));
            const uint32_t wrote = space < chunk ? space : chunk;
            std::memset(into, 'a' + round % 26, wrote);
            expected.append(wrote, static_cast<char>('a' + round % 26));
            ASSERT_TRUE(body.commit(wrote));
            ASSERT_EQ(body.data()[body.size()], '\0');
        }
        uint32_t space = 7;
        EXPECT_EQ(body.freeSpace(space), nullptr);
        EXPECT_EQ(space, 0u);
        EXPECT_EQ(body.size(), ResponseBody::kMaxBytes);
        EXPECT_EQ(std::string(body.data(), body.size()), expected);
    }
}

}  // namespace
