// What the WMI layer makes of the results of joining COM and setting the process's COM security.
// Kept apart from the calls so the decisions hold on every build.
#pragma once

#include <cstdint>

constexpr int32_t kComChangedMode = static_cast<int32_t>(0x80010106u);  // RPC_E_CHANGED_MODE
constexpr int32_t kComTooLate = static_cast<int32_t>(0x80010119u);      // RPC_E_TOO_LATE

enum class ComJoin {
    Joined,          // success, or already joined in the same model: must be left again
    WrongApartment,  // the thread is in a single-threaded apartment
    Failed,
};

ComJoin classifyComJoin(int32_t result);

// Security can be set once per process. Every later call, and the first one in a host that set it
// itself, reports RPC_E_TOO_LATE: the security already in force is what the connection will use.
bool comSecurityInForce(int32_t result);
