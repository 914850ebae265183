// A blocking COM call with a deadline. Some calls (WMI's ConnectServer among them) have no time-out
// of their own; run on a helper thread of the multithreaded apartment, the caller can stop waiting
// for them.
#pragma once

#include <cstdint>
#include <memory>

class MtaCall {
public:
    virtual ~MtaCall() = default;
    // Runs on the helper thread, with COM joined there as a multithreaded apartment. Not called at
    // all if the helper cannot join.
    virtual void run() = 0;
};

// Runs call->run() on a helper thread and waits at most timeoutMs for it. True when it finished in
// time; the caller may then read the call's results. On false the caller goes on, and the helper
// finishes alone and drops its share of the call (on its own thread, inside its apartment). The
// helper holds a reference on this module, so the library stays mapped until it is done.
bool runMtaCallWithin(const std::shared_ptr<MtaCall>& call, uint32_t timeoutMs);
