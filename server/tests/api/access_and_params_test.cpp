// The query API's plain logic: the access token and session cookies, the failed-attempt limit,
// parameter checking, CSV rows and the streamed export.
#include "api/auth.h"
#include "api/csv_export.h"
#include "api/export_stream.h"
#include "api/query_params.h"
#include "core/days.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace tallyscope::server::api {
namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        char pattern[] = "/tmp/tallyscope-api-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
};

TEST(AccessToken, CreatedOnceOwnerOnlyThenReadBackAndTokenFileMustHoldOne) {
    TempDir dir;
    AccessToken first = loadOrCreateToken(dir.path / "data", std::nullopt);
    EXPECT_TRUE(first.created);
    EXPECT_EQ(first.file, dir.path / "data" / "access-token");
    EXPECT_EQ(first.value.size(), 64u);
    EXPECT_EQ(first.value.find_first_not_of("0123456789abcdef"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(first.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    AccessToken again = loadOrCreateToken(dir.path / "data", std::nullopt);
    EXPECT_FALSE(again.created);
    EXPECT_EQ(again.value, first.value);
    EXPECT_NE(loadOrCreateToken(dir.path / "other", std::nullopt).value, first.value);

    struct Case {
        const char* content;
        bool accepted;
    } cases[] = {
        {"a-team-secret-of-some-length\n", true},
        {"  padded-secret-token-value \r\n", true},
        {"short\n", false},
        {"two words in the token file\n", false},
        {"", false},
    };
    for (const Case& c : cases) {
        fs::path file = dir.path / "given-token";
        std::ofstream(file, std::ios::binary) << c.content;
        if (c.accepted) {
            AccessToken given = loadOrCreateToken(dir.path / "unused", file);
            EXPECT_FALSE(given.created);
            EXPECT_EQ(given.value.find_first_of(" \r\n"), std::string::npos) << c.content;
        } else {
            EXPECT_THROW(loadOrCreateToken(dir.path / "unused", file), std::runtime_error) << c.content;
        }
    }
    EXPECT_THROW(loadOrCreateToken(dir.path, dir.path / "missing"), std::runtime_error);
    EXPECT_FALSE(fs::exists(dir.path / "unused" / "access-token"));
}

TEST(Secrets, FreshEachTimeAndKeptOnlyAsTheirSha256) {
    EXPECT_NE(newSecret(), newSecret());
    EXPECT_EQ(newSecret().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(secretHash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(TrustedProxies, ForwardedForIsBelievedOnlyFromTrustedPeersAndOnlyAsFarAsTheyGo) {
    TrustedProxies proxies({"10.0.0.0/8", "192.168.1.7", "fd00::/8", " 172.16.0.0/12 "});
    struct {
        const char* peer;
        const char* forwardedFor;  // nullptr: no header
        const char* client;
    } cases[] = {
        {"203.0.113.5", "1.2.3.4", "203.0.113.5"},        // not a proxy: the header is the client's own text
        {"10.1.2.3", nullptr, "10.1.2.3"},
        {"10.1.2.3", "198.51.100.9", "198.51.100.9"},
        {"10.1.2.3", "6.6.6.6, 198.51.100.9", "198.51.100.9"},  // the left end is anyone's to write
        {"10.1.2.3", "198.51.100.9,10.9.9.9", "198.51.100.9"},   // two proxies deep
        {"10.1.2.3", "10.2.2.2, 10.3.3.3", "10.2.2.2"},          // only proxies: the farthest one
        {"10.1.2.3", "garbage, 198.51.100.9", "198.51.100.9"},
        {"10.1.2.3", "198.51.100.9, garbage", "10.1.2.3"},       // a hop no proxy would write
        {"192.168.1.7", "2001:db8::1", "2001:db8::1"},
        {"192.168.1.8", "2001:db8::1", "192.168.1.8"},
        {"::ffff:10.0.0.1", "198.51.100.9", "198.51.100.9"},     // v4 on a dual-stack socket
        {"fd12::1", "198.51.100.9", "198.51.100.9"},
        {"fe80::1", "198.51.100.9", "fe80::1"},
        {"172.31.255.255", "198.51.100.9", "198.51.100.9"},
        {"172.32.0.0", "198.51.100.9", "172.32.0.0"},
    };
    for (const auto& c : cases) {
        std::optional<std::string> header;
        if (c.forwardedFor) header = c.forwardedFor;
        EXPECT_EQ(proxies.clientAddress(c.peer, header ? &*header : nullptr), c.client) << c.peer << " " << c.forwardedFor;
    }
    EXPECT_EQ(TrustedProxies().clientAddress("10.1.2.3", nullptr), "10.1.2.3");
    for (const char* bad : {"10.0.0.0/33", "10.0.0/8", "::/129", "example.com", "10.0.0.0/", "10.0.0.0/-1"})
        EXPECT_THROW(TrustedProxies({bad}), std::invalid_argument) << bad;
}

TEST(ForeignOrigin, OriginOrElseRefererMustBeTheServersOwn) {
    struct {
        const char* origin;
        const char* referer;
        const char* scheme;
        const char* host;
        bool foreign;
    } cases[] = {
        {nullptr, nullptr, "http", "stats.example:8080", false},
        {"http://stats.example:8080", nullptr, "http", "stats.example:8080", false},
        {"HTTP://Stats.Example:8080", nullptr, "http", "stats.example:8080", false},
        {"https://stats.example", nullptr, "https", "stats.example:443", false},
        {"http://stats.example:8080", "https://evil.example/", "http", "stats.example:8080", false},  // Origin wins
        {nullptr, "http://stats.example:8080/tokens?x=1", "http", "stats.example:8080", false},
        {"https://evil.example", nullptr, "http", "stats.example:8080", true},
        {"null", nullptr, "http", "stats.example:8080", true},
        {"https://stats.example:8080", nullptr, "http", "stats.example:8080", true},
        {"http://stats.example:8081", nullptr, "http", "stats.example:8080", true},
        {"http://stats.example:8080.evil.example", nullptr, "http", "stats.example:8080", true},
        {nullptr, "https://evil.example/http://stats.example:8080", "http", "stats.example:8080", true},
    };
    for (const auto& c : cases) {
        std::optional<std::string> origin, referer;
        if (c.origin) origin = c.origin;
        if (c.referer) referer = c.referer;
        EXPECT_EQ(foreignOrigin(origin ? &*origin : nullptr, referer ? &*referer : nullptr, c.scheme, c.host), c.foreign)
            << (c.origin ? c.origin : "-") << " " << (c.referer ? c.referer : "-");
    }
}

TEST(FailureLimiter, BlocksAnAddressForTheRestOfItsWindowOnlyAndStaysBounded) {
    using namespace std::chrono_literals;
    FailureLimiter limiter(3, 60s, 2);
    auto t0 = FailureLimiter::Clock::now();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(limiter.blockedFor("10.0.0.1", t0 + 1s), 0) << i;
        EXPECT_EQ(limiter.recordFailure("10.0.0.1", t0 + std::chrono::seconds(i)), i == 2) << "the one to log";
    }
    EXPECT_EQ(limiter.blockedFor("10.0.0.1", t0 + 10s), 50);
    EXPECT_EQ(limiter.blockedFor("10.0.0.2", t0 + 10s), 0);
    EXPECT_EQ(limiter.blockedFor("10.0.0.1", t0 + 60s), 0) << "window over";
    limiter.recordFailure("10.0.0.1", t0 + 61s);
    EXPECT_EQ(limiter.blockedFor("10.0.0.1", t0 + 62s), 0) << "counting starts again";

    // A full table drops the oldest entry, never grows: the third address pushes the first out.
    FailureLimiter small(1, 60s, 2);
    small.recordFailure("a", t0);
    small.recordFailure("b", t0 + 1s);
    small.recordFailure("c", t0 + 2s);
    EXPECT_EQ(small.blockedFor("a", t0 + 3s), 0);
    EXPECT_GT(small.blockedFor("b", t0 + 3s), 0);
    EXPECT_GT(small.blockedFor("c", t0 + 3s), 0);
}

TEST(HeaderParsing, CookieAndBearerValues) {
    struct {
        const char* header;
        std::optional<std::string_view> session;
    } cookies[] = {
        {"tallyscope_session=abc", "abc"},
        {"other=1; tallyscope_session=1.ff ; x=y", "1.ff"},
        {"xtallyscope_session=abc", std::nullopt},
        {"tallyscope_session", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cookies) EXPECT_EQ(cookieValue(c.header, kSessionCookie), c.session) << c.header;

    struct {
        const char* header;
        std::optional<std::string_view> token;
    } bearers[] = {
        {"Bearer abc", "abc"}, {"bearer  abc ", "abc"}, {"BEARER abc", "abc"},
        {"Basic abc", std::nullopt}, {"Bearer", std::nullopt}, {"Bearer   ", std::nullopt},
    };
    for (const auto& b : bearers) EXPECT_EQ(bearerToken(b.header), b.token) << b.header;
}

TEST(QueryArgs, DefaultsRangesAndEveryRefusal) {
    const int today = *ReportingDays::parse("2026-12-08");
    auto day = [](const char* text) { return *ReportingDays::parse(text); };
    const Accepts daily{true, false, false}, top{true, true, false}, exportCsv{false, false, true};

    struct Good {
        const char* query;
        Accepts accepts;
        const char* from;
        const char* to;
        std::optional<std::string> channel;
        int limit;
    } goods[] = {
        {"", daily, "2026-11-09", "2026-12-08", std::nullopt, 10},
        {"to=2026-01-31", daily, "2026-01-02", "2026-01-31", std::nullopt, 10},
        {"from=2026-12-01", daily, "2026-12-01", "2026-12-08", std::nullopt, 10},
        {"from=2026-12-08&to=2026-12-08&channel=", daily, "2026-12-08", "2026-12-08", "", 10},
        {"channel=a%2Bb+c%C3%A9", daily, "2026-11-09", "2026-12-08", "a+b c\xC3\xA9", 10},
        {"dimension=content&action=Open%20file&limit=1000", top, "2026-11-09", "2026-12-08", std::nullopt, 1000},
        {"from=2000-01-01&to=2026-12-08", exportCsv, "2000-01-01", "2026-12-08", std::nullopt, 10},
        {"from=2016-12-01&to=2026-12-08", daily, "2016-12-01", "2026-12-08", std::nullopt, 10},  // 3660 days
    };
    for (const Good& g : goods) {
        auto parsed = parseQueryArgs(g.query, g.accepts, today);
        ASSERT_TRUE(std::holds_alternative<QueryArgs>(parsed))
            << g.query << ": " << std::get<BadRequest>(parsed).reason;
        const QueryArgs& args = std::get<QueryArgs>(parsed);
        EXPECT_EQ(args.range.from, day(g.from)) << g.query;
        EXPECT_EQ(args.range.to, day(g.to)) << g.query;
        EXPECT_EQ(args.channel, g.channel) << g.query;
        EXPECT_EQ(args.limit, g.limit) << g.query;
    }

    struct Bad {
        const char* query;
        Accepts accepts;
        const char* reasonHas;
    } bads[] = {
        {"from=2026-12-09&to=2026-12-08", daily, "after"},
        {"from=2026-12-09", daily, "after"},
        {"from=2026-02-30", daily, "not a date"},
        {"to=2026-1-5", daily, "not a date"},
        {"from=today", daily, "not a date"},
        {"form=2026-12-01", daily, "unknown parameter"},
        {"dimension=event", daily, "unknown parameter"},
        {"channel=x", exportCsv, "unknown parameter"},
        {"from=2026-12-01&from=2026-12-02", daily, "twice"},
        {"channel=%4", daily, "escape"},
        {"channel=%zz", daily, "escape"},
        {"channel=%FF", daily, "UTF-8"},
        {"from=2000-01-01", daily, "longer than"},
        {"from=2016-11-30&to=2026-12-08", daily, "longer than 3660 days"},
        {"", top, "dimension is missing"},
        {"dimension=device", top, "none of"},
        {"dimension=event&action=x", top, "only goes with dimension=content"},
        {"dimension=event&limit=0", top, "limit"},
        {"dimension=event&limit=1001", top, "limit"},
        {"dimension=event&limit=ten", top, "limit"},
        {"dimension=event&limit=10%20", top, "limit"},
    };
    for (const Bad& b : bads) {
        auto parsed = parseQueryArgs(b.query, b.accepts, today);
        ASSERT_TRUE(std::holds_alternative<BadRequest>(parsed)) << b.query;
        EXPECT_NE(std::get<BadRequest>(parsed).reason.find(b.reasonHas), std::string::npos)
            << b.query << ": " << std::get<BadRequest>(parsed).reason;
    }
}

Report sampleAction(std::string content, std::string body) {
    Report r;
    r.arrivedMs = 1796765629123;  // 2026-12-08T21:33:49.123Z
    r.kind = ReportKind::Action;
    r.deviceId = "D1";
    r.appKey = "K";
    r.channel = "";
    r.name = "Save";
    r.content = std::move(content);
    r.body = std::move(body);
    return r;
}

TEST(CsvExport, HeaderAndRowsQuoteOnlyWhatNeedsItAndKeepTheFileUtf8) {
    std::string out;
    appendCsvHeader(out);
    EXPECT_EQ(out,
              "arrived,kind,deviceid,appkey,channel,name,content,pcosname,mac,pcosversion,pcname,"
              "pcusername,windowssid,pccpuid,harddiskid,mainboardcode,body,report_id\r\n");

    struct {
        std::string content, body, row;
    } cases[] = {
        {"plain", "Param=x", "2026-12-08T21:33:49Z,action,D1,K,,Save,plain,,,,,,,,,,Param=x,\r\n"},
        {"a,b", "x", "2026-12-08T21:33:49Z,action,D1,K,,Save,\"a,b\",,,,,,,,,,x,\r\n"},
        {"say \"hi\"", "x", "2026-12-08T21:33:49Z,action,D1,K,,Save,\"say \"\"hi\"\"\",,,,,,,,,,x,\r\n"},
        {"two\r\nlines", "x", "2026-12-08T21:33:49Z,action,D1,K,,Save,\"two\r\nlines\",,,,,,,,,,x,\r\n"},
        {"lone\rreturn", "x", "2026-12-08T21:33:49Z,action,D1,K,,Save,\"lone\rreturn\",,,,,,,,,,x,\r\n"},
        // What a spreadsheet would run is made text; the body column stays exact, whatever it holds.
        {"=HYPERLINK(\"http://x\")", "=1", "2026-12-08T21:33:49Z,action,D1,K,,Save,\"'=HYPERLINK(\"\"http://x\"\")\",,,,,,,,,,=1,\r\n"},
        {"+1+cmd|' /C calc'!A0", "+", "2026-12-08T21:33:49Z,action,D1,K,,Save,'+1+cmd|' /C calc'!A0,,,,,,,,,,+,\r\n"},
        {"-2+3", "-", "2026-12-08T21:33:49Z,action,D1,K,,Save,'-2+3,,,,,,,,,,-,\r\n"},
        {"@SUM(A1)", "@", "2026-12-08T21:33:49Z,action,D1,K,,Save,'@SUM(A1),,,,,,,,,,@,\r\n"},
        {"\t=1+1", "\tb", "2026-12-08T21:33:49Z,action,D1,K,,Save,'\t=1+1,,,,,,,,,,\tb,\r\n"},
        {"\r=1+1", "\rb", "2026-12-08T21:33:49Z,action,D1,K,,Save,\"'\r=1+1\",,,,,,,,,,\"\rb\",\r\n"},
        {"a=1", "b", "2026-12-08T21:33:49Z,action,D1,K,,Save,a=1,,,,,,,,,,b,\r\n"},
        {"caf\xC3\xA9", "v=caf\xC3\xA9", "2026-12-08T21:33:49Z,action,D1,K,,Save,caf\xC3\xA9,,,,,,,,,,v=caf\xC3\xA9,\r\n"},
        // A body that is not UTF-8 (never one the library sends) keeps its bytes as %XX.
        {"x", "v=caf\xE9%41\xC3", "2026-12-08T21:33:49Z,action,D1,K,,Save,x,,,,,,,,,,v=caf%E9%41%C3,\r\n"},
    };
    for (const auto& c : cases) {
        std::string row;
        appendCsvRow(row, sampleAction(c.content, c.body));
        EXPECT_EQ(row, c.row);
    }

    Report info;
    info.arrivedMs = 0;
    info.kind = ReportKind::DeviceInfo;
    info.inventory = {"Windows 10", "00:11", "10.0", "PC", "me", "S-1", "cpu", "disk", "board"};
    info.reportId = "00112233445566778899aabbccddeeff";
    std::string row;
    appendCsvRow(row, info);
    EXPECT_EQ(row, "1970-01-01T00:00:00Z,device_info,,,,,,Windows 10,00:11,10.0,PC,me,S-1,cpu,disk,board,,"
                   "00112233445566778899aabbccddeeff\r\n");
}

std::string drain(http::BodySource& source) {
    std::string all, piece;
    while (source(piece)) {
        all += piece;
        piece.clear();
    }
    return all + piece;
}

TEST(CsvExportStream, PiecesAddUpToTheFileAFailureBreaksItAndALeavingReaderStopsTheWalk) {
    const int count = 500;
    http::BodySource source = csvExportStream(
        [&](const ReportSink& sink) {
            for (int i = 0; i < count; ++i)
                if (!sink(sampleAction(std::to_string(i), "b"))) return;
        },
        256);
    std::string expected;
    appendCsvHeader(expected);
    for (int i = 0; i < count; ++i) appendCsvRow(expected, sampleAction(std::to_string(i), "b"));
    EXPECT_EQ(drain(source), expected);

    http::BodySource failing = csvExportStream([](const ReportSink& sink) {
        sink(sampleAction("x", "b"));
        throw StoreError("connection lost");
    });
    EXPECT_THROW(drain(failing), StoreError);

    // An endless walk: the reader takes one piece and goes away; the walk must end by itself.
    std::atomic<bool> stopped{false};
    {
        http::BodySource endless = csvExportStream(
            [&](const ReportSink& sink) {
                while (sink(sampleAction("y", "b"))) {
                }
                stopped = true;
            },
            1024);
        std::string piece;
        EXPECT_TRUE(endless(piece));
        EXPECT_GE(piece.size(), 1024u);
    }
    EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace tallyscope::server::api
