#include "ops/metrics.h"

#include <fmt/format.h>

#include <iterator>
#include <limits>

namespace tallyscope::server::metrics {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Refusal::Count)> kRefusalNames{
    "malformed", "unknown_app", "busy", "storage_failed", "too_large"};

std::uint64_t load(const std::atomic<std::uint64_t>& value) { return value.load(std::memory_order_relaxed); }

void family(std::string& out, const char* name, const char* type, const char* help)
{
    fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

template <class Value>
void counter(std::string& out, const char* name, const char* help, Value value)
{
    family(out, name, "counter", help);
    fmt::format_to(std::back_inserter(out), "{} {}\n", name, value);
}

void gauge(std::string& out, const char* name, const char* help, double value)
{
    family(out, name, "gauge", help);
    if (value != value) fmt::format_to(std::back_inserter(out), "{} NaN\n", name);
    else fmt::format_to(std::back_inserter(out), "{} {}\n", name, value);
}

template <std::size_t N>
void histogram(std::string& out, const char* name, const char* help, const Histogram<N>& h)
{
    family(out, name, "histogram", help);
    // Read the count first: buckets observed after it only make the +Inf line a little larger
    // than the last bucket, never smaller, so the series stays monotonic.
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < N; ++i) {
        cumulative += load(h.buckets[i]);
        fmt::format_to(std::back_inserter(out), "{}_bucket{{le=\"{}\"}} {}\n", name, h.bounds[i], cumulative);
    }
    std::uint64_t count = std::max(load(h.count), cumulative);
    fmt::format_to(std::back_inserter(out), "{}_bucket{{le=\"+Inf\"}} {}\n{}_sum {}\n{}_count {}\n", name, count,
                   name, static_cast<double>(load(h.sumMicros)) / 1e6, name, count);
}

}  // namespace

Registry& global()
{
    static Registry registry;
    return registry;
}

std::int64_t steadyNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string render(const Registry& r)
{
    std::string out;
    out.reserve(4096);
    counter(out, "tallyscope_reports_received_total", "Report bodies received on POST /stat/pc.php.",
            load(r.reportsReceived));
    counter(out, "tallyscope_reports_stored_total", "Reports acknowledged after their commit, repeats included.",
            load(r.reportsStored));
    family(out, "tallyscope_reports_refused_total", "counter", "Reports refused, by reason.");
    for (std::size_t i = 0; i < kRefusalNames.size(); ++i)
        fmt::format_to(std::back_inserter(out), "tallyscope_reports_refused_total{{reason=\"{}\"}} {}\n",
                       kRefusalNames[i], load(r.refused[i]));
    counter(out, "tallyscope_reports_repeated_total",
            "Reports whose report id was already stored: acknowledged without counting them again.",
            load(r.reportsRepeated));
    counter(out, "tallyscope_http_503_total", "Requests answered 503 (queue full or storage failing).",
            load(r.answered503));
    counter(out, "tallyscope_http_requests_total", "Requests answered, every route.", load(r.requests));
    counter(out, "tallyscope_store_errors_total", "Failed store transactions and failed writes of rejected bodies.",
            load(r.storeErrors));
    counter(out, "tallyscope_commits_total", "Group commits of the writer.", load(r.commits));
    histogram(out, "tallyscope_commit_duration_seconds", "Time one group commit took, rollups included.",
              r.commitSeconds);
    histogram(out, "tallyscope_commit_batch_reports", "Reports per group commit.", r.batchReports);
    std::int64_t last = r.lastCommitMs.load(std::memory_order_relaxed);
    gauge(out, "tallyscope_last_commit_age_seconds", "Seconds since the last successful commit (NaN before the first).",
          last == 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(steadyNowMs() - last) / 1000.0);
    gauge(out, "tallyscope_writer_queue_reports", "Reports waiting for their commit.",
          static_cast<double>(r.writerQueue.load(std::memory_order_relaxed)));
    gauge(out, "tallyscope_open_connections", "Client connections open now.",
          static_cast<double>(r.openConnections.load(std::memory_order_relaxed)));
    counter(out, "tallyscope_rollup_batches_total", "Batches folded into the rollups.", load(r.rollupBatches));
    counter(out, "tallyscope_rollup_seconds_total", "Time spent folding batches into the rollups.",
            static_cast<double>(load(r.rollupMicros)) / 1e6);
    counter(out, "tallyscope_retention_runs_total", "Retention passes that dropped reports.", load(r.retentionRuns));
    counter(out, "tallyscope_retention_failures_total", "Failed passes of the retention pruner.",
            load(r.retentionFailures));
    counter(out, "tallyscope_retention_reports_dropped_total", "Raw reports dropped by retention.",
            load(r.retentionDropped));
    return out;
}

}  // namespace tallyscope::server::metrics
