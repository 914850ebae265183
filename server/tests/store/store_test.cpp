// The store's figures against an oracle computed from the raw reports, on both backends: after
// ingest in batches (with late arrivals), after erasing a device, after pruning raw reports, and
// after a restart. Plus the schema's versions and the bounded rejects table.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "core/days.h"
#include "store/migrations.h"
#include "store/oracle.h"
#include "store/store_backends.h"

namespace tallyscope::server::testing {
namespace {

constexpr int kLastDay = kFirstDay + 90;
constexpr int kToday = kFirstDay + 80;  // some D+30 have not come yet

struct Check {
    std::string app;
    std::optional<std::string> channel;
};

const std::vector<Check> kChecks = {
    {"k1", std::nullopt}, {"k1", std::string("")}, {"k1", std::string("store")}, {"k1", std::string("beta")},
    {"k1", std::string("no-such-channel")}, {"k2", std::nullopt}, {"k2", std::string("beta")}, {"nokey", std::nullopt}};

const std::vector<std::pair<int, int>> kRanges = {
    {kFirstDay - 3, kLastDay}, {kFirstDay + 10, kFirstDay + 11}, {kFirstDay + 17, kFirstDay + 17},
    {kFirstDay + 12, kFirstDay + 41}, {kFirstDay + 30, kFirstDay + 36}};

void expectSameFigures(Store& store, const Oracle& oracle, const std::string& when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(flat(store.apps()), flat(oracle.apps()));
    EXPECT_TRUE(store.hasApp("k1"));
    EXPECT_FALSE(store.hasApp("nokey"));
    for (const Check& c : kChecks) {
        SCOPED_TRACE(c.app + " channel " + c.channel.value_or("(all)"));
        EXPECT_EQ(flat(store.daily(c.app, kFirstDay - 3, kLastDay, c.channel)),
                  flat(oracle.daily(c.app, kFirstDay - 3, kLastDay, c.channel)));
        EXPECT_EQ(flat(store.retention(c.app, kFirstDay - 1, kLastDay, kToday, c.channel)),
                  flat(oracle.retention(c.app, kFirstDay - 1, kLastDay, kToday, c.channel)));
        for (const auto& [from, to] : kRanges) {
            SCOPED_TRACE(ReportingDays::format(from) + " to " + ReportingDays::format(to));
            EXPECT_EQ(store.activeDevices(c.app, from, to, c.channel), oracle.activeDevices(c.app, from, to, c.channel));
            for (Dimension dim : {Dimension::Event, Dimension::Action, Dimension::Content, Dimension::Channel,
                                  Dimension::Os, Dimension::OsVersion}) {
                for (int limit : {100, 3}) {
                    TopQuery q{c.app, dim, from, to, c.channel, std::nullopt, limit};
                    EXPECT_EQ(flat(store.top(q)), flat(oracle.top(q))) << "dimension " << static_cast<int>(dim)
                                                                      << " limit " << limit;
                }
            }
            for (const char* action : {"open", "click", "no-such-action"}) {
                TopQuery q{c.app, Dimension::Content, from, to, c.channel, std::string(action), 10};
                EXPECT_EQ(flat(store.top(q)), flat(oracle.top(q))) << "contents of " << action;
            }
        }
    }
    std::set<std::pair<std::string, std::string>> devices;
    for (const Report& r : oracle.reports) devices.insert({r.appKey, r.deviceId});
    for (const auto& [app, device] : devices) {
        EXPECT_EQ(flat(store.device(app, device)), flat(oracle.device(app, device))) << app << " " << device;
    }
    // Device look-up: identifier prefixes, name parts, short texts, LIKE's own characters, any case.
    for (const std::string app : {"k1", "k2"})
        for (const char* text : {"pc1", "Pc\\U", "x\\A", "a11ce", "0000000000000000000000000A11CE", "unknown pc",
                                 "RECHNER", "\xC3\xBCro-r", "pc", "P", "c1", "0", "%", "_", "!", "zzz"})
            for (std::size_t limit : {100, 3}) {
                EXPECT_EQ(flat(store.findDevices(app, text, static_cast<int>(limit))), oracle.findDevices(app, text, limit))
                    << app << " finds " << text << " limit " << limit;
            }
}

std::vector<std::tuple<std::int64_t, std::string, std::string, std::string>> exported(
    Store& store, const ReportingDays& days, const std::string& app, int from, int to, const Filters& filters = {}) {
    std::vector<std::tuple<std::int64_t, std::string, std::string, std::string>> out;
    store.exportReports(app, from, to, filters, [&](const Report& r) {
        EXPECT_EQ(r.appKey, app);
        out.emplace_back(r.arrivedMs, r.deviceId, r.body, r.reportId);
        return true;
    });
    (void)days;
    return out;
}

// Sends again every identified report that `which` picks, once across batches and once twice in
// one batch: nothing is stored.
template <typename F>
void repeatIdentified(Store& store, const std::vector<Report>& reports, F&& which) {
    std::vector<Report> again;
    for (const Report& r : reports)
        if (!r.reportId.empty() && which(r)) again.push_back(r);
    ASSERT_FALSE(again.empty());
    const std::vector<Report> firstHalf(again.begin(), again.begin() + static_cast<std::ptrdiff_t>(again.size() / 2));
    again.insert(again.end(), firstHalf.begin(), firstHalf.end());
    const AppendResult outcome = store.appendUnsettled(again);
    EXPECT_EQ(outcome.stored, 0u);
    EXPECT_EQ(outcome.repeats, again.size());
}

template <typename F>
void eraseFrom(std::vector<Report>& v, F&& which) {
    v.erase(std::remove_if(v.begin(), v.end(), which), v.end());
}

class StoreTest : public ::testing::TestWithParam<Backend> {};

TEST_P(StoreTest, FiguresEqualOracleThroughErasurePruningAndRestart) {
    ReportingDays days(kOracleZone);
    const DataSet data = generate();
    StoreLocation where(GetParam());
    Oracle oracle{data.reports};

    // The data set holds what the figures are meant to exercise.
    const auto k1 = oracle.retention("k1", kFirstDay, kLastDay, kToday, std::nullopt);
    EXPECT_GT(std::count_if(k1.begin(), k1.end(), [](const Cohort& c) { return c.d1.value_or(0) > 0; }), 3);
    EXPECT_GT(std::count_if(k1.begin(), k1.end(), [](const Cohort& c) { return c.d30.value_or(0) > 0; }), 1);
    for (int silent : kSilentDays) EXPECT_EQ(oracle.daily("k1", silent, silent, std::nullopt)[0].appEvents, 0);

    {
        auto store = where.open(days);
        // Half the batches as the writer stores them, rows first and rollups later.
        std::size_t repeats = 0, n = 0;
        for (const auto& batch : data.batches)
            repeats += (++n % 2 ? store->appendUnsettled(batch) : store->append(batch)).repeats;
        EXPECT_EQ(repeats, [&] {
            std::size_t n = 0;
            for (const auto& batch : data.batches) n += batch.size();
            return n - data.reports.size();
        }()) << "a repeat within one batch is stored once";
        std::vector<Report> unsettled;
        for (std::size_t i = 0; i < data.batches.size(); i += 2)
            unsettled.insert(unsettled.end(), data.batches[i].begin(), data.batches[i].end());
        {
            // Repeats of reports still unsettled, whose ids wait beside the rows, are found too,
            // and the export gives those reports their ids.
            EXPECT_GT(store->unsettled(), 0u);
            repeatIdentified(*store, unsettled, [](const Report&) { return true; });
            EXPECT_GT(store->unsettled(), 0u);
            if (GetParam() == Backend::Postgres) {
                // Another server opening the database counts what this one has not counted yet,
                // once, from the rows; this one's copies of those reports are then dropped.
                auto other = where.open(days);
                expectSameFigures(*other, oracle, "after another server settled this one's reports");
                store->settle();
            }
            EXPECT_EQ(exported(*store, days, "k1", kFirstDay, kLastDay),
                      oracle.exported("k1", days.startOf(kFirstDay), days.startOf(kLastDay + 1)));
        }
        if (GetParam() == Backend::Sqlite) {
            // A crash before the rollups were written: the next open counts those reports, once.
            StoreLocation image(Backend::Sqlite);
            for (const char* file : {"/tallyscope.db", "/tallyscope.db-wal"})
                std::filesystem::copy_file(where.options.dataDir + file, image.options.dataDir + file);
            auto recovered = image.open(days);
            expectSameFigures(*recovered, oracle, "after a crash with reports unsettled");
            // Their ids are known across a restart, before and after they are filed into the rows.
            recovered.reset();
            recovered = image.open(days);
            EXPECT_EQ(exported(*recovered, days, "k1", kFirstDay, kLastDay),
                      oracle.exported("k1", days.startOf(kFirstDay), days.startOf(kLastDay + 1)));
            repeatIdentified(*recovered, unsettled, [](const Report&) { return true; });
            EXPECT_TRUE(recovered->eraseDevice("k1", "no such device") == false);
            repeatIdentified(*recovered, unsettled, [](const Report&) { return true; });
        }
        expectSameFigures(*store, oracle, "after ingest");
        repeatIdentified(*store, data.reports, [](const Report&) { return true; });
        expectSameFigures(*store, oracle, "after every identified report came again");

        const std::int64_t from = days.startOf(kFirstDay + 10), to = days.startOf(kFirstDay + 21);
        EXPECT_EQ(exported(*store, days, "k1", kFirstDay + 10, kFirstDay + 20), oracle.exported("k1", from, to));
        int seen = 0;
        store->exportReports("k1", kFirstDay, kLastDay, [&](const Report&) { return ++seen < 5; });
        EXPECT_EQ(seen, 5) << "the walk stops when the sink says so";

        // Erasure: the device of both keys, erased from one; every figure forgets it there.
        const std::string erased = data.reports.front().deviceId;
        std::string twoKeys;
        for (const Report& r : data.reports)
            if (r.appKey == "k2" && r.deviceId.rfind("EDGE", 0) != 0) twoKeys = r.deviceId;
        ASSERT_FALSE(twoKeys.empty());
        EXPECT_TRUE(store->eraseDevice("k1", twoKeys));
        EXPECT_TRUE(store->eraseDevice("k1", erased));
        EXPECT_FALSE(store->eraseDevice("k1", erased)) << "a second erasure finds nothing";
        EXPECT_FALSE(store->eraseDevice("k1", "no-such-device"));
        EXPECT_FALSE(store->eraseDevice("nokey", twoKeys));
        EXPECT_FALSE(store->device("k1", twoKeys));
        EXPECT_TRUE(store->device("k2", twoKeys)) << "the other key keeps its reports";
        eraseFrom(oracle.reports, [&](const Report& r) {
            return r.appKey == "k1" && (r.deviceId == erased || r.deviceId == twoKeys);
        });
        expectSameFigures(*store, oracle, "after erasing two devices");
        // A late repeat of an erased report does not bring the device back.
        repeatIdentified(*store, data.reports, [&](const Report& r) { return r.appKey == "k1" && r.deviceId == erased; });
        EXPECT_FALSE(store->device("k1", erased));
        expectSameFigures(*store, oracle, "after erased reports came again");
        EXPECT_EQ(exported(*store, days, "k1", kFirstDay - 1, kLastDay),
                  oracle.exported("k1", days.startOf(kFirstDay - 1), days.startOf(kLastDay + 1)));

        // Reports arriving after an erasure count again, as a new device.
        std::vector<Report> again = {makeReport(localMoment(kFirstDay + 50, 100), ReportKind::AppEvent, erased, "k1", "",
                                                "app_start", "2026-04-11 00:01:40")};
        store->append(again);
        oracle.reports.push_back(again[0]);
        expectSameFigures(*store, oracle, "after the erased device came back");

        // A device renamed: found by its new names only.
        const auto named = std::find_if(data.reports.begin(), data.reports.end(), [](const Report& r) {
            return r.appKey == "k1" && r.kind == ReportKind::DeviceInfo && r.inventory[3] == "PC12";
        });
        ASSERT_NE(named, data.reports.end());
        Report renamed = *named;
        renamed.arrivedMs = localMoment(kFirstDay + 60, 100);
        renamed.reportId.clear();
        renamed.inventory[3] = "B\xC3\xBCro-Rechner";
        renamed.inventory[4] = "B\xC3\xBCro\\Anna";
        store->append({renamed});
        oracle.reports.push_back(renamed);
        expectSameFigures(*store, oracle, "after a device was renamed");

        // Pruning drops raw reports only.
        const std::int64_t cutoff = days.startOf(kFirstDay + 30);
        std::int64_t older = 0;
        for (const Report& r : oracle.reports) older += r.arrivedMs < cutoff;
        EXPECT_EQ(store->prune(cutoff), older);
        EXPECT_EQ(store->prune(cutoff), 0);
        expectSameFigures(*store, oracle, "after pruning");
        EXPECT_EQ(exported(*store, days, "k1", kFirstDay - 1, kLastDay),
                  oracle.exported("k1", cutoff, days.startOf(kLastDay + 1)));
        // Erasure still works on figures whose raw reports are gone.
        const std::string early = data.reports[3].deviceId;
        if (data.reports[3].appKey == "k1" && early != erased && early != twoKeys) {
            EXPECT_TRUE(store->eraseDevice("k1", early));
            eraseFrom(oracle.reports, [&](const Report& r) { return r.appKey == "k1" && r.deviceId == early; });
        }
        expectSameFigures(*store, oracle, "after erasing a pruned device");
    }
    if (GetParam() == Backend::Postgres) {
        // Back to the schema before the spans summed their reports: the restart fills them again
        // from the device days, then the values' day counts from the spans, and every ranking
        // must come out as the writer had counted it.
        pqxx::connection c(where.options.url);
        pqxx::work w(c);
        ASSERT_EQ(w.exec("SELECT MAX(version) FROM schema_version")[0][0].as<int>(), 14);
        w.exec("DROP FUNCTION claim_unsettled; DROP FUNCTION store_marked; DROP TABLE unsettled_reports;"
               " ALTER TABLE value_span DROP COLUMN reports;"
               " ALTER TABLE value_span ADD PRIMARY KEY (app, chan, dim, sub, value, day, prev_day) INCLUDE (devices);"
               " DELETE FROM schema_version WHERE version >= 11");
        w.commit();
    }
    auto reopened = where.open(days);
    expectSameFigures(*reopened, oracle, "after a restart");
    const std::int64_t cutoff = days.startOf(kFirstDay + 30);
    repeatIdentified(*reopened, oracle.reports, [&](const Report& r) { return r.arrivedMs >= cutoff; });
    expectSameFigures(*reopened, oracle, "after repeats sent to the restarted store");
}

TEST_P(StoreTest, MigrationsApplyOnceOnAnEmptyStoreAndOnEveryRestart) {
    ReportingDays days("UTC");
    StoreLocation where(GetParam());
    const auto migrations = store::migrationsFor(GetParam() == Backend::Sqlite ? "sqlite" : "postgresql");
    ASSERT_FALSE(migrations.empty());
    for (int start = 0; start < 3; ++start) {
        auto s = where.open(days);
        EXPECT_EQ(s->apps().size(), start == 0 ? 0u : 1u);
        s->append({makeReport(1765000000000 + start, ReportKind::AppEvent, "D1", "k", "", "app_start", "t")});
    }
    std::vector<std::int64_t> versions;
    if (GetParam() == Backend::Sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((where.options.dataDir + "/tallyscope.db").c_str(), &db), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT version FROM schema_version ORDER BY version", -1, &st, nullptr), SQLITE_OK);
        while (sqlite3_step(st) == SQLITE_ROW) versions.push_back(sqlite3_column_int64(st, 0));
        sqlite3_finalize(st);
        sqlite3_close(db);
    } else {
        pqxx::connection c(where.options.url);
        pqxx::work w(c);
        for (const auto& row : w.exec("SELECT version FROM schema_version ORDER BY version"))
            versions.push_back(row[0].as<std::int64_t>());
    }
    std::vector<std::int64_t> expected;
    for (const auto& m : migrations) expected.push_back(m.version);
    EXPECT_EQ(versions, expected);
    auto s = where.open(days);
    EXPECT_EQ(s->apps().at(0).reports, 3) << "data survives every restart";
    if (GetParam() == Backend::Sqlite) {
        // A store from before ids waited beside their marks (its schema put back by hand): after
        // the upgrade its stored id is still found.
        Report identified = makeReport(1765000000100, ReportKind::AppEvent, "D1", "k", "", "app_start", "t");
        identified.reportId = std::string(32, 'a');
        s->append({identified});
        s.reset();
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((where.options.dataDir + "/tallyscope.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "DROP TABLE waiting_report_ids; ALTER TABLE unsettled_reports DROP COLUMN report_id;"
                                   " ALTER TABLE unsettled_reports DROP COLUMN app;"
                                   " DELETE FROM schema_version WHERE version = 11",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        s = where.open(days);
        EXPECT_EQ(s->append({identified}).repeats, 1u);
        EXPECT_EQ(s->apps().at(0).reports, 4);
    }
}

TEST_P(StoreTest, RejectsKeepTheNewestOnly) {
    ReportingDays days("UTC");
    StoreLocation where(GetParam(), 5);
    auto s = where.open(days);
    for (int i = 0; i < 12; ++i) s->reject({1000 + i, "reason " + std::to_string(i), std::string("body\0\xff", 6) + std::to_string(i)});
    const auto kept = s->rejects(100);
    ASSERT_EQ(kept.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(kept[static_cast<std::size_t>(i)].arrivedMs, 1011 - i);
        EXPECT_EQ(kept[static_cast<std::size_t>(i)].body, std::string("body\0\xff", 6) + std::to_string(11 - i))
            << "bodies are kept byte for byte";
    }
}

// Several server processes share one PostgreSQL database: two stores (two connections, as two
// processes would have) write interleaved batches of the same devices at once, while a third
// erases one of those devices again and again. Whatever the interleaving, nothing of the device
// may be left that the export does not show: every figure equals an oracle over the export, and
// no row points at a device id that is gone.
TEST(PostgresStore, ConcurrentWritersAndErasuresKeepTheFiguresExact) {
    ReportingDays days(kOracleZone);
    const DataSet data = generate();
    StoreLocation where(Backend::Postgres);
    auto first = where.open(days);
    auto second = where.open(days);
    auto eraser = where.open(days);
    std::string victim;
    {
        std::map<std::string, std::set<std::size_t>> spread;
        for (std::size_t b = 0; b < data.batches.size(); ++b)
            for (const Report& r : data.batches[b])
                if (r.appKey == "k1") spread[r.deviceId].insert(b);
        std::size_t most = 0;
        for (const auto& [device, batches] : spread)
            if (batches.size() > most) most = batches.size(), victim = device;
    }
    std::atomic<bool> writing{true};
    std::atomic<int> erasures{0};
    int found = 0;
    std::thread erasing([&] {
        while (writing.load()) {
            found += eraser->eraseDevice("k1", victim);
            ++erasures;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // As the servers' writers store them: rows first, rollups some batches later, so erasures
    // meet reports waiting to be counted. A batch holding the device waits for an erasure to run
    // after it, however fast either side is. The second writer's last ones are left for the first
    // one's queries to count.
    const auto paced = [&](Store& store, std::size_t from) {
        for (std::size_t i = from; i < data.batches.size(); i += 2) {
            store.appendUnsettled(data.batches[i]);
            if (i % 8 == 6) store.settle();
            const auto& b = data.batches[i];
            if (std::none_of(b.begin(), b.end(), [&](const Report& r) { return r.deviceId == victim; })) continue;
            const int seen = erasures.load();
            for (int waited = 0; erasures.load() < seen + 2 && waited < 5000; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::thread other([&] { paced(*second, 1); });
    paced(*first, 0);
    first->settle();
    other.join();
    writing = false;
    erasing.join();
    EXPECT_GE(found, 6) << "the erasures did not race with ingest";

    Oracle fromExport;
    for (const char* app : {"k1", "k2"})
        first->exportReports(app, kFirstDay - 5, kLastDay + 5, [&](const Report& r) {
            fromExport.reports.push_back(r);
            fromExport.reports.back().appKey = app;
            return true;
        });
    expectSameFigures(*first, fromExport, "after two writers and " + std::to_string(erasures.load()) + " erasures");
    pqxx::connection c(where.options.url);
    pqxx::work w(c);
    for (const char* table : {"reports", "app_device", "device_days", "inventory"})
        EXPECT_EQ(w.exec1(std::string("SELECT count(*) FROM ") + table +
                          " t WHERE NOT EXISTS (SELECT 1 FROM devices d WHERE d.id = t.device)")[0].as<int>(), 0)
            << "rows of " << table << " point at an erased device id";
}

// Filters by channel, OS name and OS version, alone and together, and the breakdowns: against
// figures computed from the raw reports. Reports arrive in order except every ninth app event or
// action, which comes late; device information arrives as the server stamps it, in order.
TEST_P(StoreTest, FilteredFiguresAndBreakdownsEqualOracle) {
    ReportingDays days(kOracleZone);
    std::vector<Report> all = generate().reports;
    // A device that reports before its first device information, then moves from one OS version
    // to another across the daylight-saving change (2026-03-08), in two channels.
    const std::string changer = "C4A9E000000000000000000000000001";
    auto info = [&](int day, const char* version) {
        return makeReport(localMoment(day, 7200), ReportKind::DeviceInfo, changer, "k1", "store", "", "",
                          {"Windows 10 Pro", "m", version, "PC-CHANGER", "u", "s", "c", "h", "b"});
    };
    for (int day = kFirstDay + 8; day <= kFirstDay + 26; day += 2)
        for (const char* channel : {"store", "beta"})
            all.push_back(makeReport(localMoment(day, channel[0] == 's' ? 3600 : 80000), ReportKind::AppEvent, changer,
                                     "k1", channel, "app_start", "t"));
    all.push_back(info(kFirstDay + 12, "10.0.19045"));
    all.push_back(info(kFirstDay + 19, "10.0.22631"));
    std::stable_sort(all.begin(), all.end(), [](const Report& a, const Report& b) { return a.arrivedMs < b.arrivedMs; });
    std::vector<Report> inOrder, late;
    for (std::size_t i = 0; i < all.size(); ++i)
        (i % 9 == 4 && all[i].kind != ReportKind::DeviceInfo ? late : inOrder).push_back(all[i]);
    inOrder.insert(inOrder.end(), late.begin(), late.end());
    StoreLocation where(GetParam());
    auto store = where.open(days);
    for (std::size_t i = 0; i < inOrder.size(); i += 37)
        store->append({inOrder.begin() + static_cast<std::ptrdiff_t>(i),
                       inOrder.begin() + static_cast<std::ptrdiff_t>(std::min(i + 37, inOrder.size()))});

    const std::optional<std::string> none;
    const std::string w10 = "Windows 10 Pro", w11 = "Windows 11 Home", v10 = "10.0.19045", v11 = "10.0.22631";
    const std::vector<Filters> filters = {
        {none, w11, none}, {none, none, v10}, {none, std::string(""), none}, {std::string("store"), w10, none},
        {std::string("beta"), w11, v11}, {none, w10, v11}, {std::string(""), none, std::string("")},
        {none, std::string("Windows 95"), none}};
    // The set holds a device that changes OS version and devices with no device information yet.
    FilterOracle oracle(inOrder);
    ASSERT_GT(oracle.matching({none, std::string(""), none}).reports.size(), 50u);
    auto check = [&](const FilterOracle& o, const std::string& when) {
        SCOPED_TRACE(when);
        for (const Filters& f : filters) {
            SCOPED_TRACE(f.channel.value_or("*") + " / " + f.os.value_or("*") + " / " + f.osversion.value_or("*"));
            const Oracle plain = o.matching(f);
            EXPECT_EQ(flat(store->daily("k1", kFirstDay - 3, kLastDay, f)), flat(plain.daily("k1", kFirstDay - 3, kLastDay, none)));
            EXPECT_EQ(flat(store->retention("k1", kFirstDay - 1, kLastDay, kToday, f)),
                      flat(plain.retention("k1", kFirstDay - 1, kLastDay, kToday, none)));
            EXPECT_EQ(exported(*store, days, "k1", kFirstDay - 3, kLastDay, f),
                      plain.exported("k1", days.startOf(kFirstDay - 3), days.startOf(kLastDay + 1)));
            for (const auto& [from, to] : kRanges) {
                SCOPED_TRACE(ReportingDays::format(from) + " to " + ReportingDays::format(to));
                EXPECT_EQ(store->activeDevices("k1", from, to, f), plain.activeDevices("k1", from, to, none));
                for (Dimension dim : {Dimension::Event, Dimension::Content, Dimension::Channel, Dimension::OsVersion}) {
                    TopQuery q{"k1", dim, from, to, f.channel, std::nullopt, 100, f.os, f.osversion};
                    TopQuery plainQuery{"k1", dim, from, to, none, std::nullopt, 100};
                    EXPECT_EQ(flat(store->top(q)), flat(plain.top(plainQuery))) << "top " << static_cast<int>(dim);
                }
                for (Dimension dim : {Dimension::Event, Dimension::Action, Dimension::Channel, Dimension::Os,
                                      Dimension::OsVersion}) {
                    for (int limit : {100, 1}) {
                        BreakdownQuery q{"k1", dim, from, to, f, limit};
                        EXPECT_EQ(flat(store->breakdown(q)), flat(o.breakdown(q)))
                            << "breakdown " << static_cast<int>(dim) << " limit " << limit;
                    }
                }
            }
        }
    };
    check(oracle, "after ingest");

    // Erasing the device that changed OS takes it out of every filtered figure.
    EXPECT_TRUE(store->eraseDevice("k1", changer));
    eraseFrom(inOrder, [&](const Report& r) { return r.appKey == "k1" && r.deviceId == changer; });
    check(FilterOracle(inOrder), "after erasing the device that changed OS");

    // Another writer on the same store (an import into the folder of a running server) moves a
    // device to another OS; what this store counts next for that device follows the move.
    const auto seen = std::find_if(inOrder.begin(), inOrder.end(), [](const Report& r) {
        return r.appKey == "k1" && r.kind == ReportKind::DeviceInfo;
    });
    ASSERT_NE(seen, inOrder.end());
    const std::string mover = seen->deviceId;
    const Report moved = makeReport(localMoment(kFirstDay + 60, 300), ReportKind::DeviceInfo, mover, "k1", "store", "",
                                    "", {"Windows 95", "m", "4.0.950", "PC-MOVER", "u", "s", "c", "h", "b"});
    const Report after = makeReport(localMoment(kFirstDay + 60, 600), ReportKind::AppEvent, mover, "k1", "store",
                                    "app_start", "t");
    where.open(days)->append({moved});
    store->append({after});
    inOrder.insert(inOrder.end(), {moved, after});
    check(FilterOracle(inOrder), "after another writer moved a device to another OS");

    const auto found = store->findDevices("k1", "pc1", 100);
    std::set<std::string> expected;
    for (const Report& r : inOrder)
        if (r.appKey == "k1" && r.kind == ReportKind::DeviceInfo && r.inventory[3].rfind("PC1", 0) == 0) expected.insert(r.deviceId);
    std::set<std::string> got;
    for (const auto& m : found) got.insert(m.deviceId);
    EXPECT_EQ(got, expected) << "a computer name found in any case";
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values(Backend::Sqlite, Backend::Postgres), backendName);

}  // namespace
}  // namespace tallyscope::server::testing
