#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "pattern/atl_exception.h"
#include "pattern/growable_array.h"
#include "pattern/pattern_matcher.h"

namespace {

struct Instr {
    int32_t op;
    uint64_t operand;
    bool operator==(const Instr& other) const { return op == other.op && operand == other.operand; }
};

void PrintTo(const Instr& i, std::ostream* os) { *os << "{" << i.op << ", " << i.operand << "}"; }

std::vector<Instr> programOf(const PatternMatcher& m)
{
    std::vector<Instr> program;
    for (std::size_t i = 0; i < m.programCount(); ++i) program.push_back({m.program()[i].op, m.program()[i].operand});
    return program;
}

std::vector<int32_t> opsOf(const PatternMatcher& m)
{
    std::vector<int32_t> ops;
    for (std::size_t i = 0; i < m.programCount(); ++i) ops.push_back(m.program()[i].op);
    return ops;
}

int32_t compileCode(const wchar_t* pattern)
{
    PatternMatcher m;
    return m.compile(pattern);
}

// The lists below were worked out by hand from the compiled forms, including the operands that
// code removed by the compiler leaves behind in instructions that take none.

TEST(PatternCompiler, EmptyPatternCallsPastTheRetryAndSucceeds)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L""), PatternOk);
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2}, {OpNextStart, 0}, {OpSuccess, 0}}));
    EXPECT_EQ(m.groupCount(), 0);
    EXPECT_EQ(m.registerCount(), 0);
    EXPECT_FALSE(m.caseSensitive());
}

TEST(PatternCompiler, GreedyStarSavesRegisterAndPositionAndChecksProgress)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"a*"), PatternOk);
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpPushRegister, 0},
                                                {OpSavePos, 0},
                                                {OpPushPos, 0},
                                                {OpCall, 9},
                                                {OpPopPos, 0},
                                                {OpPopRegister, 0},
                                                {OpJump, 13},
                                                {OpChar, L'a'},
                                                {OpFailIfNoProgress, 0},
                                                {OpSavePos, 0},
                                                {OpJump, 2},
                                                {OpSuccess, 0}}));
    EXPECT_EQ(m.registerCount(), 1);
}

TEST(PatternCompiler, GreedyPlusIsAPlainCopyThenTheStarLoopAndOptionalHasNoBackJump)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"a+"), PatternOk);
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpChar, L'a'},
                                                {OpPushRegister, 0},
                                                {OpSavePos, 0},
                                                {OpPushPos, 0},
                                                {OpCall, 10},
                                                {OpPopPos, 0},
                                                {OpPopRegister, 0},
                                                {OpJump, 14},
                                                {OpChar, L'a'},
                                                {OpFailIfNoProgress, 0},
                                                {OpSavePos, 0},
                                                {OpJump, 3},
                                                {OpSuccess, 0}}));
    ASSERT_EQ(m.compile(L"a?"), PatternOk);
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpPushRegister, 0},
                                                {OpSavePos, 0},
                                                {OpPushPos, 0},
                                                {OpCall, 9},
                                                {OpPopPos, 0},
                                                {OpPopRegister, 0},
                                                {OpJump, 12},
                                                {OpChar, L'a'},
                                                {OpFailIfNoProgress, 0},
                                                {OpSavePos, 0},
                                                {OpSuccess, 0}}));
}

TEST(PatternCompiler, LazyPlusKeepsAPlainFirstCopyThenALazyLoop)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"a+?"), PatternOk);
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpChar, L'a'},
                                                {OpCall, 6},
                                                {OpChar, L'a'},
                                                {OpJump, 3},
                                                {OpSuccess, 0}}));
    EXPECT_EQ(m.registerCount(), 0);
}

TEST(PatternCompiler, AlternationOfTwoCapturesNumbersGroupsInReadingOrder)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"{a}|{b}"), PatternOk);
    // PopPos at 4 keeps the 7 of the OpCall the first, removed compile of {a} put there.
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpPushPos, 0},
                                                {OpCall, 6},
                                                {OpPopPos, 7},
                                                {OpJump, 14},
                                                {OpSaveGroup, 0},
                                                {OpGroupOpen, 0},
                                                {OpCall, 11},
                                                {OpRestoreGroup, 0},
                                                {OpBacktrack, 0},
                                                {OpChar, L'a'},
                                                {OpGroupClose, 0},
                                                {OpJump, 21},
                                                {OpSaveGroup, 1},
                                                {OpGroupOpen, 1},
                                                {OpCall, 19},
                                                {OpRestoreGroup, 1},
                                                {OpBacktrack, 0},
                                                {OpChar, L'b'},
                                                {OpGroupClose, 1},
                                                {OpSuccess, 0}}));
    EXPECT_EQ(m.groupCount(), 2);
}

