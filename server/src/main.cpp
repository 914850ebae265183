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
#include "ops/metrics.h"
#include "store/access_store.h"
#include "store/backends_info.h"
#include "store/import.h"
#include "store/retention.h"
#include "store/sqlite_backup.h"
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
        if (result.imported > 0) store->compact();
        spdlog::info("event=import_done file=\"{}\" imported={} repeats={} skipped={} seconds={:.1f}", file,
                     result.imported, result.repeats, result.skipped, seconds());
        return 0;
    } catch (const std::exception& e) {
        spdlog::error("event=import_failed file=\"{}\" error=\"{}\"", file, e.what());
        return 1;
    }
}

// `backup --data DIR FILE`: the running server's SQLite store copied while it goes on committing.
int runBackup(const StoreOptions& storeOptions, const std::string& file)
{
    if (!storeOptions.url.empty()) {
        spdlog::error("event=backup_failed error=\"PostgreSQL stores are backed up with pg_dump or pg_basebackup\"");
        return 2;
    }
    try {
        const auto started = std::chrono::steady_clock::now();
        store::BackupResult result = store::backupSqlite(storeOptions.dataDir, file);
        spdlog::info("event=backup_done data=\"{}\" file=\"{}\" pages={} bytes={} seconds={:.2f}", storeOptions.dataDir,
                     file, result.pages, result.bytes,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        return 0;
    } catch (const std::exception& e) {
        spdlog::error("event=backup_failed data=\"{}\" file=\"{}\" error=\"{}\"", storeOptions.dataDir, file, e.what());
        return 1;
    }
}

// GET /metrics: behind the access token on the main listener; open on --metrics-listen, which is
// meant for an address only the scraper reaches.
void addMetricsRoute(http::Routes& routes, std::optional<api::Credentials> credentials)
{
    routes.add("GET", "/metrics", [credentials = std::move(credentials)](const http::Request& request) {
        if (credentials) {
            const std::string* authorization = request.header("authorization");
            constexpr std::string_view kBearer = "bearer ";
            bool granted = authorization && authorization->size() > kBearer.size() &&
                           std::equal(kBearer.begin(), kBearer.end(), authorization->begin(),
                                      [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b + 32 : b); }) &&
                           credentials->tokenMatches(std::string_view(*authorization).substr(kBearer.size()));
            if (!granted) {
                http::Response refused = http::Response::text(401, "a bearer token is needed\n");
                refused.headers.emplace_back("WWW-Authenticate", "Bearer");
                return refused;
            }
        }
        http::Response response = http::Response::text(200, metrics::render(metrics::global()));
        response.contentType = metrics::kContentType;
        return response;
    });
}

