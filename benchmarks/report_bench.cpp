// Host-thread cost of ReportAppEvent for the two text reports: build the body, escape it, queue a
// copy. The queue is kept from filling up by popping what each iteration queued.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "report/report_builders.h"
#include "report/timestamp.h"
#include "service/report_queue.h"
#include "service/service_state.h"

namespace {

void configure()
{
    ServiceState& state = serviceState();
    state.serviceRunning = 1;
    copyToField(state.appKey, kAppKeyBytes, "bench-app-key");
    copyToField(state.channelId, kChannelBytes, "bench channel");
    copyToField(state.deviceIdAnsi, kDeviceIdAnsiBytes, "0123456789ABCDEF0123456789ABCDEF");
}

void BM_AppEventReport(benchmark::State& state)
{
    configure();
    for (auto _ : state) {
        benchmark::DoNotOptimize(buildAppEventReport("app_start", localTimestamp().c_str()));
        std::free(getReportQueue().popFront());
    }
}
BENCHMARK(BM_AppEventReport)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ActionReport(benchmark::State& state)
{
    configure();
    for (auto _ : state) {
        benchmark::DoNotOptimize(buildActionReport("export_pdf", "two pages & a cover"));
        std::free(getReportQueue().popFront());
    }
}
BENCHMARK(BM_ActionReport)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
