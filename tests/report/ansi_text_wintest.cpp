#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "report/ansi_text.h"

TEST(AnsiText, ConvertsToTheAnsiCodePageWithPrecomposedForms)
{
    char out[16];
    toCodePage(1252, L"e\u0301t\u00e9", out, sizeof out);  // decomposed and precomposed e-acute
    EXPECT_STREQ(out, "\xe9t\xe9");
    toCodePage(1252, L"\u4e2d", out, sizeof out);  // no equivalent: the default character
    EXPECT_STREQ(out, "?");
}

TEST(AnsiText, CodePagesThatRefuseCompositeCheckConvertWithoutIt)
{
    // UTF-8 (the ANSI code page of systems with the "Beta: UTF-8" option) refuses WC_COMPOSITECHECK.
    char out[16];
    toCodePage(CP_UTF8, L"t\u00e9", out, sizeof out);
    EXPECT_STREQ(out, "t\xc3\xa9");
}

TEST(AnsiText, AFailedConversionLeavesAnEmptyTextNeverAnEarlierOne)
{
    char out[8];
    toAnsi(L"old", out, sizeof out);
    EXPECT_STREQ(out, "old");
    toAnsi(L"far too long for eight bytes", out, sizeof out);
    EXPECT_STREQ(out, "");
    toAnsi(nullptr, out, sizeof out);
    EXPECT_STREQ(out, "");
}
