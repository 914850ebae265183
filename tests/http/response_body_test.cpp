#include <gtest/gtest.h>

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

}  // namespace
