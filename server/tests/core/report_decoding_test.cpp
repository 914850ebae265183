#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/report_body.h"
#include "core/report_decoding.h"
#include "core/text_decoder.h"
#include "url_escape.h"  // the library's own escaping routine, so bodies are built as it builds them

namespace {

using namespace tallyscope::server;

constexpr char kId[] = "0123456789ABCDEF0123456789ABCDEF";

std::string esc(const std::string& value)
{
    std::string out(kEscapeBufferBytes, '\0');
    out.resize(urlEscape(value.c_str(), out.data(), out.size()));
    return out;
}

std::string paramBody(bool action, const std::string& id, const std::string& key, const std::string& channel,
                      const std::string& name, const std::string& last)
{
    return "Param={%22deviceid%22:%22" + esc(id) + "%22,%22appkey%22:%22" + esc(key) + "%22,%22channelid%22:%22" +
           esc(channel) + (action ? "%22,%22actionname%22:%22" : "%22,%22installtype%22:%22") + esc(name) +
           (action ? "%22,%22actioncontent%22:%22" : "%22,%22time%22:%22") + esc(last) + "%22}";
}

std::string deviceBody(const std::vector<std::string>& values)
{
    static const char* keys[] = {"devicecode", "appkey", "channelid", "pcosname", "mac", "pcosversion",
                                 "pcname", "pcusername", "windowssid", "pccpuid", "harddiskid", "mainboardcode"};
    std::string body;
    for (std::size_t i = 0; i < values.size(); ++i) body += (i ? "&" : "") + std::string(keys[i]) + "=" + esc(values[i]);
    return body;
}

struct Accepted {
    const char* what;
    std::string body;
    const char* charset;
    ReportKind kind;
    std::vector<std::string> expected;  // id, key, channel, name, content | id, key, channel, nine inventory values
};

TEST(ReportDecoding, EveryBodyTheLibraryBuildsDecodesToItsValues)
{
    const std::vector<std::string> inventory = {"Windows 7 Pro", "00:11:22:33:44:55", "6.1.7601", "PC", "PC\\user",
                                                "S-1-5-21", "ABCDEF", "", "N/A"};
    std::vector<std::string> deviceValues = {kId, "k1", ""};
    deviceValues.insert(deviceValues.end(), inventory.begin(), inventory.end());

    const std::vector<Accepted> cases = {
        {"app event, byte for byte as the library's own test has it",
         "Param={%22deviceid%22:%220123456789ABCDEF0123456789ABCDEF%22,%22appkey%22:%22k1%22,"
         "%22channelid%22:%22%22,%22installtype%22:%22app_start%22,%22time%22:%222024-03-05%2014:07:09%22}",
         "WINDOWS-1252", ReportKind::AppEvent, {kId, "k1", "", "app_start", "2024-03-05 14:07:09"}},
        {"action with escapes, an unescaped % and the byte 255 in windows-1252",
         "Param={%22deviceid%22:%220123456789ABCDEF0123456789ABCDEF%22,%22appkey%22:%22a%20b%26c%22,"
         "%22channelid%22:%2250%%22,%22actionname%22:%22click%ff%22,%22actioncontent%22:%22tab%09here%22}",
         "WINDOWS-1252", ReportKind::Action, {kId, "a b&c", "50%", "click\xC3\xBF", "tab\there"}},
        {"device information, twelve pairs with an empty one",
         "devicecode=0123456789ABCDEF0123456789ABCDEF&appkey=k1&channelid=&pcosname=Windows%207%20Pro"
         "&mac=00:11:22:33:44:55&pcosversion=6.1.7601&pcname=PC&pcusername=PC%5cuser&windowssid=S-1-5-21"
         "&pccpuid=ABCDEF&harddiskid=&mainboardcode=N/A",
         "WINDOWS-1252", ReportKind::DeviceInfo, deviceValues},
        {"the fallback identifier travels as Unknown%20PCID",
         paramBody(false, "Unknown PCID", "k1", "", "app_install", "2024-03-05 14:07:09"), "WINDOWS-1252",
         ReportKind::AppEvent, {"Unknown PCID", "k1", "", "app_install", "2024-03-05 14:07:09"}},
        {"values holding a quote, a comma, a colon and a brace",
         paramBody(true, kId, "k\"1", "a,b", "x:y", "{\"a\":1,\"b\":[2]}"), "WINDOWS-1252", ReportKind::Action,
         {kId, "k\"1", "a,b", "x:y", "{\"a\":1,\"b\":[2]}"}},
        {"a value that looks like the next field's delimiter stays one value",
         paramBody(true, kId, "k", "", "click", "%22,%22actionname%22:%22x"), "WINDOWS-1252", ReportKind::Action,
         {kId, "k", "", "click", "\",\"actionname\":\"x"}},
        {"a % not followed by two hex digits is kept; %41 was sent unescaped and reads as A",
         paramBody(true, kId, "k", "100%", "%zz%4", "%41%"), "WINDOWS-1252", ReportKind::Action,
         {kId, "k", "100%", "%zz%4", "A%"}},
        {"windows-1252 bytes above 127", paramBody(true, kId, "k", "caf\xE9", "\x80uro", "na\xEFve \x93q\x94"),
         "WINDOWS-1252", ReportKind::Action,
         {kId, "k", "caf\xC3\xA9", "\xE2\x82\xACuro", "na\xC3\xAFve \xE2\x80\x9Cq\xE2\x80\x9D"}},
        {"GBK bytes from a Chinese code page", paramBody(true, kId, "\xD6\xD0\xCE\xC4", "\xC7\xFE\xB5\xC0", "\xB5\xE3",
                                                          "a\xD6\xD0"),
         "GBK", ReportKind::Action,
         {kId, "\xE4\xB8\xAD\xE6\x96\x87", "\xE6\xB8\xA0\xE9\x81\x93", "\xE7\x82\xB9", "a\xE4\xB8\xAD"}},
        {"valid UTF-8 is kept as it is, whatever the legacy code page",
         paramBody(false, kId, "k", "\xC3\xA9", "app_\xE4\xB8\xAD", "2024-03-05 14:07:09"), "GBK", ReportKind::AppEvent,
         {kId, "k", "\xC3\xA9", "app_\xE4\xB8\xAD", "2024-03-05 14:07:09"}},
        {"bytes no character starts with become U+FFFD, one each", paramBody(true, kId, "k", "", "a\x81z", "\xD6"),
         "WINDOWS-1252", ReportKind::Action, {kId, "k", "", "a\xEF\xBF\xBDz", "\xC3\x96"}},
        {"a GBK lead byte cut at the end of a value", paramBody(true, kId, "k", "", "a\xD6", ""), "GBK",
         ReportKind::Action, {kId, "k", "", "a\xEF\xBF\xBD", ""}},
        {"empty action content", paramBody(true, kId, "k", "", "click", ""), "WINDOWS-1252", ReportKind::Action,
         {kId, "k", "", "click", ""}},
    };

    // Each body both copied and taken (as the ingest route takes the request's) into the report.
    for (bool taken : {false, true}) {
        for (const Accepted& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (taken ? ", taken" : ""));
            TextDecoder decoder(c.charset);
            std::string body = c.body;
            DecodedBody decoded = taken ? decodeReportBody(std::move(body), decoder) : decodeReportBody(c.body, decoder);
            ASSERT_TRUE(decoded.report) << decoded.reason;
            const Report& r = *decoded.report;
            EXPECT_EQ(r.kind, c.kind);
            EXPECT_EQ(r.body, c.body);
            std::vector<std::string> got = {r.deviceId, r.appKey, r.channel};
            if (r.kind == ReportKind::DeviceInfo) {
                got.insert(got.end(), r.inventory.begin(), r.inventory.end());
                EXPECT_TRUE(r.name.empty() && r.content.empty());
            } else {
                got.push_back(r.name);
                got.push_back(r.content);
                for (const std::string& value : r.inventory) EXPECT_TRUE(value.empty());
            }
            EXPECT_EQ(got, c.expected);
        }
    }
}

