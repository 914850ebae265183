// Export, then import into a fresh store: every figure comes back, on both backends. The CSV is
// written by the dashboard's own exporter and read back through the real body parser.
#include <gtest/gtest.h>

#include <sstream>

#include "api/csv_export.h"
#include "core/days.h"
#include "core/text_decoder.h"
#include "store/import.h"
#include "store/oracle.h"
#include "store/store_backends.h"

namespace tallyscope::server::testing {
namespace {

class ImportTest : public ::testing::TestWithParam<Backend> {};

TEST_P(ImportTest, ExportedCsvImportsToTheSameFigures) {
    ReportingDays days(kOracleZone);
    const DataSet data = generate();
    StoreLocation source(Backend::Sqlite), target(GetParam());
    std::string csv;
    {
        auto s = source.open(days);
        for (const auto& batch : data.batches) s->append(batch);
        api::appendCsvHeader(csv);
        for (const char* app : {"k1", "k2"})
            s->exportReports(app, kFirstDay - 1, kFirstDay + 100, [&](const Report& r) {
                api::appendCsvRow(csv, r);
                return true;
            });
    }
    // Rows the loader must skip without stopping.
    csv += "2026-03-01T10:00:00Z,app_event,d,k1,,x,,,,,,,,,,,\"not a report body\"\r\n";
    csv += "yesterday,app_event,d,k1,,x,,,,,,,,,,,\"Param={%22deviceid%22:%22D%22}\"\r\n";
    csv += "\r\n";

    std::istringstream in(csv);
    TextDecoder decoder("windows-1252");
    auto store = target.open(days);
    std::int64_t progressCalls = 0;
    const ImportResult result = importCsv(*store, in, decoder, 500, [&](std::int64_t) { ++progressCalls; });
    EXPECT_EQ(result.imported, static_cast<std::int64_t>(data.reports.size()));
    EXPECT_EQ(result.skipped, 2);
    ASSERT_EQ(result.problems.size(), 2u);
    EXPECT_GT(progressCalls, 1) << "the file goes in in batches";

    Oracle oracle{data.reports};
    EXPECT_EQ(flat(store->apps()), flat(oracle.apps()));
    for (const char* app : {"k1", "k2"}) {
        for (const std::optional<std::string>& channel : {std::optional<std::string>(), std::optional<std::string>("beta")}) {
            EXPECT_EQ(flat(store->daily(app, kFirstDay, kFirstDay + 90, channel)),
                      flat(oracle.daily(app, kFirstDay, kFirstDay + 90, channel)));
            EXPECT_EQ(flat(store->retention(app, kFirstDay, kFirstDay + 90, kFirstDay + 80, channel)),
                      flat(oracle.retention(app, kFirstDay, kFirstDay + 90, kFirstDay + 80, channel)));
            TopQuery q{app, Dimension::Content, kFirstDay, kFirstDay + 90, channel, std::nullopt, 10};
            EXPECT_EQ(flat(store->top(q)), flat(oracle.top(q)));
        }
    }
    for (const Report& r : data.reports)
        EXPECT_EQ(flat(store->device(r.appKey, r.deviceId)), flat(oracle.device(r.appKey, r.deviceId)));

    // The same file again: every identified report is already there.
    std::istringstream again(csv);
    const ImportResult second = importCsv(*store, again, decoder, 500);
    const auto identified = std::count_if(data.reports.begin(), data.reports.end(),
                                          [](const Report& r) { return !r.reportId.empty(); });
    EXPECT_EQ(second.repeats, identified);
    EXPECT_EQ(second.imported, static_cast<std::int64_t>(data.reports.size()) - identified);
}

TEST(ImportCsv, RefusesFilesWithoutTheNeededColumns) {
    ReportingDays days("UTC");
    StoreLocation where(Backend::Sqlite);
    auto store = where.open(days);
    TextDecoder decoder("windows-1252");
    for (const char* text : {"", "arrived,kind\r\n2026-01-01T00:00:00Z,x\r\n", "kind,body\r\n"}) {
        std::istringstream in(text);
        EXPECT_THROW(importCsv(*store, in, decoder), StoreError) << text;
    }
}

TEST(ImportCsv, ReadsUtcTimes) {
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases = {
        {"1970-01-01T00:00:00Z", 0},
        {"2026-12-08T21:33:49Z", 1796765629000},
        {"2026-12-08T21:33:49.5Z", 1796765629500},
        {"2026-12-08T21:33:49.123Z", 1796765629123},
        {"2026-12-08 21:33:49Z", std::nullopt},
        {"2026-12-08T21:33:49", std::nullopt},
        {"2026-02-30T21:33:49Z", std::nullopt},
        {"2026-12-08T24:00:00Z", std::nullopt},
        {"2026-12-08T21:33:49.Z", std::nullopt},
    };
    for (const auto& [text, ms] : cases) EXPECT_EQ(parseUtcTimestamp(text), ms) << text;
}

INSTANTIATE_TEST_SUITE_P(Backends, ImportTest, ::testing::Values(Backend::Sqlite, Backend::Postgres), backendName);

}  // namespace
}  // namespace tallyscope::server::testing
