// A report body: a NUL-terminated 8-bit text on the heap, owned by whoever holds it.
#pragma once

#include <cstdlib>
#include <memory>

struct FreeBody {
    void operator()(char* body) const { std::free(body); }
};
using ReportBody = std::unique_ptr<char, FreeBody>;
