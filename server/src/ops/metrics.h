// What an operator's Prometheus scrapes from GET /metrics. One process-wide set of counters, kept as
// relaxed atomics so the hot paths (a report arriving, a batch committing) pay one add each; the
// text is rendered only when scraped. Names follow Prometheus' conventions: counters end in
// _total, times are in seconds, gauges say what they hold now.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tallyscope::server::metrics {

// A cumulative histogram with fixed upper bounds (Prometheus "le"); the sum is kept in millionths
// so it can stay an integer atomic.
template <std::size_t N>
struct Histogram {
    std::array<double, N> bounds;
    std::array<std::atomic<std::uint64_t>, N> buckets{};  // observations at most bounds[i] (not cumulative)
    std::atomic<std::uint64_t> count{0};
    std::atomic<std::uint64_t> sumMicros{0};

    void observe(double value)
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (value <= bounds[i]) {
                buckets[i].fetch_add(1, std::memory_order_relaxed);
                break;
            }
        }
        count.fetch_add(1, std::memory_order_relaxed);
        sumMicros.fetch_add(static_cast<std::uint64_t>(value * 1e6 + 0.5), std::memory_order_relaxed);
    }
};

// Why a report was refused; each is one value of the "reason" label.
enum class Refusal { Malformed, UnknownApp, Busy, StorageFailed, TooLarge, Count };

struct Registry {
    using Counter = std::atomic<std::uint64_t>;

    Counter reportsReceived{0};   // POST /stat/pc.php requests read to their end
    Counter reportsStored{0};     // acknowledged after their commit
    Counter reportsRepeated{0};   // a report id already stored: acknowledged, not counted twice
    std::array<Counter, static_cast<std::size_t>(Refusal::Count)> refused{};
    Counter answered503{0};       // every 503, whichever route
    Counter storeErrors{0};       // failed transactions and failed writes of rejected bodies
    Counter commits{0};
    std::atomic<std::int64_t> lastCommitMs{0};  // steady clock; 0 before the first commit
    std::atomic<std::int64_t> writerQueue{0};
    std::atomic<std::int64_t> openConnections{0};
    Counter retentionRuns{0};
    Counter retentionFailures{0};
    Counter retentionDropped{0};
    Counter rollupBatches{0};
    Counter rollupMicros{0};      // time spent turning batches into rollup rows
    Counter requests{0};          // every request answered, any route
    Histogram<12> commitSeconds{{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5}};
    Histogram<10> batchReports{{1, 2, 5, 10, 50, 100, 500, 1000, 2500, 5000}};

    void refuse(Refusal why) { refused[static_cast<std::size_t>(why)].fetch_add(1, std::memory_order_relaxed); }
};

Registry& global();

std::int64_t steadyNowMs();

// The whole exposition text (text/plain; version=0.0.4).
std::string render(const Registry& registry);

// The content type Prometheus expects with that text.
inline constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

// Adds the time from construction to destruction to a microsecond counter.
class ScopedMicros {
public:
    explicit ScopedMicros(std::atomic<std::uint64_t>& into) : into_(into), start_(std::chrono::steady_clock::now()) {}
    ~ScopedMicros()
    {
        auto spent = std::chrono::steady_clock::now() - start_;
        into_.fetch_add(std::chrono::duration_cast<std::chrono::microseconds>(spent).count(), std::memory_order_relaxed);
    }
    ScopedMicros(const ScopedMicros&) = delete;
    ScopedMicros& operator=(const ScopedMicros&) = delete;

private:
    std::atomic<std::uint64_t>& into_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace tallyscope::server::metrics
