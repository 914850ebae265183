#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "pattern/atl_exception.h"
#include "pattern/pattern_match.h"
#include "pattern/pattern_matcher.h"

namespace {

// Compiles the pattern and searches text once; offsets are reported relative to text.
struct Search {
    explicit Search(const wchar_t* pattern, std::size_t stackCells = 256, std::size_t stackLimit = kUnlimitedStackCells)
        : context(stackCells, stackLimit)
    {
        code = matcher.compile(pattern);
    }

    bool run(const wchar_t* subject)
    {
        text = subject;
        return matcher.match(text, &context, &next);
    }

    std::ptrdiff_t offset(const wchar_t* p) const { return p == nullptr ? -1 : p - text; }
    std::ptrdiff_t start() const { return offset(context.matchStart()); }
    std::ptrdiff_t end() const { return offset(context.matchEnd()); }
    std::ptrdiff_t nextOffset() const { return offset(next); }
    std::wstring group(uint32_t g) const
    {
        const GroupSpan& span = context.group(g);
        if (span.start == nullptr || span.end == nullptr) return L"<null>";
        return std::wstring(span.start, span.end);
    }

    PatternMatcher matcher;
    PatternMatch context;
    int32_t code;
    const wchar_t* text = nullptr;
    const wchar_t* next = nullptr;
};

TEST(PatternMatch, HeaderValueSpansTheCallersTextInItsOwnCase)
{
    Search s(L"Content-Length: {[0-9]+}");
    ASSERT_EQ(s.code, PatternOk);
    const wchar_t* headers = L"HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 42\r\n\r\n";
    ASSERT_TRUE(s.run(headers));
    EXPECT_EQ(s.context.group(0).start, headers + 33);
    EXPECT_EQ(s.group(0), L"42");
    EXPECT_EQ(s.start(), 17);
    EXPECT_EQ(s.nextOffset(), 35);

    Search cookie(L"Set-Cookie:\\b*{.+?}\\n");
    ASSERT_TRUE(cookie.run(L"SET-COOKIE: \t ID=Ab\r\n"));
    EXPECT_EQ(cookie.group(0), L"ID=Ab");  // the line break stays outside the group
}

TEST(PatternMatch, FindsTheLeftmostStartUnlessAnchored)
{
    Search anchored(L"^abc");
    EXPECT_FALSE(anchored.run(L"xabc"));
    EXPECT_TRUE(anchored.run(L"abcx"));
    Search s(L"abc");
    ASSERT_TRUE(s.run(L"xabc"));
    EXPECT_EQ(s.start(), 1);
    EXPECT_EQ(s.end(), 4);
}

TEST(PatternMatch, GreedyTakesMostAndLazyTakesLeast)
{
    Search greedy(L"{a+}");
    ASSERT_TRUE(greedy.run(L"aaa"));
    EXPECT_EQ(greedy.group(0), L"aaa");
    Search lazy(L"{a+?}");
    ASSERT_TRUE(lazy.run(L"aaa"));
    EXPECT_EQ(lazy.group(0), L"a");
    Search lazyStar(L"{a*?}");
    ASSERT_TRUE(lazyStar.run(L"aaa"));
    EXPECT_EQ(lazyStar.group(0), L"");
    EXPECT_EQ(lazyStar.offset(lazyStar.context.group(0).start), 0);
    Search lazyOptional(L"{a??}a");
    ASSERT_TRUE(lazyOptional.run(L"aa"));
    EXPECT_EQ(lazyOptional.group(0), L"");
    Search lazyUntil(L"{.*?}b");
    ASSERT_TRUE(lazyUntil.run(L"aabab"));
    EXPECT_EQ(lazyUntil.group(0), L"aa");
}

TEST(PatternMatch, StarMatchesEmptyAtTheFirstStart)
{
    Search s(L"a*");
    ASSERT_TRUE(s.run(L"b"));
    EXPECT_EQ(s.start(), 0);
    EXPECT_EQ(s.end(), 0);
    EXPECT_EQ(s.nextOffset(), 0);
}

TEST(PatternMatch, EmptyTextMatchesOnlyTheEmptyPattern)
{
    Search empty(L"");
    ASSERT_TRUE(empty.run(L""));
    EXPECT_EQ(empty.start(), 0);
    Search a(L"a");
    EXPECT_FALSE(a.run(L""));
}

TEST(PatternMatch, AlternativeNotTakenLeavesItsGroupNull)
{
    Search s(L"{a}|{b}");
    ASSERT_TRUE(s.run(L"b"));
    EXPECT_EQ(s.context.groupCount(), 2u);
    EXPECT_EQ(s.context.group(0).start, nullptr);
    EXPECT_EQ(s.context.group(0).end, nullptr);
    EXPECT_EQ(s.group(1), L"b");
}

TEST(PatternMatch, BarBindsTighterThanConcatenation)
{
    Search s(L"ab|cd");
    EXPECT_TRUE(s.run(L"abd"));
    EXPECT_TRUE(s.run(L"acd"));
    EXPECT_FALSE(s.run(L"ab"));
    Search groups(L"{ab}|{cd}");
    ASSERT_TRUE(groups.run(L"xcd"));
    EXPECT_EQ(groups.group(0), L"<null>");
    EXPECT_EQ(groups.group(1), L"cd");
}

TEST(PatternMatch, BackReferenceMatchesTheGroupInAnyCase)
{
    Search s(L"{a+}-\\0");
    EXPECT_TRUE(s.run(L"aa-aa"));
    ASSERT_TRUE(s.run(L"AA-aa"));
    EXPECT_EQ(s.group(0), L"AA");
    EXPECT_FALSE(s.run(L"aa-ba"));
    Search shorter(L"{ab}\\0");
    EXPECT_FALSE(shorter.run(L"aba"));  // the text ends inside the reference
}

TEST(PatternMatch, LookAheadRefusesAStartWithoutConsuming)
{
    Search s(L"!a.");
    ASSERT_TRUE(s.run(L"ab"));
    EXPECT_EQ(s.start(), 1);
    EXPECT_EQ(s.end(), 2);
    EXPECT_FALSE(s.run(L"aa"));
}

TEST(PatternMatch, DollarMatchesTheTerminatorAndEndsPastIt)
{
    Search s(L"a$");
    ASSERT_TRUE(s.run(L"ba"));
    EXPECT_EQ(s.end(), 3);
    EXPECT_EQ(s.nextOffset(), 3);
    EXPECT_FALSE(s.run(L"ab"));
}

TEST(PatternMatch, NoMatchStillSetsNextWhereTheMachineStopped)
{
    Search s(L"x");
    EXPECT_FALSE(s.run(L"abc"));
    EXPECT_EQ(s.nextOffset(), 3);
}

TEST(PatternMatch, AbbreviationsMatchTheirClasses)
{
    Search word(L"{\\w}");
    ASSERT_TRUE(word.run(L"12 Abc9"));
    EXPECT_EQ(word.group(0), L"Abc");
    Search quoted(L"{\\q}");
    ASSERT_TRUE(quoted.run(L"x\"a b\""));
    EXPECT_EQ(quoted.group(0), L"\"a b\"");
    EXPECT_FALSE(quoted.run(L"'a b'"));
    Search lineEnd(L"{\\n}");
    ASSERT_TRUE(lineEnd.run(L"a\r\n"));
    EXPECT_EQ(lineEnd.group(0), L"\r");  // CR alone is tried first
    ASSERT_TRUE(lineEnd.run(L"a\n"));
    EXPECT_EQ(lineEnd.group(0), L"\n");
    Search hex(L"{\\h+}");
    ASSERT_TRUE(hex.run(L"x0fAg"));
    EXPECT_EQ(hex.group(0), L"0fA");
}

TEST(PatternMatch, ClassesFoldOnlyAsciiLettersAndRejectTheTerminator)
{
    Search s(L"[^x]");
    EXPECT_FALSE(s.run(L"X"));
    EXPECT_TRUE(s.run(L"y"));
    Search umlaut(L"\u00C4");
    EXPECT_FALSE(umlaut.run(L"\u00E4"));  // the default locale folds A to Z only
    EXPECT_TRUE(umlaut.run(L"\u00C4"));
}

TEST(PatternMatch, AbsentContextReturnsFalseAndLeavesNextAlone)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"a"), PatternOk);
    const wchar_t* next = L"untouched";
    const wchar_t* before = next;
    EXPECT_FALSE(m.match(L"a", nullptr, &next));
    EXPECT_EQ(next, before);
}

