// tallyscope-server: receives the reports tallyscope64.dll posts and stores them durably.
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <fmt/format.h>

#include <chrono>
#include <exception>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/auth.h"
#include "api/query_api.h"
#include "core/days.h"
#include "core/text_decoder.h"
#include "http/http_server.h"
#include "http/routes.h"
#include "ingest/ingest_routes.h"
#include "ingest/report_writer.h"
#include "store/import.h"
#include "store/retention.h"
#include "store/store.h"

namespace {

using namespace tallyscope::server;

// "HOST:PORT", "[v6]:PORT" or ":PORT" (loopback).
bool splitListen(const std::string& text, http::ServerOptions& options)
{
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    try {
        std::size_t used = 0;
        int port = std::stoi(text.substr(colon + 1), &used);
        if (used != text.size() - colon - 1 || port < 0 || port > 65535) return false;
        options.port = static_cast<unsigned short>(port);
    } catch (const std::exception&) {
        return false;
    }
    options.host = host.empty() ? "127.0.0.1" : host;
    return true;
}

// Thousands of idle clients each hold a descriptor: take every descriptor the hard limit allows.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// `import FILE.csv`: loads an export as if its reports had arrived at their `arrived` times.
int runImport(const StoreOptions& storeOptions, const std::string& timeZone, const std::string& charset,
              const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        spdlog::error("event=import_failed file=\"{}\" error=\"cannot open the file\"", file);
        return 1;
    }
    try {
        ReportingDays days(timeZone);
        TextDecoder decoder(charset);
        std::unique_ptr<Store> store = openStore(storeOptions, days);
        const auto started = std::chrono::steady_clock::now();
        auto seconds = [&] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        };
        std::int64_t lastLogged = 0;
        ImportResult result = importCsv(*store, in, decoder, 20000, [&](std::int64_t imported) {
            if (imported - lastLogged >= 1000000) {
                lastLogged = imported;
                spdlog::info("event=import_progress imported={} seconds={:.1f}", imported, seconds());
            }
        });
        for (const std::string& problem : result.problems)
            spdlog::warn("event=import_skipped file=\"{}\" {}", file, problem);
        spdlog::info("event=import_done file=\"{}\" imported={} repeats={} skipped={} seconds={:.1f}", file,
                     result.imported, result.repeats, result.skipped, seconds());
        return 0;
    } catch (const std::exception& e) {
        spdlog::error("event=import_failed file=\"{}\" error=\"{}\"", file, e.what());
        return 1;
    }
}

