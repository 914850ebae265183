// The exception type of the library's own string and pattern code. It carries an HRESULT-shaped
// code so that a fault can be reported the way the platform reports its own; it never crosses an
// export, and the code that calls the pattern matcher catches it.
#pragma once

#include <cstdint>

// The three codes the library raises. Spelled out here because plain logic does not include the
// platform headers that define E_FAIL and friends (and their macros would clash with these names).
constexpr int32_t kHresultFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kHresultOutOfMemory = static_cast<int32_t>(0x8007000Eu);
constexpr int32_t kHresultInvalidArg = static_cast<int32_t>(0x80070057u);

class CAtlException {
public:
    explicit CAtlException(int32_t hresult = kHresultFail) : hresult_(hresult) {}
    int32_t hresult() const { return hresult_; }

private:
    int32_t hresult_;
};