TEST(PatternMatch, ContextIsReusedAndReinitialisedEachCall)
{
    Search s(L"{a}|{b}");
    ASSERT_TRUE(s.run(L"a"));
    ASSERT_TRUE(s.run(L"b"));
    EXPECT_EQ(s.group(0), L"<null>");
    PatternMatcher other;
    ASSERT_EQ(other.compile(L"c"), PatternOk);
    ASSERT_TRUE(other.match(L"c", &s.context));
    EXPECT_EQ(s.context.groupCount(), 0u);
    EXPECT_THROW(s.context.group(0), CAtlException);
}

TEST(PatternMatch, NullTextRaisesInvalidArgument)
{
    Search s(L"a");
    try {
        s.run(nullptr);
        FAIL() << "no exception";
    } catch (const CAtlException& e) {
        EXPECT_EQ(e.hresult(), kHresultInvalidArg);
    }
}

TEST(PatternMatch, StackGrowsToTwiceTheTopPlusTwoAndKeepsItsSize)
{
    Search s(L"a*", 4);
    EXPECT_EQ(s.context.stackSize(), 4u);
    // return cell, then register, position and return cell of the first iteration: the fourth push
    // finds the stack full.
    ASSERT_TRUE(s.run(L"a"));
    EXPECT_EQ(s.context.stackSize(), 10u);
    ASSERT_TRUE(s.run(L"b"));
    EXPECT_EQ(s.context.stackSize(), 10u);
}

