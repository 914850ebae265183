#include "inventory/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string digestOf(const std::string& text)
{
    return md5HexUpper(text.data(), static_cast<uint32_t>(text.size()));
}

TEST(Md5, ReproducesTheRfc1321SuiteInUpperCase)
{
    EXPECT_EQ(digestOf(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(digestOf("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(digestOf("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(digestOf("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(digestOf("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(digestOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(digestOf("1234567890123456789012345678901234567890"
                       "1234567890123456789012345678901234567890"),
              "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(Md5, EmptyInputWithoutABufferIsTheEmptyDigest)
{
    EXPECT_EQ(md5HexUpper(nullptr, 0), "D41D8CD98F00B204E9800998ECF8427E");
}

// Lengths around the 56-byte padding boundary and the 64-byte block boundary, where the closing
// bytes need a second block. Expected digests from Python: hashlib.md5(b"a" * n).hexdigest().upper()
TEST(Md5, PaddingAroundBlockBoundariesMatchesAnIndependentImplementation)
{
    EXPECT_EQ(digestOf(std::string(55, 'a')), "EF1772B6DFF9A122358552954AD0DF65");
    EXPECT_EQ(digestOf(std::string(56, 'a')), "3B0C8AC703F828B04C6C197006D17218");
    EXPECT_EQ(digestOf(std::string(63, 'a')), "B06521F39153D618550606BE297466D5");
    EXPECT_EQ(digestOf(std::string(64, 'a')), "014842D480B571495A4A0363793F7367");
    EXPECT_EQ(digestOf(std::string(65, 'a')), "C743A45E0D2E6A95CB859ADAE0248435");
    EXPECT_EQ(digestOf(std::string(1000000, 'a')), "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(Md5, OneUpdateAndManyUpdatesGiveTheSameDigest)
{
    std::vector<uint8_t> bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    const std::string whole = md5HexUpper(bytes.data(), static_cast<uint32_t>(bytes.size()));

    for (uint32_t chunk : {1u, 3u, 55u, 63u, 64u, 65u, 127u, 999u}) {
        Md5Context context;
        md5Init(context);
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            uint32_t n = static_cast<uint32_t>(std::min<size_t>(chunk, bytes.size() - at));
            md5Update(context, bytes.data() + at, n);
            md5Update(context, nullptr, 0);
        }
        md5Final(context);
        char text[33] = {};
        for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02X", context.digestBytes[i]);
        EXPECT_EQ(whole, text) << "chunk " << chunk;
    }
}

TEST(Md5, RenderingKeepsLeadingZerosAndUsesOnlyUpperCaseHexDigits)
{
    // MD5("a") begins with the byte 0Ch: it must render as "0C", not "C".
    const std::string digest = digestOf("a");
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_EQ(digest.substr(0, 2), "0C");
    for (int n = 0; n < 200; ++n) {
        const std::string d = digestOf(std::string(n, 'x'));
        ASSERT_EQ(d.size(), 32u);
        EXPECT_EQ(d.find_first_not_of("0123456789ABCDEF"), std::string::npos) << d;
    }
}

}  // namespace
