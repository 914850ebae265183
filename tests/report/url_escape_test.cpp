#include <gtest/gtest.h>

#include <string>

#include "report/url_escape.h"

namespace {

std::string escape(const std::string& text, std::size_t outBytes = kEscapeBufferBytes)
{
    std::string out(outBytes, '#');
    std::size_t n = urlEscape(text.c_str(), out.data(), outBytes);
    EXPECT_EQ(out[n], '\0');
    return out.substr(0, n);
}

TEST(UrlEscape, CopiesExactlyTheSafeClassAndEscapesEveryOtherByteInLowerCaseHex)
{
    std::string safe;
    for (int b = 1; b < 256; ++b) {
        std::string one(1, static_cast<char>(b));
        std::string got = escape(one);
        if (!isUnsafeUrlChar(static_cast<unsigned char>(b)) || b == '%') {
            EXPECT_EQ(got, one) << b;
            if (b != '%') safe += one;
        } else {
            char expected[4];
            std::snprintf(expected, sizeof expected, "%%%02x", b);
            EXPECT_EQ(got, expected) << b;
        }
    }
    EXPECT_EQ(safe, "!'()*-./0123456789:ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz~");
}

TEST(UrlEscape, KnownValues)
{
    EXPECT_EQ(escape("a b&c"), "a%20b%26c");
    EXPECT_EQ(escape("50%"), "50%");
    EXPECT_EQ(escape("%41"), "%41");
    EXPECT_EQ(escape("\xff\t\n"), "%ff%09%0a");
    EXPECT_EQ(escape("\xe4"), "%e4");
    EXPECT_EQ(escape("2024-03-05 14:07:09"), "2024-03-05%2014:07:09");
    EXPECT_EQ(escape("Unknown PCID"), "Unknown%20PCID");
    EXPECT_EQ(escape(""), "");
}

TEST(UrlEscape, FillsTheBufferToTheLastWholeCharacterAndNeverSplitsAnEscape)
{
    EXPECT_EQ(escape(std::string(5000, 'a')).size(), 4095u);
    // 4093 plain bytes leave room for 2 more characters: an escape (3) no longer fits.
    std::string text = std::string(4093, 'a') + " b";
    EXPECT_EQ(escape(text), std::string(4093, 'a'));
    text = std::string(4092, 'a') + " b";
    EXPECT_EQ(escape(text), std::string(4092, 'a') + "%20");
    EXPECT_EQ(escape(std::string(2000, ' ')).size(), 4095u / 3 * 3);
    EXPECT_EQ(escape("a b", 4), "a");
    EXPECT_EQ(escape("abc", 1), "");
}

}  // namespace
