#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "http/header_interpretation.h"
#include "pattern/atl_exception.h"
#include "pattern/pattern_matcher.h"

namespace {

struct Interpreted {
    std::wstring charset;
    uint32_t expectedLength = 0;
    std::wstring location;
    std::wstring cookies;

    void from(const std::wstring& headers) { interpretHeaders(headers, charset, expectedLength, location, cookies); }
};

std::wstring headerBlock(const std::wstring& lines) { return L"HTTP/1.1 200 OK\r\n" + lines + L"\r\n"; }

TEST(HeaderInterpretation, CharsetIsTakenAsWrittenAndEndsAtTheFirstOtherCharacter)
{
    Interpreted a;
    a.from(headerBlock(L"Content-Type: text/html; charset=UTF-8\r\n"));
    EXPECT_EQ(a.charset, L"UTF-8");
    Interpreted b;
    b.from(headerBlock(L"content-type: text/plain; CHARSET=utf-8;\r\n"));
    EXPECT_EQ(b.charset, L"utf-8");
    Interpreted c;
    c.from(headerBlock(L"Content-Type: text/html; charset=gbk\r\n"));
    EXPECT_EQ(c.charset, L"gbk");
}

TEST(HeaderInterpretation, QuotedCharsetGivesNoResult)
{
    Interpreted a;
    a.from(headerBlock(L"Content-Type: text/html; charset=\"UTF-8\"\r\n"));
    EXPECT_EQ(a.charset, L"");
}

TEST(HeaderInterpretation, ContentLengthNameMatchesInAnyCaseButNeedsTheBlank)
{
    Interpreted a;
    a.from(headerBlock(L"content-length: 42\r\n"));
    EXPECT_EQ(a.expectedLength, 42u);
    Interpreted b;
    b.from(headerBlock(L"Content-Length:42\r\n"));
    EXPECT_EQ(b.expectedLength, 0u);
}

TEST(HeaderInterpretation, ContentLengthSaturatesAtTheLargestSigned32BitNumber)
{
    Interpreted a;
    a.from(headerBlock(L"Content-Length: 2147483647\r\n"));
    EXPECT_EQ(a.expectedLength, 2147483647u);
    Interpreted b;
    b.from(headerBlock(L"Content-Length: 2147483648\r\n"));
    EXPECT_EQ(b.expectedLength, 2147483647u);
    Interpreted c;
    c.from(headerBlock(L"Content-Length: 99999999999999999999999\r\n"));
    EXPECT_EQ(c.expectedLength, 2147483647u);
}

TEST(HeaderInterpretation, LocationKeepsOnlyALeadingRunOfDigits)
{
    Interpreted a;
    a.from(headerBlock(L"Location: http://example.invalid/next\r\n"));
    EXPECT_EQ(a.location, L"");
    Interpreted b;
    b.from(headerBlock(L"Location: 302\r\n"));
    EXPECT_EQ(b.location, L"302");
    Interpreted c;  // the pattern is searched in the whole block, not per header
    c.from(headerBlock(L"Content-Location: 17\r\n"));
    EXPECT_EQ(c.location, L"17");
}

TEST(HeaderInterpretation, CookiesAreJoinedAndClosedWithASemicolon)
{
    Interpreted a;
    a.from(headerBlock(L"Set-Cookie: a=1; path=/\r\nSet-Cookie:\tb=2\r\n"));
    EXPECT_EQ(a.cookies, L"a=1; path=/; b=2;");
    Interpreted b;
    b.from(headerBlock(L"Set-Cookie: a=1;\r\n"));
    EXPECT_EQ(b.cookies, L"a=1;");
    Interpreted c;
    c.from(headerBlock(L"set-cookie: ID=x\r\nSet-Cookie: id=X\r\n"));
    EXPECT_EQ(c.cookies, L"ID=x;");  // equal but for case: the first one only
}

TEST(HeaderInterpretation, SecondAnswerToTheSameEngineAppendsItsCookies)
{
    Interpreted a;
    a.from(headerBlock(L"Set-Cookie: a=1\r\n"));
    a.from(headerBlock(L"Set-Cookie: b=2\r\n"));
    EXPECT_EQ(a.cookies, L"a=1;b=2;");
}

TEST(HeaderInterpretation, FieldsKeepTheirValuesWhenNothingIsFound)
{
    Interpreted a;
    a.charset = L"before";
    a.expectedLength = 7;
    a.location = L"9";
    a.cookies = L"c=3;";
    a.from(L"");
    a.from(headerBlock(L"Server: test\r\n"));
    EXPECT_EQ(a.charset, L"before");
    EXPECT_EQ(a.expectedLength, 7u);
    EXPECT_EQ(a.location, L"9");
    EXPECT_EQ(a.cookies, L"c=3;");
}

TEST(HeaderInterpretation, TypicalAnswerFillsEveryField)
{
    Interpreted a;
    a.from(L"HTTP/1.1 200 OK\r\nDate: Tue, 08 Dec 2026 18:00:00 GMT\r\nServer: Apache\r\n"
           L"Content-Type: text/html; charset=UTF-8\r\nContent-Length: 1234\r\nLocation: 5\r\n"
           L"Set-Cookie: sid=abc; path=/\r\nSet-Cookie: lang=en\r\n\r\n");
    EXPECT_EQ(a.charset, L"UTF-8");
    EXPECT_EQ(a.expectedLength, 1234u);
    EXPECT_EQ(a.location, L"5");
    EXPECT_EQ(a.cookies, L"sid=abc; path=/; lang=en;");
}

TEST(HeaderInterpretation, BodyIsIncompleteOnlyWithAnOpeningAndNoClosingTag)
{
    EXPECT_TRUE(isBodyComplete(L"<HTML><body>x</body></HTML>"));
    EXPECT_FALSE(isBodyComplete(L"<html><body>cut off"));
    EXPECT_TRUE(isBodyComplete(L"plain answer"));
    EXPECT_TRUE(isBodyComplete(L""));
}

TEST(HeaderInterpretation, TheLargestAnswerIsSearchedToItsEnd)
{
    // A 1 MiB answer is the most the engine keeps; the step budget must not cut its search short.
    const std::wstring filler(1u << 20, L'x');
    EXPECT_TRUE(isBodyComplete(L"<html>" + filler + L"</html>"));
    EXPECT_FALSE(isBodyComplete(L"<html>" + filler));
    EXPECT_FALSE(isBodyComplete(filler + L"<html>"));
}

TEST(HeaderInterpretation, FindAllMatchesListsDistinctGroupTextsInOrder)
{
    std::vector<std::wstring> results{L"stale"};
    EXPECT_TRUE(findAllMatches(L"{\\d+}", L"7 x 12 y 7 z 3", results));
    EXPECT_EQ(results, (std::vector<std::wstring>{L"7", L"12", L"3"}));
    EXPECT_TRUE(findAllMatches(L"q{\\d}", L"abc", results));
    EXPECT_TRUE(results.empty());
}

TEST(HeaderInterpretation, FindAllMatchesRefusesWhatItCannotSearch)
{
    std::vector<std::wstring> results{L"stale"};
    EXPECT_FALSE(findAllMatches(L"", L"abc", results));
    EXPECT_TRUE(results.empty());
    EXPECT_FALSE(findAllMatches(L"a", L"", results));
    EXPECT_FALSE(findAllMatches(L"[a", L"abc", results));
}

TEST(HeaderInterpretation, FindAllMatchesTakesNothingFromAPatternWithoutGroups)
{
    std::vector<std::wstring> results;
    EXPECT_TRUE(findAllMatches(L"b", L"abcb", results));
    EXPECT_TRUE(results.empty());
}

TEST(HeaderInterpretationSound, EmptyMatchesMoveTheSearchOnSoItEnds)
{
    std::vector<std::wstring> results;
    EXPECT_TRUE(findAllMatches(L"{a*}", L"baab", results));
    EXPECT_EQ(results, (std::vector<std::wstring>{L"", L"aa"}));
    EXPECT_TRUE(findAllMatches(L"{!x}", L"xyz", results));
    EXPECT_EQ(results, (std::vector<std::wstring>{L""}));
    EXPECT_TRUE(findAllMatches(L"{}", L"abc", results));
    EXPECT_TRUE(findAllMatches(L"{x}$", L"axbx", results));
    EXPECT_EQ(results, (std::vector<std::wstring>{L"x"}));
}

TEST(HeaderInterpretationSound, MatcherFaultIsContainedAndTheFieldKeepsItsValue)
{
    std::vector<std::wstring> results{L"stale"};
    raiseInNextMatchForTesting(kHresultInvalidArg);
    EXPECT_FALSE(findAllMatches(L"{a}", L"a", results));
    EXPECT_TRUE(results.empty());

    // The charset search runs first; the others still run.
    Interpreted a;
    a.charset = L"before";
    raiseInNextMatchForTesting(kHresultOutOfMemory);
    a.from(headerBlock(L"Content-Type: text/html; charset=UTF-8\r\nContent-Length: 5\r\n"));
    EXPECT_EQ(a.charset, L"before");
    EXPECT_EQ(a.expectedLength, 5u);
}

TEST(HeaderInterpretationSound, RunawayPatternEndsTheSearchWithoutResults)
{
    std::vector<std::wstring> results;
    EXPECT_TRUE(findAllMatches(L"{(a+)+b}", L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaac", results));
    EXPECT_TRUE(results.empty());
}

std::size_t occurrences(const std::wstring& text, const std::wstring& what)
{
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::wstring::npos; at += what.size()) ++n;
    return n;
}

// Megabytes of hostile headers: only the first kMaxInterpretedHeaderUnits, cut back to a line end,
// are read, and what lies there is read exactly as in a small block.
TEST(HeaderInterpretationSound, OnlyTheFirstBoundOfAHugeHeaderBlockIsInterpreted)
{
    struct Case {
        const char* name;
        std::wstring repeatedLine;  // %d stands for the line's number
        std::wstring expectCharset;
        std::wstring countedCookie;  // each line in the bound that starts so gives one cookie
    };
    const Case cases[] = {
        {"100000 charset matches", L"X-A: charset=utf-8; charset=UTF-8\r\n", L"utf-8", L""},
        {"distinct cookies", L"Set-Cookie: c%d=v\r\n", L"", L"Set-Cookie: c"},
        {"cookies differing in case only", L"Set-Cookie: ID=%d\r\nSet-Cookie: id=%d\r\n", L"", L"Set-Cookie: ID="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring block = L"HTTP/1.1 200 OK\r\n";
        for (int n = 0; block.size() < (1u << 20); ++n) {
            std::wstring line = c.repeatedLine;
            for (std::size_t at; (at = line.find(L"%d")) != std::wstring::npos;) line.replace(at, 2, std::to_wstring(n));
            block += line;
        }
        block += L"Content-Type: text/html; charset=late\r\nContent-Length: 9\r\n\r\n";
        Interpreted a;
        a.from(block);
        EXPECT_EQ(a.charset, c.expectCharset);
        EXPECT_EQ(a.expectedLength, 0u);  // beyond the bound
        if (!c.countedCookie.empty()) {
            const std::wstring interpreted = block.substr(0, block.rfind(L'\n', kMaxInterpretedHeaderUnits - 1) + 1);
            EXPECT_EQ(occurrences(a.cookies, L";"), occurrences(interpreted, c.countedCookie));
            EXPECT_EQ(a.cookies.find(L"id="), std::wstring::npos);  // the first spelling is kept
            EXPECT_EQ(a.cookies.back(), L';');
        }
    }
}

TEST(HeaderInterpretationSound, ALineCutByTheBoundIsNotReadCutShort)
{
    // "charset=utf-8" straddles the bound: read whole or not at all, never as "utf".
    const std::wstring head = L"HTTP/1.1 200 OK\r\nX-Pad: ";
    const std::wstring tail = L"\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
    const std::size_t padding = kMaxInterpretedHeaderUnits - head.size() - tail.size() + 20;
    Interpreted a;
    a.from(head + std::wstring(padding, L'p') + tail);
    EXPECT_EQ(a.charset, L"");
    Interpreted b;
    b.from(head + std::wstring(padding - 40, L'p') + tail);
    EXPECT_EQ(b.charset, L"utf-8");
}

TEST(HeaderInterpretation, TrimCharsStripsBothEndsOnly)
{
    EXPECT_EQ(trimChars(L"  a b  ", L" "), L"a b");
    EXPECT_EQ(trimChars(L"   ", L" "), L"");
    EXPECT_EQ(trimChars(L"xyaxy", L"yx"), L"a");
    EXPECT_EQ(trimChars(L"abc", L""), L"abc");
    EXPECT_EQ(trimChars(L"", L" "), L"");
}

}  // namespace