void setUpLogging()
{
    auto logger = spdlog::stderr_logger_mt("tallyscope");
    logger->set_pattern("ts=%Y-%m-%dT%H:%M:%S.%eZ level=%l %v", spdlog::pattern_time_type::utc);
    logger->flush_on(spdlog::level::info);
    spdlog::set_default_logger(logger);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"tallyscope-server: receives the reports of tallyscope64.dll on POST /stat/pc.php and "
                 "stores them durably"};
    std::string listen = "127.0.0.1:18765";
    StoreOptions storeOptions;
    IngestOptions ingest;
    http::ServerOptions server;
    ReportWriter::Limits limits;
    std::string timeZone = "UTC";
    int requestTimeoutMs = static_cast<int>(server.requestTimeout.count());
    server.networkThreads = std::max(2u, std::thread::hardware_concurrency());

    app.add_option("--listen", listen, "Address and port to serve on, HOST:PORT")->capture_default_str();
    app.add_option("--data", storeOptions.dataDir, "Folder of the SQLite store (created when missing)")
        ->capture_default_str();
    app.add_option("--store", storeOptions.url,
                   "postgresql://... to store in PostgreSQL instead of SQLite; any number of servers may share it");
    app.add_option("--legacy-charset", ingest.legacyCharset,
                   "Code page of values that are not UTF-8 (any iconv name, e.g. WINDOWS-1252, GBK)")
        ->capture_default_str();
    app.add_option("--allow-apps", ingest.allowedApps,
                   "Comma-separated app keys to accept; reports of other keys get 404 (default: all)")
        ->delimiter(',');
    app.add_option("--tls-cert", server.tlsCertificate, "PEM certificate chain: serve HTTPS instead of HTTP");
    app.add_option("--tls-key", server.tlsKey, "PEM private key of --tls-cert");
    app.add_option("--timezone,--time-zone", timeZone, "IANA time zone whose days the figures count in")
        ->capture_default_str();
    int retentionDays = 0;
    app.add_option("--retention-days", retentionDays,
                   "Drop raw reports older than this many days (hourly); the daily figures stay. 0 keeps all")
        ->capture_default_str()
        ->check(CLI::Range(0, 100000));
    app.add_option("--threads", server.networkThreads, "Network threads")->capture_default_str()->check(CLI::Range(1, 256));
    app.add_option("--handler-threads", server.handlerThreads, "Threads for dashboard and API queries")
        ->capture_default_str()
        ->check(CLI::Range(1, 256));
    app.add_option("--request-timeout-ms", requestTimeoutMs,
                   "Time a client has to send one whole request, and to take its answer")
        ->capture_default_str()
        ->check(CLI::Range(100, 600000));
    app.add_option("--max-connections", server.maxConnections, "Open connections past which new ones are closed")
        ->capture_default_str();
    app.add_option("--max-queued", limits.maxQueued, "Reports waiting for their commit past which 503 is answered")
        ->capture_default_str()
        ->check(CLI::Range(1, 10000000));
    std::string tokenFile;
    app.add_option("--token-file", tokenFile,
                   "File holding the access token of the dashboard and the API (default: access-token in the "
                   "--data folder, created at first start); servers sharing one store share it");
    std::string importFile;
    CLI::App* importCommand = app.add_subcommand(
        "import", "Load an export CSV (its arrived and body columns) into the store, figures included, then exit");
    importCommand->add_option("--data", storeOptions.dataDir, "Folder of the SQLite store")->capture_default_str();
    importCommand->add_option("--store", storeOptions.url, "postgresql://... to load into PostgreSQL instead");
    importCommand->add_option("--timezone,--time-zone", timeZone, "IANA time zone of the figures")->capture_default_str();
    importCommand->add_option("--legacy-charset", ingest.legacyCharset, "Code page of values that are not UTF-8")
        ->capture_default_str();
    importCommand->add_option("FILE", importFile, "The CSV file")->required();
    CLI11_PARSE(app, argc, argv);
    if (*importCommand) {
        setUpLogging();
        return runImport(storeOptions, timeZone, ingest.legacyCharset, importFile);
    }

    setUpLogging();
    if (!splitListen(listen, server)) {
        spdlog::error("event=bad_option option=--listen value=\"{}\"", listen);
        return 2;
    }
    server.requestTimeout = std::chrono::milliseconds(requestTimeoutMs);
    raiseDescriptorLimit();

    try {
        ReportingDays days(timeZone);
        std::unique_ptr<Store> store = openStore(storeOptions, days);
        ReportWriter writer(*store, limits);
        // Runs without --retention-days too: report ids of erased reports are forgotten on time.
        std::optional<RetentionPruner> pruner;
        pruner.emplace(*store, retentionDays, [](std::int64_t dropped, const std::string& error) {
                if (dropped >= 0) spdlog::info("event=retention_pruned reports={}", dropped);
                else spdlog::error("event=retention_failed error=\"{}\"", error);
            });
        http::Routes routes;
        addIngestRoutes(routes, writer, ingest);
        api::AccessToken token = api::loadOrCreateToken(
            storeOptions.dataDir, tokenFile.empty() ? std::nullopt : std::optional<std::filesystem::path>(tokenFile));
        spdlog::info("event=access_token file={} created={}", token.file.string(), token.created);
        api::QueryApi queryApi(*store, days, token.value);
        queryApi.registerRoutes(routes);

        http::HttpServer httpServer(server, routes);
        spdlog::info("event=start listen={} scheme={} store={} legacy_charset={} allowed_apps={} pid={}",
                     httpServer.listenAddress(), server.tlsCertificate.empty() ? "http" : "https",
                     storeOptions.url.empty() ? "sqlite:" + storeOptions.dataDir : "postgresql", ingest.legacyCharset,
                     ingest.allowedApps.empty() ? std::string("*") : fmt::format("{}", fmt::join(ingest.allowedApps, ",")),
                     ::getpid());
        httpServer.run();
        writer.stop();
        auto counts = writer.counters();
        spdlog::info("event=stop committed={} failed={} transactions={} rejects_dropped={}", counts.committed,
                     counts.failed, counts.transactions, counts.rejectsDropped);
        return 0;
    } catch (const std::exception& e) {
        spdlog::error("event=fatal error=\"{}\"", e.what());
        return 1;
    }
}