// --metrics-listen: a second, small server holding only GET /metrics, on a thread of its own. It
// stops with the main one (and on SIGTERM by itself).
class MetricsListener {
public:
    explicit MetricsListener(http::ServerOptions options) : server_(limited(std::move(options)), withMetrics(routes_))
    {
        spdlog::info("event=metrics_listen listen={}", server_.listenAddress());
    }
    ~MetricsListener()
    {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }
    MetricsListener(const MetricsListener&) = delete;
    MetricsListener& operator=(const MetricsListener&) = delete;
    void start()
    {
        thread_ = std::thread([this] { server_.run(); });
    }

private:
    static http::ServerOptions limited(http::ServerOptions options)
    {
        options.networkThreads = 1;
        options.handlerThreads = 1;
        options.maxConnections = 64;
        return options;
    }
    static http::Routes& withMetrics(http::Routes& routes)
    {
        addMetricsRoute(routes, std::nullopt);
        return routes;
    }
    http::Routes routes_;
    http::HttpServer server_;
    std::thread thread_;
};

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
    std::vector<std::string> trustedProxies;
    app.add_option("--trusted-proxy", trustedProxies,
                   "Reverse proxies (CIDR blocks, comma-separated) whose X-Forwarded-For names the client address "
                   "that failed sign-ins count against; from any other peer the header is ignored")
        ->delimiter(',');
    std::string importFile;
    CLI::App* importCommand = app.add_subcommand(
        "import", "Load an export CSV (its arrived and body columns) into the store, figures included, then exit");
    importCommand->add_option("--data", storeOptions.dataDir, "Folder of the SQLite store")->capture_default_str();
    importCommand->add_option("--store", storeOptions.url, "postgresql://... to load into PostgreSQL instead");
    importCommand->add_option("--timezone,--time-zone", timeZone, "IANA time zone of the figures")->capture_default_str();
    importCommand->add_option("--legacy-charset", ingest.legacyCharset, "Code page of values that are not UTF-8")
        ->capture_default_str();
    importCommand->add_option("FILE", importFile, "The CSV file")->required();
    std::string backupFile;
    CLI::App* backupCommand = app.add_subcommand(
        "backup", "Copy the SQLite store, consistently, while the server runs; start a server on the copy to restore");
    backupCommand->add_option("--data", storeOptions.dataDir, "Folder of the SQLite store")->capture_default_str();
    backupCommand->add_option("FILE", backupFile, "The copy to write (replaced once complete)")->required();
    std::string metricsListen;
    app.add_option("--metrics-listen", metricsListen,
                   "Also serve GET /metrics without the token on this HOST:PORT (e.g. 127.0.0.1:9187); on --listen "
                   "it needs the access token as a bearer token");
    // Every option can also be given in the file (TOML: `listen = "0.0.0.0:18765"`, subcommands in
    // sections such as [backup]); options on the command line win over it.
    app.set_config("--config", "/etc/tallyscope/server.conf",
                   "Read options from this TOML/INI file (read by default when it exists)");
    app.set_version_flag("--version", std::string("tallyscope-server ") + TALLYSCOPE_VERSION + "\nstore backends:\n" +
                                          store::describeBackends());
    CLI11_PARSE(app, argc, argv);
    if (*importCommand) {
        setUpLogging();
        return runImport(storeOptions, timeZone, ingest.legacyCharset, importFile);
    }
    if (*backupCommand) {
        setUpLogging();
        return runBackup(storeOptions, backupFile);
    }

    setUpLogging();
    if (!splitListen(listen, server)) {
        spdlog::error("event=bad_option option=--listen value=\"{}\"", listen);
        return 2;
    }
    api::AccessSettings accessSettings;
    try {
        accessSettings.trustedProxies = api::TrustedProxies(trustedProxies);
    } catch (const std::invalid_argument& e) {
        spdlog::error("event=bad_option option=--trusted-proxy error=\"{}\"", e.what());
        return 2;
    }
    server.requestTimeout = std::chrono::milliseconds(requestTimeoutMs);
    http::ServerOptions metricsServer;
    if (!metricsListen.empty() && !splitListen(metricsListen, metricsServer)) {
        spdlog::error("event=bad_option option=--metrics-listen value=\"{}\"", metricsListen);
        return 2;
    }
    raiseDescriptorLimit();

    try {
        ReportingDays days(timeZone);
        std::unique_ptr<Store> store = openStore(storeOptions, days);
        std::unique_ptr<AccessStore> accessStore = openAccessStore(storeOptions);
        ReportWriter writer(*store, limits);
        // Runs without --retention-days too: report ids of erased reports are forgotten on time.
        std::optional<RetentionPruner> pruner;
        pruner.emplace(*store, retentionDays, [](std::int64_t dropped, const std::string& error) {
                metrics::Registry& counted = metrics::global();
                counted.retentionRuns.fetch_add(1, std::memory_order_relaxed);
                if (dropped >= 0) {
                    counted.retentionDropped.fetch_add(static_cast<std::uint64_t>(dropped), std::memory_order_relaxed);
                    spdlog::info("event=retention_pruned reports={}", dropped);
                } else {
                    counted.retentionFailures.fetch_add(1, std::memory_order_relaxed);
                    spdlog::error("event=retention_failed error=\"{}\"", error);
                }
            }, std::chrono::hours(1), [&accessStore](std::int64_t cutoffMs) { accessStore->prune(cutoffMs); });
        http::Routes routes;
        addIngestRoutes(routes, writer, ingest);
        api::AccessToken token = api::loadOrCreateToken(
            storeOptions.dataDir, tokenFile.empty() ? std::nullopt : std::optional<std::filesystem::path>(tokenFile));
        // The token file's token is the admin token named owner, on every server sharing the store.
        bool ownerChanged = accessStore->ensureAdmin(
            "owner", api::secretHash(token.value),
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
        spdlog::info("event=access_token file={} created={} name=owner stored={}", token.file.string(), token.created,
                     ownerChanged ? "updated" : "unchanged");
        api::QueryApi queryApi(*store, *accessStore, days, accessSettings);
        queryApi.registerRoutes(routes);
        addMetricsRoute(routes, api::Credentials(token.value));

        std::optional<MetricsListener> metricsListener;
        if (!metricsListen.empty()) {
            metricsServer.requestTimeout = server.requestTimeout;
            metricsListener.emplace(metricsServer);
        }
        http::HttpServer httpServer(server, routes);
        if (metricsListener) metricsListener->start();
        spdlog::info("event=start listen={} scheme={} store={} legacy_charset={} allowed_apps={} pid={}",
                     httpServer.listenAddress(), server.tlsCertificate.empty() ? "http" : "https",
                     storeOptions.url.empty() ? "sqlite:" + storeOptions.dataDir : "postgresql", ingest.legacyCharset,
                     ingest.allowedApps.empty() ? std::string("*") : fmt::format("{}", fmt::join(ingest.allowedApps, ",")),
                     ::getpid());
        httpServer.run();
        metricsListener.reset();
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
