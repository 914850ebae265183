#include "ingest/ingest_routes.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "core/report_decoding.h"
#include "core/text_decoder.h"

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

}  // namespace

void addIngestRoutes(http::Routes& routes, ReportWriter& writer, IngestOptions options)
{
    // Fails at start-up rather than on the first report when iconv does not know the charset.
    TextDecoder check(options.legacyCharset);
    auto shared = std::make_shared<const IngestOptions>(std::move(options));

    routes.addAsync("POST", "/stat/pc.php", [&writer, shared](http::Request&& request, http::Reply reply) {
        DecodedBody decoded = decodeReportBody(request.body, threadDecoder(shared->legacyCharset));
        if (!decoded.report) {
            writer.submitRejected({nowMs(), decoded.reason, std::move(request.body)});
            return reply(http::Response::text(400, decoded.reason + "\n"));
        }
        const auto& allowed = shared->allowedApps;
        if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), decoded.report->appKey) == allowed.end())
            return reply(http::Response::text(404, "unknown app key\n"));
        decoded.report->arrivedMs = nowMs();
        bool queued = writer.submit(std::move(*decoded.report), [reply](bool committed) {
            reply(committed ? http::Response::text(200, "ok") : http::Response::text(503, "storage unavailable\n"));
        });
        if (!queued) {
            http::Response busy = http::Response::text(503, "server busy\n");
            busy.headers.emplace_back("Retry-After", "1");
            reply(std::move(busy));
        }
    });

    routes.addAsync("GET", "/healthz", [&writer](http::Request&&, http::Reply reply) {
        reply(writer.healthy() ? http::Response::text(200, "ok\n") : http::Response::text(503, "storage failing\n"));
    });
}

}  // namespace tallyscope::server
