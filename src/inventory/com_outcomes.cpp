#include "inventory/com_outcomes.h"

ComJoin classifyComJoin(int32_t result)
{
    if (result >= 0) return ComJoin::Joined;
    if (result == kComChangedMode) return ComJoin::WrongApartment;
    return ComJoin::Failed;
}

bool comSecurityInForce(int32_t result)
{
    return result >= 0 || result == kComTooLate;
}
