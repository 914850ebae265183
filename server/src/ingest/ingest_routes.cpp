#include "ingest/ingest_routes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include <spdlog/spdlog.h>

#include "core/report_decoding.h"
#include "core/report_id.h"
#include "core/text_decoder.h"
#include "ops/metrics.h"

namespace tallyscope::server {
namespace {

std::int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// iconv keeps state per descriptor, so each network thread decodes with its own.
TextDecoder& threadDecoder(const std::string& charset)
{
    thread_local std::unique_ptr<TextDecoder> decoder;
    if (!decoder || decoder->charset() != charset) decoder = std::make_unique<TextDecoder>(charset);
    return *decoder;
}

// Under overload every client is refused at once: one line a second (with the count since the last
// line) says so without the log growing as fast as the refusals.
void logBusy(const std::string& client)
{
    static std::atomic<std::int64_t> lastLogged{0};
    static std::atomic<std::uint64_t> unlogged{0};
    std::int64_t now = nowMs();
    std::int64_t last = lastLogged.load(std::memory_order_relaxed);
    if (now - last < 1000 || !lastLogged.compare_exchange_strong(last, now)) {
        unlogged.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    spdlog::warn("event=report_refused reason=busy client={} refused_since_last_line={}", client,
                 unlogged.exchange(0) + 1);
}

// A malformed id is dropped, not refused: a 400 is final for the sender, so refusing would lose
// a report whose body is fine, while storing it without an id only loses the protection against
// repeats that a well-formed id would have given. One line says that a sender is doing it.
std::string reportIdOf(const http::Request& request) {
    const std::string* id = request.header("tallyscope-report-id");
    if (id == nullptr) return {};
    if (isReportId(*id)) return *id;
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
        spdlog::warn("event=report_id_ignored remote={} reason=\"not 32 lowercase hex digits\"", request.remoteAddress);
    return {};
}

// Both mean "not stored, send it again later"; the sender's back-off honours Retry-After.
http::Response notStored(const char* text, const char* retryAfterSeconds) {
    http::Response r = http::Response::text(503, text);
    r.headers.emplace_back("Retry-After", retryAfterSeconds);
    return r;
}

// A report's answer once the writer knows whether it is stored. A type of its own, so that when
// the writer refuses the report the handler can still answer through its reply.
struct StoredAnswer {
    http::Reply reply;
    void operator()(bool committed) const
    {
        metrics::Registry& m = metrics::global();
        if (committed) m.reportsStored.fetch_add(1, std::memory_order_relaxed);
        else m.refuse(metrics::Refusal::StorageFailed);
        reply(committed ? http::Response::text(200, "ok") : notStored("storage unavailable\n", "5"));
    }
};

}  // namespace

void addIngestRoutes(http::Routes& routes, ReportWriter& writer, IngestOptions options)
{
    // Fails at start-up rather than on the first report when iconv does not know the charset.
    TextDecoder check(options.legacyCharset);
    auto shared = std::make_shared<const IngestOptions>(std::move(options));

    routes.addAsync("POST", "/stat/pc.php", [&writer, shared](http::Request&& request, http::Reply reply) {
        metrics::Registry& counted = metrics::global();
        counted.reportsReceived.fetch_add(1, std::memory_order_relaxed);
        // The body moves into the report; a refused one stays in the request for the rejects.
        DecodedBody decoded = decodeReportBody(std::move(request.body), threadDecoder(shared->legacyCharset));
        if (!decoded.report) {
            counted.refuse(metrics::Refusal::Malformed);
            spdlog::info("event=report_refused reason=malformed client={} detail=\"{}\"", request.remoteAddress,
                         decoded.reason);
            writer.submitRejected({nowMs(), decoded.reason, std::move(request.body)});
            return reply(http::Response::text(400, decoded.reason + "\n"));
        }
        const auto& allowed = shared->allowedApps;
        if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), decoded.report->appKey) == allowed.end()) {
            counted.refuse(metrics::Refusal::UnknownApp);
            spdlog::info("event=report_refused reason=unknown_app client={}", request.remoteAddress);
            return reply(http::Response::text(404, "unknown app key\n"));
        }
        decoded.report->arrivedMs = nowMs();
        decoded.report->reportId = reportIdOf(request);
        // A repeat of a stored report id is answered like a stored report: it is stored.
        ReportWriter::Done done = StoredAnswer{std::move(reply)};
        if (!writer.submit(std::move(*decoded.report), done)) {
            counted.refuse(metrics::Refusal::Busy);
            logBusy(request.remoteAddress);
            done.target<StoredAnswer>()->reply(notStored("server busy\n", "1"));
        }
    });

    routes.addAsync("GET", "/healthz", [&writer](http::Request&&, http::Reply reply) {
        reply(writer.healthy() ? http::Response::text(200, "ok\n") : http::Response::text(503, "storage failing\n"));
    });
}

}  // namespace tallyscope::server