TEST(PatternMatchSound, StackThatCannotGrowEndsWithNoMatch)
{
    Search limited(L"{a*}b", 8, 12);
    EXPECT_TRUE(limited.run(L"ab"));
    EXPECT_FALSE(limited.run(L"aaaaaaaaab"));
    Search unlimited(L"{a*}b", 8);
    ASSERT_TRUE(unlimited.run(L"aaaaaaaaab"));
    EXPECT_EQ(unlimited.group(0), L"aaaaaaaaa");
}

TEST(PatternMatchSound, PatternsThatNeverEndAsCompiledStopAtTheStepBudget)
{
    // A lazy loop over an empty capture grows the stack without bound, a lazy loop over a
    // look-ahead spins in place, nested pluses backtrack exponentially.
    Search emptyCapture(L"{}*?x");
    ASSERT_EQ(emptyCapture.code, PatternOk);
    EXPECT_FALSE(emptyCapture.run(L"y"));
    Search lookAhead(L"!a*?b");
    ASSERT_EQ(lookAhead.code, PatternOk);
    EXPECT_FALSE(lookAhead.run(L"c"));
    Search nested(L"(a+)+b");
    ASSERT_EQ(nested.code, PatternOk);
    EXPECT_FALSE(nested.run(L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"));
    EXPECT_TRUE(nested.run(L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab"));
}

TEST(PatternMatchSound, StepBudgetCanBeTightened)
{
    // The budget is the fixed part plus an allowance per text unit; nested quantifiers that
    // backtrack exponentially before they match need far more than the allowance alone.
    const wchar_t* text = L"aaaaaaaaaaaaaaaaXab";
    Search s(L"(a+)+b");
    s.context.setStepBudget(10);
    EXPECT_FALSE(s.run(text));
    s.context.setStepBudget(kDefaultMatchStepBudget);
    EXPECT_TRUE(s.run(text));
}

TEST(PatternMatchSound, BackReferenceToAnOpenGroupMatchesNothing)
{
    Search open(L"{a\\0}");
    ASSERT_EQ(open.code, PatternOk);
    EXPECT_FALSE(open.run(L"aa"));
    EXPECT_FALSE(open.run(L"a"));
    // In the second pass the group starts after the end the first pass left: the reference fails
    // and the optional skips it.
    Search reentered(L"({..\\0?}-)+");
    ASSERT_TRUE(reentered.run(L"ab-cd-"));
    EXPECT_EQ(reentered.group(0), L"cd");
    EXPECT_EQ(reentered.end(), 6);
    Search closed(L"{a}\\0");
    EXPECT_TRUE(closed.run(L"aa"));
}

TEST(PatternMatchSound, EmptyTextIsNotReadPastItsTerminator)
{
    // An exactly sized heap text lets the address sanitizer see a read one past the terminator.
    std::unique_ptr<wchar_t[]> text(new wchar_t[1]{0});
    for (const wchar_t* pattern : {L"a", L"x*y", L"[^a]", L"{a}\\0"}) {
        Search s(pattern);
        ASSERT_EQ(s.code, PatternOk);
        EXPECT_FALSE(s.run(text.get()));
        EXPECT_EQ(s.nextOffset(), 1);
    }
}

}  // namespace
