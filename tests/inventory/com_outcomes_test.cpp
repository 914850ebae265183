#include "inventory/com_outcomes.h"

#include <gtest/gtest.h>

namespace {

TEST(ComOutcomes, SecurityAlreadySetCountsAsSecurityInForce)
{
    EXPECT_TRUE(comSecurityInForce(0));
    EXPECT_TRUE(comSecurityInForce(kComTooLate));
    EXPECT_FALSE(comSecurityInForce(static_cast<int32_t>(0x80004005u)));  // E_FAIL
    EXPECT_FALSE(comSecurityInForce(static_cast<int32_t>(0x8007000Eu)));  // E_OUTOFMEMORY
}

TEST(ComOutcomes, JoinOnASingleThreadedApartmentAsksForAnotherThread)
{
    EXPECT_EQ(classifyComJoin(0), ComJoin::Joined);
    EXPECT_EQ(classifyComJoin(1), ComJoin::Joined);  // S_FALSE: already joined, still to be left
    EXPECT_EQ(classifyComJoin(kComChangedMode), ComJoin::WrongApartment);
    EXPECT_EQ(classifyComJoin(static_cast<int32_t>(0x8007000Eu)), ComJoin::Failed);
}

}  // namespace
