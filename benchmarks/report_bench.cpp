// Host-thread cost of ReportAppEvent for the two text reports: build the body, escape it, queue a
// copy. The queue is kept from filling up by popping what each iteration queued.
#include <benchmark/benchmark.h>

#include "common/field_copy.h"
#include "report/report_builders.h"
#include "report/timestamp.h"
#include "service/report_queue.h"

namespace {

ReportOrigin benchOrigin()
{
    ReportOrigin origin;
    copyToField(origin.appKey, kAppKeyBytes, "bench-app-key");
    copyToField(origin.channelId, kChannelBytes, "bench channel");
    copyToField(origin.deviceId.ansi, kDeviceIdAnsiBytes, "0123456789ABCDEF0123456789ABCDEF");
    return origin;
}

void BM_AppEventReport(benchmark::State& state)
{
    const ReportOrigin origin = benchOrigin();
    for (auto _ : state) {
        BuiltReport report = buildAppEventReport(origin, "app_start", localTimestamp().c_str());
        benchmark::DoNotOptimize(enqueueReport(report.body.get()));
        getReportQueue().popFront();
    }
}
BENCHMARK(BM_AppEventReport)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ActionReport(benchmark::State& state)
{
    const ReportOrigin origin = benchOrigin();
    for (auto _ : state) {
        BuiltReport report = buildActionReport(origin, "export_pdf", "two pages & a cover");
        benchmark::DoNotOptimize(enqueueReport(report.body.get()));
        getReportQueue().popFront();
    }
}
BENCHMARK(BM_ActionReport)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
