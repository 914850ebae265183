// The SQLite store's packed rows: a report packed from its body comes back byte for byte with the
// same decoded texts, or is refused (kept as it came) when it would not; a device-day's partitions
// come back as they went in.
#include <gtest/gtest.h>

#include "core/report_decoding.h"
#include "store/report_packing.h"
#include "store/rollups.h"

namespace tallyscope::server::store {
namespace {

struct Texts {
    std::map<std::string, std::int64_t> ids;
    std::map<std::int64_t, std::string> byId;
    PackedTexts packed{[this](const std::string& t) -> std::optional<std::int64_t> {
                           auto [it, fresh] = ids.emplace(t, static_cast<std::int64_t>(ids.size()) + 1);
                           byId[it->second] = t;
                           return it->second;
                       },
                       [this](std::int64_t id) { return byId.at(id); }};
};

Report decoded(const std::string& body) {
    TextDecoder decoder("windows-1252");
    auto d = decodeReportBody(body, decoder);
    EXPECT_TRUE(d.report) << d.reason;
    return d.report.value_or(Report{});
}

TEST(ReportPacking, BodiesComeBackByteForByteOrAreKeptAsTheyCame) {
    const std::string longName(2040, 'x');
    struct Case {
        const char* what;
        std::string body;
        bool packs;
        void (*change)(Report&) = nullptr;
    } cases[] = {
        {"app event, client time an hour behind", "Param={%22deviceid%22:%22D1%22,%22appkey%22:%22k%22,%22channelid%22:%22%22,"
                                    "%22installtype%22:%22app_start%22,%22time%22:%222026-08-09%2023:03:34%22}", true},
        {"app event, a time not of the library's form", "Param={%22deviceid%22:%22D1%22,%22appkey%22:%22k%22,%22channelid%22:%22%22,"
                                    "%22installtype%22:%22app_start%22,%22time%22:%222026-08-10%2024:03:34%22}", true},
        {"action, delimiters decoded in values, both hex cases",
         "Param={%22deviceid%22:%22D1%22,%22appkey%22:%22k%22,%22channelid%22:%22a%20b%22,"
         "%22actionname%22:%22x%22:%22y%22,%22actioncontent%22:%22caf%C3%A9%2c%2C%22}", true},
        {"device information", "devicecode=D1&appkey=k&channelid=store&pcosname=Microsoft%20Windows%2011&mac=m"
                               "&pcosversion=10.0&pcname=PC&pcusername=PC%5cuser&windowssid=s&pccpuid=c"
                               "&harddiskid=h&mainboardcode=b=c", true},
        {"device information cut short", "devicecode=D1&appkey=k&channelid=&pcosname=W&mac=m&pcosversion=1"
                                         "&pcname=" + longName, true},
        {"a value in the legacy code page", "Param={%22deviceid%22:%22D1%22,%22appkey%22:%22k%22,%22channelid%22:"
                                            "%22chan%e9%22,%22installtype%22:%22a%22,%22time%22:%22t%22}", false},
        {"decoded texts that are not the body's", "Param={%22deviceid%22:%22D1%22,%22appkey%22:%22k%22,"
                                                  "%22channelid%22:%22c%22,%22installtype%22:%22a%22,%22time%22:%22t%22}",
         false, [](Report& r) { r.channel = "other"; }},
        {"a body the template does not rebuild", "Param={%22deviceid%22:%22D1%22,%22appkey%22:%22k%22,"
                                                 "%22channelid%22:%22c%22,%22installtype%22:%22a%22,%22time%22:%22t%22}",
         false, [](Report& r) { r.body += " "; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Report r = decoded(c.body);
        r.arrivedMs = 1786320214567;  // 2026-08-10T00:03:34.567Z
        if (c.change) c.change(r);
        Texts texts;
        const auto packed = packReport(r, texts.packed);
        ASSERT_EQ(packed.has_value(), c.packs);
        Report back;
        back.kind = r.kind;
        back.arrivedMs = r.arrivedMs;
        back.deviceId = r.deviceId;
        back.appKey = r.appKey;
        if (packed) {
            EXPECT_LT(packed->size(), r.body.size());
            unpackReport(*packed, back, texts.packed);
        } else {
            back.body = r.body;
            unpackDecodedTexts(packDecodedTexts(r), back);
        }
        EXPECT_EQ(back.body, r.body);
        EXPECT_EQ(std::tie(back.channel, back.name, back.content, back.inventory),
                  std::tie(r.channel, r.name, r.content, r.inventory));
    }
}

TEST(ReportPacking, DevicePartitionsComeBackAndAlikeOnesCostAReference) {
    const int channelDim = dimensionCode(Dimension::Channel);
    PartitionDay every{2, 1, 0, {{{1, 0, 5}, 2}, {{2, 0, 6}, 1}, {{channelDim, 0, 9}, 3}}};
    PartitionDay channel = every;
    channel.values.erase({channelDim, 0, 9});
    PartitionDay other{1, 0, 0, {{{1, 0, 5}, 1}}};
    DeviceDay day{{-4, every}, {-3, channel}, {-2, other}, {-1, every}, {0, every}, {9, channel}};
    for (auto& [chan, d] : day) d.values[{0, 0, 0}] = d.ae + d.ac + d.dr;
    const std::string packed = packDeviceDay(day);
    const DeviceDay back = unpackDeviceDay(packed);
    ASSERT_EQ(back.size(), day.size());
    for (const auto& [chan, d] : day) {
        SCOPED_TRACE(chan);
        EXPECT_EQ(std::tie(back.at(chan).ae, back.at(chan).ac, back.at(chan).dr, back.at(chan).values),
                  std::tie(d.ae, d.ac, d.dr, d.values));
    }
    EXPECT_LT(packed.size(), packDeviceDay({{0, every}}).size() + packDeviceDay({{0, other}}).size() + 3 * 4)
        << "partitions alike are written once";
}

}  // namespace
}  // namespace tallyscope::server::store