TEST(PatternCompiler, LookAheadTakesTwoRegistersAndJumpsPastItsAtom)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"!a."), PatternOk);
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpSavePos, 0},
                                                {OpSaveDepth, 1},
                                                {OpCall, 8},
                                                {OpRestorePos, 0},
                                                {OpRestoreDepth, 1},
                                                {OpJump, 12},
                                                {OpChar, L'a'},
                                                {OpRestorePos, 0},
                                                {OpRestoreDepth, 1},
                                                {OpBacktrack, 0},
                                                {OpAnyChar, 0},
                                                {OpSuccess, 0}}));
    EXPECT_EQ(m.registerCount(), 2);
}

TEST(PatternCompiler, RepeatedBlankAbbreviationIsAGroupedClassOfSpaceAndTab)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"\\b*"), PatternOk);
    // PushPos and PopPos keep the bounds of the class the plain compile put at 4 and 6.
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpPushRegister, 0},
                                                {OpSavePos, 0},
                                                {OpPushPos, 9},
                                                {OpCall, 9},
                                                {OpPopPos, 32},
                                                {OpPopRegister, 0},
                                                {OpJump, 19},
                                                {OpCall, 11},
                                                {OpBacktrack, 0},
                                                {OpInRanges, 16},
                                                {OpNop, L' '},
                                                {OpNop, L' '},
                                                {OpNop, L'\t'},
                                                {OpNop, L'\t'},
                                                {OpFailIfNoProgress, 0},
                                                {OpSavePos, 0},
                                                {OpJump, 2},
                                                {OpSuccess, 0}}));
}

TEST(PatternCompiler, CaretFirstAnchorsWithNoMatchInsteadOfRetry)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"^a"), PatternOk);
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2}, {OpNoMatch, 0}, {OpChar, L'a'}, {OpSuccess, 0}}));
    ASSERT_EQ(m.compile(L"a^"), PatternOk);
    EXPECT_EQ(opsOf(m), (std::vector<int32_t>{OpCall, OpNextStart, OpChar, OpChar, OpSuccess}));
    EXPECT_EQ(m.program()[3].operand, static_cast<uint64_t>(L'^'));
}

TEST(PatternCompiler, PlusRepeatsGroupNumbersButTakesNewRegisters)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"{ab*}+"), PatternOk);
    EXPECT_EQ(m.groupCount(), 1);
    EXPECT_EQ(m.registerCount(), 3);  // one in the first copy, the loop's own, one in the second copy
}

TEST(PatternCompiler, ClassListsEachItemAsALowerAndUpperBound)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"[\\-_]"), PatternOk);
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpInRanges, 7},
                                                {OpNop, L'-'},
                                                {OpNop, L'-'},
                                                {OpNop, L'_'},
                                                {OpNop, L'_'},
                                                {OpSuccess, 0}}));
    ASSERT_EQ(m.compile(L"[^A-Z\\T]"), PatternOk);  // lowercased first: a-z and \t
    EXPECT_EQ(programOf(m), (std::vector<Instr>{{OpCall, 2},
                                                {OpNextStart, 0},
                                                {OpNotInRanges, 7},
                                                {OpNop, L'a'},
                                                {OpNop, L'z'},
                                                {OpNop, L'\t'},
                                                {OpNop, L'\t'},
                                                {OpSuccess, 0}}));
}

TEST(PatternCompiler, DollarIsTheTerminatorOnlyAsTheLastCharacter)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"a$"), PatternOk);
    EXPECT_EQ(m.program()[3].op, OpChar);
    EXPECT_EQ(m.program()[3].operand, 0u);
    ASSERT_EQ(m.compile(L"a$b"), PatternOk);
    EXPECT_EQ(m.program()[3].operand, static_cast<uint64_t>(L'$'));
    ASSERT_EQ(m.compile(L"{a$}"), PatternOk);
    EXPECT_EQ(m.program()[8].operand, static_cast<uint64_t>(L'$'));
}

