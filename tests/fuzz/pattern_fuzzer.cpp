// libFuzzer target for the pattern matcher; not part of the CMake build. Build and run on the host:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc tests/fuzz/pattern_fuzzer.cpp \
//     src/pattern/pattern_matcher.cpp src/pattern/pattern_match.cpp src/http/header_interpretation.cpp \
//     -o build/pattern_fuzzer && build/pattern_fuzzer -max_len=64 -max_total_time=60
// The input is split at its first 0xFF byte: pattern before, text after; bytes become code units.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/header_interpretation.h"
#include "pattern/pattern_match.h"
#include "pattern/pattern_matcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::wstring pattern;
    std::wstring text;
    std::size_t i = 0;
    for (; i < size && data[i] != 0xFF; ++i) pattern.push_back(static_cast<wchar_t>(data[i]));
    for (++i; i < size; ++i) text.push_back(static_cast<wchar_t>(data[i]));
    // Nesting makes compiling exponential; only short patterns are of interest.
    if (pattern.size() > 24) return 0;

    PatternMatcher matcher;
    if (matcher.compile(pattern.c_str()) == PatternOk) {
        PatternMatch context(4);
        context.setStepBudget(100000);
        const wchar_t* next = nullptr;
        matcher.match(text.c_str(), &context, &next);
    }
    std::vector<std::wstring> results;
    findAllMatches(pattern, text, results);
    return 0;
}