TEST(ReportDecoding, AnyEightBitValueSurvivesTheLibrarysEscaping)
{
    // Random values in every byte but NUL, built into bodies by the library's escaping; only a '%'
    // followed by two hex digits is ambiguous on the wire, so those are left out.
    std::mt19937 random(20261208);
    auto value = [&random](std::size_t maxLength) {
        std::string out;
        std::size_t length = random() % (maxLength + 1);
        while (out.size() < length) {
            char c = static_cast<char>(1 + random() % 255);
            if (c == '%') c = 'q';
            out.push_back(c);
        }
        return out;
    };
    for (int round = 0; round < 500; ++round) {
        std::string key = "k" + value(62);
        std::string channel = value(63);
        std::string name = value(63);
        std::string content = value(63);
        bool action = round % 2 == 0;
        std::string body = paramBody(action, kId, key, channel, name, content);
        BodyParse parsed = parseReportBody(body);
        ASSERT_TRUE(parsed.report) << parsed.reason << "\n" << body;
        const std::vector<std::string> got(parsed.report->values.begin(), parsed.report->values.begin() + 5);
        ASSERT_EQ(got, (std::vector<std::string>{kId, key, channel, name, content})) << body;
        EXPECT_EQ(parsed.report->kind, action ? ReportKind::Action : ReportKind::AppEvent);

        std::vector<std::string> device = {kId, key, channel};
        for (int i = 0; i < 9; ++i) device.push_back(value(100));
        parsed = parseReportBody(deviceBody(device));
        ASSERT_TRUE(parsed.report) << parsed.reason;
        ASSERT_EQ(std::vector<std::string>(parsed.report->values.begin(), parsed.report->values.end()), device);
    }
}