TEST(PatternCompiler, TrailingBarAndUnmatchedClosersEndTheSequenceWithoutError)
{
    PatternMatcher x;
    ASSERT_EQ(x.compile(L"x"), PatternOk);
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"xa|"), PatternOk);
    EXPECT_EQ(opsOf(m), opsOf(x));
    ASSERT_EQ(m.compile(L"{a|}"), PatternOk);
    PatternMatcher empty;
    ASSERT_EQ(empty.compile(L"{}"), PatternOk);
    EXPECT_EQ(opsOf(m), opsOf(empty));
    ASSERT_EQ(m.compile(L"abc)def"), PatternOk);
    EXPECT_EQ(m.programCount(), 6u);
    ASSERT_EQ(m.compile(L"a**"), PatternOk);  // a* and a literal *
    EXPECT_EQ(m.program()[13].op, OpChar);
    EXPECT_EQ(m.program()[13].operand, static_cast<uint64_t>(L'*'));
    ASSERT_EQ(m.compile(L"*a"), PatternOk);
    EXPECT_EQ(m.program()[2].operand, static_cast<uint64_t>(L'*'));
}

TEST(PatternCompiler, UppercaseAbbreviationIsReadAsLowercaseAndUnknownLettersAreLiterals)
{
    PatternMatcher upper, lower;
    ASSERT_EQ(upper.compile(L"\\W"), PatternOk);
    ASSERT_EQ(lower.compile(L"\\w"), PatternOk);
    EXPECT_EQ(programOf(upper), programOf(lower));
    ASSERT_EQ(upper.compile(L"\\e"), PatternOk);
    EXPECT_EQ(programOf(upper), (std::vector<Instr>{{OpCall, 2}, {OpNextStart, 0}, {OpChar, L'e'}, {OpSuccess, 0}}));
}

TEST(PatternCompiler, AbbreviationTableHoldsNineEntriesInOrder)
{
    const std::vector<std::wstring> expected = {L"a([a-zA-Z0-9])", L"b([ \\t])",    L"c([a-zA-Z])",
                                                L"d([0-9])",       L"h([0-9a-fA-F])", L"n(\r|(\r?\n))",
                                                L"q(\"[^\"]*\")|('[^']*')", L"w([a-zA-Z]+)", L"z([0-9]+)"};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(abbreviationTable[i], expected[i]);
    EXPECT_EQ(abbreviationTable[9], nullptr);
}

TEST(PatternCompiler, ReportsEachErrorCodeAndKeepsItInLastError)
{
    struct Case {
        const wchar_t* pattern;
        int32_t code;
    };
    const Case cases[] = {
        {L"{a", PatternErrUnclosedCapture},     {L"{a)}", PatternErrUnclosedCapture},
        {L"(a", PatternErrUnclosedGroup},       {L"[a", PatternErrUnclosedClass},
        {L"[a-]", PatternErrUnclosedClass},     {L"[a-", PatternErrUnclosedClass},
        {L"[]", PatternErrEmptyClass},          {L"[^]", PatternErrEmptyClass},
        {L"\\0", PatternErrBadGroupNumber},     {L"{a}\\1", PatternErrBadGroupNumber},
        {L"[z-a]", PatternErrReversedRange},    {L"[Z-a]", PatternErrReversedRange},
        {L"(a*)*", PatternErrEmptyRepeat},      {L"(a?)+", PatternErrEmptyRepeat},
        {L"(a*)*?", PatternErrEmptyRepeat},     {L"(a+?)+?", PatternErrEmptyRepeat},
        {L"{b*}+", PatternErrEmptyRepeat},
    };
    for (const Case& c : cases) {
        PatternMatcher m;
        EXPECT_EQ(m.compile(c.pattern), c.code) << testing::PrintToString(std::wstring(c.pattern));
        EXPECT_EQ(m.lastError(), c.code);
    }
}

TEST(PatternCompiler, AcceptsTheForms9DoesNotCover)
{
    for (const wchar_t* pattern : {L"(a*)?", L"{}*", L"{a}\\0", L"{a\\0}", L"[\\-_]", L"[ \\t]", L"{}*?", L"(a|b)*"}) {
        EXPECT_EQ(compileCode(pattern), PatternOk) << testing::PrintToString(std::wstring(pattern));
    }
}

TEST(PatternCompiler, SuccessAfterAFailureClearsLastError)
{
    PatternMatcher m;
    ASSERT_EQ(m.compile(L"[]"), PatternErrEmptyClass);
    ASSERT_EQ(m.compile(L"a"), PatternOk);
    EXPECT_EQ(m.lastError(), PatternOk);
}

