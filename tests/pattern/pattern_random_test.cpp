// Random patterns over the language's special characters, matched against random texts under the
// sanitizers: no crash, no read outside pattern or text, and every call ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "http/header_interpretation.h"
#include "pattern/pattern_match.h"
#include "pattern/pattern_matcher.h"

namespace {

// Weighted towards the characters the grammar treats specially, so most patterns exercise
// groups, quantifiers, classes, escapes and look-aheads rather than plain literals.
const wchar_t kPatternAlphabet[] = L"ab{}()[]|*+?!.^$\\-0129nbwqzt{}()*?|ab";
const wchar_t kTextAlphabet[] = L"aAbB-01 \t\r\n'\"x";

std::wstring randomString(std::mt19937& rng, const wchar_t* alphabet, std::size_t maxLength)
{
    const std::size_t alphabetSize = std::wcslen(alphabet);
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> pick(0, alphabetSize - 1);
    std::wstring s(length(rng), L' ');
    for (wchar_t& c : s) c = alphabet[pick(rng)];
    return s;
}

// An exactly sized heap copy, so that a read one past the terminator is a sanitizer finding.
std::unique_ptr<wchar_t[]> exactCopy(const std::wstring& s)
{
    std::unique_ptr<wchar_t[]> copy(new wchar_t[s.size() + 1]);
    std::memcpy(copy.get(), s.c_str(), (s.size() + 1) * sizeof(wchar_t));
    return copy;
}

bool within(const wchar_t* p, const wchar_t* text, std::size_t length)
{
    return p >= text && p <= text + length + 1;
}

TEST(PatternRandom, CompileAndMatchStayInBoundsAndEnd)
{
    std::mt19937 rng(20261208);
    int compiled = 0;
    int matched = 0;
    for (int round = 0; round < 60000; ++round) {
        const std::wstring pattern = randomString(rng, kPatternAlphabet, 12);
        const auto patternCopy = exactCopy(pattern);
        PatternMatcher matcher;
        const int32_t code = matcher.compile(patternCopy.get());
        ASSERT_GE(code, PatternOk);
        ASSERT_LE(code, PatternErrEmptyRepeat);
        if (code != PatternOk) continue;
        ++compiled;

        PatternMatch context(4);
        // Tighter than the default so a run of runaway patterns keeps the test quick; the default
        // budget is exercised by the matcher's own tests.
        context.setStepBudget(200000);
        for (int t = 0; t < 4; ++t) {
            const std::wstring text = randomString(rng, kTextAlphabet, 16);
            const auto textCopy = exactCopy(text);
            const wchar_t* next = nullptr;
            const bool found = matcher.match(textCopy.get(), &context, &next);
            ASSERT_TRUE(within(next, textCopy.get(), text.size()));
            if (!found) continue;
            ++matched;
            ASSERT_TRUE(within(context.matchStart(), textCopy.get(), text.size()));
            ASSERT_TRUE(within(context.matchEnd(), textCopy.get(), text.size()));
            ASSERT_EQ(next, context.matchEnd());
            ASSERT_EQ(context.groupCount(), static_cast<uint32_t>(matcher.groupCount()));
            for (uint32_t g = 0; g < context.groupCount(); ++g) {
                const GroupSpan& span = context.group(g);
                if (span.start != nullptr) {
                    ASSERT_TRUE(within(span.start, textCopy.get(), text.size()));
                }
                if (span.end != nullptr) {
                    ASSERT_TRUE(within(span.end, textCopy.get(), text.size()));
                }
            }
        }
    }
    // The alphabet is meant to produce a useful share of valid patterns and matches.
    EXPECT_GT(compiled, 10000);
    EXPECT_GT(matched, 10000);
}

TEST(PatternRandom, FindAllMatchesEndsOnEveryPattern)
{
    std::mt19937 rng(8122026);
    for (int round = 0; round < 4000; ++round) {
        const std::wstring pattern = randomString(rng, kPatternAlphabet, 10);
        const std::wstring subject = randomString(rng, kTextAlphabet, 12);
        std::vector<std::wstring> results;
        const bool searched = findAllMatches(pattern, subject, results);
        if (!searched) {
            ASSERT_TRUE(results.empty());
        }
        for (const std::wstring& r : results) ASSERT_LE(r.size(), subject.size());
    }
}

}  // namespace
