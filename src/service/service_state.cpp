#include "service/service_state.h"

ServiceState& serviceState()
{
    static ServiceState state;
    return state;
}
