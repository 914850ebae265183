#include <gtest/gtest.h>

#include "http/console_text.h"

namespace {

TEST(ConsoleText, PlainTextPassesUnchanged)
{
    EXPECT_EQ(toConsoleText(L"ok: stored 3 reports\r\n"), "ok: stored 3 reports\r\n");
    EXPECT_EQ(toConsoleText(L""), "");
}

TEST(ConsoleText, CharacterTheLocaleCannotWriteBecomesAQuestionMarkAndTheRestOfTheLineStays)
{
    // The "C" locale has no byte for the euro sign or for CJK text.
    EXPECT_EQ(toConsoleText(L"price \u20ac 5, \u4e2d\u6587 end"), "price ? 5, ?? end");
}

}  // namespace