TEST(PatternCompiler, ProgramThatCannotGrowGivesNoMemory)
{
    PatternMatcher m(3);
    EXPECT_EQ(m.compile(L""), PatternOk);  // exactly three instructions
    EXPECT_EQ(m.compile(L"a"), PatternErrNoMemory);
    EXPECT_EQ(m.lastError(), PatternErrNoMemory);
}

TEST(PatternCompiler, NullPatternRaisesInvalidArgument)
{
    PatternMatcher m;
    try {
        m.compile(nullptr);
        FAIL() << "no exception";
    } catch (const CAtlException& e) {
        EXPECT_EQ(e.hresult(), kHresultInvalidArg);
    }
}

TEST(PatternCompilerSound, TrailingBackslashIsRejectedInsideAndOutsideAClass)
{
    EXPECT_EQ(compileCode(L"\\"), PatternErrBadAbbreviation);
    EXPECT_EQ(compileCode(L"a\\"), PatternErrBadAbbreviation);
    EXPECT_EQ(compileCode(L"{a\\"), PatternErrBadAbbreviation);
    EXPECT_EQ(compileCode(L"[\\"), PatternErrUnclosedClass);
    EXPECT_EQ(compileCode(L"[a\\"), PatternErrUnclosedClass);
    EXPECT_EQ(compileCode(L"[0-\\"), PatternErrUnclosedClass);  // the bound is taken literally, then the class ends
    EXPECT_EQ(compileCode(L"a\\\\"), PatternOk);                 // an escaped backslash is a literal
}

TEST(PatternCompilerSound, HugeBackReferenceNumbersSaturateInsteadOfWrapping)
{
    EXPECT_EQ(compileCode(L"{a}\\4294967296"), PatternErrBadGroupNumber);  // 2^32 would wrap to 0
    EXPECT_EQ(compileCode(L"{a}\\18446744073709551616"), PatternErrBadGroupNumber);
    EXPECT_EQ(compileCode(L"{a}\\99999999999999999999999999"), PatternErrBadGroupNumber);
    EXPECT_EQ(compileCode(L"{a}\\00"), PatternOk);
}

TEST(PatternCompilerSound, RightSideOfABarStartsAsPossiblyEmpty)
{
    EXPECT_EQ(compileCode(L"(a|{})*?"), PatternErrEmptyRepeat);
    EXPECT_EQ(compileCode(L"(a|{})*"), PatternErrEmptyRepeat);
    EXPECT_EQ(compileCode(L"(a|())+"), PatternErrEmptyRepeat);
    EXPECT_EQ(compileCode(L"(a|b)*?"), PatternOk);
}

TEST(GrowableArray, GrowsByAnEighthOfTheCountBetween4And1024)
{
    GrowableArray<uint64_t> a;
    std::vector<std::size_t> capacities;
    for (std::size_t n = 1; n <= 41; ++n) {
        ASSERT_TRUE(a.setCount(n));
        if (capacities.empty() || capacities.back() != a.capacity()) capacities.push_back(a.capacity());
    }
    EXPECT_EQ(capacities, (std::vector<std::size_t>{4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 45}));

    GrowableArray<uint64_t> big;
    ASSERT_TRUE(big.setCount(1000));  // a large request is taken as it is
    EXPECT_EQ(big.capacity(), 1000u);
    ASSERT_TRUE(big.setCount(1001));
    EXPECT_EQ(big.capacity(), 1125u);
    ASSERT_TRUE(big.setCount(9000));
    ASSERT_TRUE(big.setCount(9001));
    EXPECT_EQ(big.capacity(), 10024u);
}

TEST(GrowableArray, ShrinkingKeepsCapacityAndContentsAndGrowthZeroFills)
{
    GrowableArray<uint64_t> a;
    ASSERT_TRUE(a.setCount(3));
    a[2] = 77;
    ASSERT_TRUE(a.setCount(1));
    EXPECT_EQ(a.capacity(), 4u);
    ASSERT_TRUE(a.setCount(4));
    EXPECT_EQ(a[2], 77u);
    EXPECT_EQ(a[3], 0u);
    ASSERT_TRUE(a.setCount(5));
    EXPECT_EQ(a[2], 77u);
    for (std::size_t i = 4; i < a.capacity(); ++i) EXPECT_EQ(a.data()[i], 0u);
}

}  // namespace