TEST(ReportDecoding, ADeviceInformationBodyCutByTheLibrarysBufferIsTakenWithTheRestEmpty)
{
    // Blanks escape to three characters each: the body outgrows 2047 characters within pcosversion.
    std::vector<std::string> values = {kId, "k1", "", std::string(259, ' '), std::string(259, ' '),
                                       std::string(259, ' ')};
    std::string body = deviceBody(values).substr(0, kBodyBufferChars);
    body.resize(body.rfind('%'));  // cut between whole escapes, as the library does
    TextDecoder decoder("WINDOWS-1252");
    DecodedBody decoded = decodeReportBody(body, decoder);
    ASSERT_TRUE(decoded.report) << decoded.reason;
    EXPECT_EQ(decoded.report->inventory[0], std::string(259, ' '));
    EXPECT_EQ(decoded.report->inventory[1], std::string(259, ' '));
    EXPECT_FALSE(decoded.report->inventory[2].empty());
    EXPECT_LT(decoded.report->inventory[2].size(), 259u);
    for (std::size_t i = 3; i < 9; ++i) EXPECT_TRUE(decoded.report->inventory[i].empty());
}

TEST(ReportDecoding, BodiesOfNoneOfTheThreeFormsAreRefusedWithAOneLineReason)
{
    const std::string good = paramBody(true, kId, "k", "", "click", "c");
    std::vector<std::string> device = {kId, "k1", "", "os", "mac", "v", "pc", "u", "sid", "cpu", "disk", "board"};
    const struct {
        std::string body;
        const char* reason;
    } cases[] = {
        {"", "neither"},
        {"hello=world", "neither"},
        {"param={}", "neither"},
        {good.substr(0, good.size() - 1), "does not end with '}'"},
        {"Param={}", "does not start with %22"},
        {"Param={%22deviceid%22:%22x%22,%22appkey%22:%22k%22}", "2 fields"},
        {paramBody(true, kId, "k", "", "a", "b").insert(7, "%22deviceid%22:%22x%22,"), "expected 'appkey'"},
        {good.substr(0, good.size() - 1) + ",%22extra%22:%22x%22}", "more than five"},
        {"Param={%22appkey%22:%22k%22,%22deviceid%22:%22x%22,%22channelid%22:%22%22,%22actionname%22:%22a%22,"
         "%22actioncontent%22:%22b%22}",
         "expected 'deviceid'"},
        {"Param={%22deviceid%22:%22x%22,%22appkey%22:%22k%22,%22channelid%22:%22%22,%22installtype%22:%22a%22,"
         "%22actioncontent%22:%22b%22}",
         "expected 'time'"},
        {"Param={%22deviceid%22:%22x%22,%22appkey%22:%22k%22,%22channelid%22:%22%22,%22bogus%22:%22a%22,"
         "%22time%22:%22b%22}",
         "expected 'installtype'"},
        {"Param={%22deviceid%22:%22x%22,%22appkey%22:%22k%22,%22channelid%22:%22%22,%22actionname%22:%22a%22,"
         "%22actioncontent%22:%22b}",
         "does not end with %22"},
        {"Param={%22deviceid%22:x,%22appkey%22:%22k%22}", "no %22:%22"},
        {paramBody(true, kId, "", "", "click", ""), "appkey is empty"},
        {paramBody(true, "", "k", "", "click", ""), "device identifier is empty"},
        {paramBody(true, kId, "k", "", "cl%00ick", ""), "NUL"},
        {deviceBody({device.begin(), device.begin() + 11}), "11 of twelve pairs"},
        {deviceBody(device) + "&extra=1", "more than twelve"},
        {deviceBody(device).replace(deviceBody(device).find("&mac="), 5, "&MAC="), "expected 'mac'"},
        {"devicecode=" + std::string(3000, 'a'), "without an appkey"},
        {deviceBody(device).replace(deviceBody(device).find("&pcname=pc"), 10, "&pcname"), "pair 7 has no '='"},
    };
    TextDecoder decoder("WINDOWS-1252");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 200));
        DecodedBody decoded = decodeReportBody(c.body, decoder);
        ASSERT_FALSE(decoded.report);
        EXPECT_NE(decoded.reason.find(c.reason), std::string::npos) << decoded.reason;
        std::string body = c.body;  // a refused body stays with the caller, for the rejects
        EXPECT_FALSE(decodeReportBody(std::move(body), decoder).report);
        EXPECT_EQ(body, c.body);
        EXPECT_EQ(decoded.reason.find('\n'), std::string::npos);
    }
    EXPECT_THROW(TextDecoder("NO-SUCH-CHARSET"), std::invalid_argument);
}

TEST(ReportDecoding, Utf8ValidationRefusesOverlongSurrogateAndOutOfRangeForms)
{
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"", true}, {"plain", true}, {"\xC3\xA9", true}, {"\xE4\xB8\xAD", true}, {"\xF0\x9F\x98\x80", true},
        {"\xC0\xAF", false}, {"\xE0\x80\xAF", false}, {"\xED\xA0\x80", false}, {"\xF4\x90\x80\x80", false},
        {"\xC3", false}, {"\xE4\xB8", false}, {"\x80", false}, {"\xFF", false}, {"a\xC3(", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidUtf8(c.text), c.valid) << c.text;
}

}  // namespace
