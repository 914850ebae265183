#include "api/query_api.h"

#include "api/csv_export.h"
#include "api/export_stream.h"
#include "api/query_params.h"
#include "api/responses.h"
#include "api/web_assets.h"
#include "core/days.h"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <functional>
#include <variant>

namespace tallyscope::server::api {
namespace {

using nlohmann::json;
constexpr std::string_view kAppsPrefix = "/api/v1/apps/";

json optionalNumber(const std::optional<double>& value) {
    return value ? json(*value) : json(nullptr);
}

std::vector<std::string_view> splitPath(std::string_view rest) {
    std::vector<std::string_view> segments;
    while (true) {
        auto slash = rest.find('/');
        segments.push_back(rest.substr(0, slash));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return segments;
}

std::string fileNamePart(std::string_view text) {
    std::string out;
    for (char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_' || c == '.';
        out.push_back(plain ? c : '_');
    }
    return out.substr(0, 64);
}

}  // namespace

QueryApi::QueryApi(Store& store, AccessStore& accessStore, const ReportingDays& days, AccessSettings settings)
    : store_(store), days_(days), access_(accessStore, days, std::move(settings)), accessRoutes_(access_, store) {}

void QueryApi::registerRoutes(http::Routes& routes) {
    routes.add("GET", "/", [this](const http::Request& r) { return page(r); });
    routes.add("GET", "/signin", [](const http::Request&) { return signInPage(200, ""); });
    routes.add("POST", "/signin", [this](const http::Request& r) { return signIn(r); });
    routes.add("POST", "/signout", [this](const http::Request& r) { return signOut(r); });
    routes.addPrefix("GET", "/assets/", [this](const http::Request& r) { return asset(r); });
    routes.add("GET", "/api/v1/apps", storeAnswer([this](const http::Request& r) { return apps(r); }));
    for (const char* method : {"GET", "DELETE", "POST"})
        routes.addPrefix(method, std::string(kAppsPrefix), storeAnswer([this](const http::Request& r) { return appRoute(r); }));
    accessRoutes_.registerRoutes(routes);
}

http::Response QueryApi::page(const http::Request& request) {
    auto check = access_.check(request);
    using Verdict = AccessControl::Verdict;
    // The dashboard sends an ended session here with ?session=ended, so the user is told why.
    const bool ended = request.query == "session=ended";
    if (check.verdict == Verdict::Unavailable) return signInPage(503, "The server cannot reach its store; try again shortly.");
    if (check.verdict != Verdict::Granted)
        return signInPage(check.verdict == Verdict::Limited ? 429 : 401,
                          check.verdict == Verdict::Limited ? "Too many failed attempts; try again later."
                          : ended                          ? "Your session has ended; sign in again."
                                                           : "");
    return htmlPage(200, std::string(htmlOf("index.html")));
}

http::Response QueryApi::signIn(const http::Request& request) {
    if (access_.foreign(request)) return signInPage(403, "Sign in from this dashboard's own page.");
    auto form = parseForm(request.body);
    std::string token;
    if (auto* pairs = std::get_if<0>(&form))
        for (auto& [name, value] : *pairs)
            if (name == "token") token = value;
    // A token pasted from a terminal often brings a space or line break along.
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!token.empty() && blank(token.back())) token.pop_back();
    token.erase(token.begin(), std::find_if_not(token.begin(), token.end(), blank));
    using Verdict = AccessControl::Verdict;
    AccessControl::SignIn result;
    try {
        result = access_.signIn(token, access_.clientAddress(request), access_.overTls(request));
    } catch (const StoreError& e) {
        spdlog::error("event=signin_failed error=\"{}\"", e.what());
        return signInPage(503, "The server cannot reach its store; try again shortly.");
    }
    if (result.verdict != Verdict::Granted)
        return signInPage(result.verdict == Verdict::Limited ? 429 : 401,
                          result.verdict == Verdict::Missing   ? "Paste the access token."
                          : result.verdict == Verdict::Limited ? "Too many failed attempts; try again later."
                                                               : "Wrong access token.");
    http::Response response;
    response.status = 303;
    response.headers.emplace_back("Location", "/");
    response.headers.emplace_back("Set-Cookie", result.setCookie);
    return withHeaders(std::move(response), "no-store");
}

http::Response QueryApi::signOut(const http::Request& request) {
    auto check = access_.check(request);
    if (auto refusal = access_.crossOriginRefusal(request, check.caller)) return std::move(*refusal);
    if (check.verdict == AccessControl::Verdict::Granted) access_.signOut(check.caller);
    http::Response response;
    response.status = 303;
    response.headers.emplace_back("Location", "/signin");
    const bool secure = access_.overTls(request);
    response.headers.emplace_back("Set-Cookie", AccessControl::clearedCookie(kSessionCookie, secure));
    response.headers.emplace_back("Set-Cookie", AccessControl::clearedCookie(kShareCookie, secure));
    return withHeaders(std::move(response), "no-store");
}

// Scripts, styles and the chart library hold no figures, so the sign-in page may use them.
http::Response QueryApi::asset(const http::Request& request) {
    std::string_view name = request.path;
    name.remove_prefix(std::string_view("/assets/").size());
    const WebAsset* found = findWebAsset(name);
    bool isPage = name.size() >= 5 && name.substr(name.size() - 5) == ".html";
    if (!found || isPage)
        return http::Response::text(404, "not found\n");
    // Named by a page with this build's version, the file is kept without asking again; asked
    // otherwise, a reload revalidates and gets 304 while the file is the same, so the browser
    // keeps its copy and the scripts it has already compiled.
    const std::string version = assetVersion(found->body);
    const std::string_view caching = request.query == "v=" + version ? "max-age=31536000, immutable" : "no-cache";
    const std::string etag = "\"" + version + "\"";
    http::Response response;
    response.headers.emplace_back("ETag", etag);
    if (const std::string* asked = request.header("if-none-match"); asked && *asked == etag) {
        response.status = 304;
        return withHeaders(std::move(response), caching);
    }
    response.contentType = std::string(found->contentType);
    response.body = std::string(found->body);
    return withHeaders(std::move(response), caching);
}

http::Response QueryApi::apps(const http::Request& request) {
    auto check = access_.check(request);
    if (check.verdict != AccessControl::Verdict::Granted) return access_.refused(check);
    if (!request.query.empty()) return error(400, "this route takes no parameters");
    json list = json::array();
    for (const AppSummary& app : store_.apps())
        if (check.caller.seesApp(app.appKey)) list.push_back({{"appkey", app.appKey},
                        {"devices", app.devices},
                        {"reports", app.reports},
                        {"first_seen", ReportingDays::format(app.firstDay)},
                        {"last_seen", ReportingDays::format(app.lastDay)}});
    // The server's today: the page's default range ends on it.
    return jsonResponse(200, json{{"apps", std::move(list)}, {"today", ReportingDays::format(days_.today())}});
}

http::Response QueryApi::appRoute(const http::Request& request) {
    auto check = access_.check(request);
    if (check.verdict != AccessControl::Verdict::Granted) return access_.refused(check);
    const Caller& caller = check.caller;

    std::string_view rest = request.path;
    rest.remove_prefix(kAppsPrefix.size());
    auto raw = splitPath(rest);
    std::vector<std::string> segments;
    for (std::string_view s : raw) {
        auto decoded = decodePathSegment(s);
        if (!decoded || !validUtf8(*decoded)) return error(400, "broken %-escape or non-UTF-8 in the path");
        segments.push_back(std::move(*decoded));
    }
    auto noRoute = [] { return error(404, "no such route"); };
    if (segments.size() < 2 || segments[0].empty()) return noRoute();
    const std::string& appKey = segments[0];
    const std::string& what = segments[1];

    // Viewers and share links see the figures; device records, the export, erasure and share
    // links are for admins, and so is any route not named here.
    static constexpr std::string_view kFigureRoutes[] = {"daily", "active", "top", "retention", "breakdown"};
    const bool figures = request.method == "GET" &&
                         std::find(std::begin(kFigureRoutes), std::end(kFigureRoutes), what) != std::end(kFigureRoutes);
    if (!caller.seesApp(appKey)) return error(403, "this share link opens another application");
    if (!figures && !caller.admin()) return error(403, "this needs an admin token");
    if (auto refusal = access_.crossOriginRefusal(request, caller)) return std::move(*refusal);
    if (what == "shares") {
        if (!store_.hasApp(appKey)) return error(404, "no reports for application key \"" + appKey + "\"");
        return accessRoutes_.shares(request, caller, appKey, segments);
    }
    if (request.method == "POST") {
        auto refusal = error(405, "method not allowed");
        refusal.headers.emplace_back("Allow", "GET, DELETE");
        return refusal;
    }
    bool isDelete = request.method == "DELETE";
    bool deviceRoute = what == "devices" && segments.size() == 3 && !segments[2].empty();
    bool searchRoute = what == "devices" && segments.size() == 2 && !isDelete;
    if (isDelete && !deviceRoute) return noRoute();
    if (!deviceRoute && segments.size() != 2) return noRoute();

    static const std::pair<std::string_view, Accepts> routes[] = {
        {"daily", {true, false, false}},      {"active", {true, false, false}},
        {"top", {true, true, false}},         {"retention", {true, false, false}},
        {"export.csv", {true, false, true}}, {"breakdown", {true, false, false, true}},
    };
    static const Accepts search{false, false, false, false, true};
    const Accepts* accepts = searchRoute ? &search : nullptr;
    for (const auto& [name, a] : routes)
        if (name == what) accepts = &a;
    if (!accepts && !deviceRoute) return noRoute();

    if (!store_.hasApp(appKey)) return error(404, "no reports for application key \"" + appKey + "\"");

    if (deviceRoute) {
        if (!request.query.empty()) return error(400, "this route takes no parameters");
        const std::string& deviceId = segments[2];
        if (isDelete) {
            if (!store_.eraseDevice(appKey, deviceId))
                return error(404, "no device \"" + deviceId + "\" for this application key");
            access_.audit(caller, "erase", appKey, deviceId);
            return noContent();
        }
        auto device = store_.device(appKey, deviceId);
        if (!device) return error(404, "no device \"" + deviceId + "\" for this application key");
        json inventory = json::object();
        if (device->inventory)
            for (std::size_t i = 0; i < kInventoryKeys.size(); ++i)
                inventory[kInventoryKeys[i]] = (*device->inventory)[i];
        return jsonResponse(200, json{{"deviceid", device->deviceId},
                                      {"first_seen", ReportingDays::formatUtc(device->firstSeenMs)},
                                      {"last_seen", ReportingDays::formatUtc(device->lastSeenMs)},
                                      {"app_events", device->appEvents},
                                      {"actions", device->actions},
                                      {"device_reports", device->deviceReports},
                                      {"days_active", device->daysActive},
                                      {"inventory", std::move(inventory)}});
    }

    int today = days_.today();
    auto parsed = parseQueryArgs(request.query, *accepts, today);
    if (auto* bad = std::get_if<BadRequest>(&parsed)) return error(400, bad->reason);
    const QueryArgs& args = std::get<QueryArgs>(parsed);
    const DayRange range = args.range;

    const Filters filters = args.filters();
    if (searchRoute) {
        json devices = json::array();
        for (const DeviceMatch& m : store_.findDevices(appKey, args.text, args.limit))
            devices.push_back({{"deviceid", m.deviceId},
                               {"pcname", m.pcName},
                               {"pcusername", m.pcUserName},
                               {"pcosname", m.pcOsName},
                               {"last_seen", ReportingDays::formatUtc(m.lastSeenMs)}});
        return jsonResponse(200, json{{"devices", std::move(devices)}});
    }
    if (what == "daily") {
        json days = json::array();
        for (const DayFigures& d : store_.daily(appKey, range.from, range.to, filters)) {
            json day = {{"date", ReportingDays::format(d.day)},
                        {"active_devices", d.activeDevices},
                        {"new_devices", d.newDevices},
                        {"app_events", d.appEvents},
                        {"actions", d.actions},
                        {"device_reports", d.deviceReports}};
            // Today is not over: its figures are so far, not a day's.
            if (d.day == today) day["partial"] = true;
            days.push_back(std::move(day));
        }
        return jsonResponse(200, json{{"appkey", appKey}, {"days", std::move(days)}});
    }
    if (what == "active") {
        return jsonResponse(200, json{{"appkey", appKey},
                                      {"from", ReportingDays::format(range.from)},
                                      {"to", ReportingDays::format(range.to)},
                                      {"active_devices", store_.activeDevices(appKey, range.from, range.to, filters)}});
    }
    if (what == "breakdown") {
        BreakdownQuery query;
        query.appKey = appKey;
        query.dimension = *args.dimension;
        query.fromDay = range.from;
        query.toDay = range.to;
        query.filters = filters;
        query.limit = args.limit;
        const Breakdown answer = store_.breakdown(query);
        auto daysOf = [&](const std::vector<BreakdownDay>& list) {
            json days = json::array();
            for (std::size_t i = 0; i < list.size(); ++i)
                days.push_back({{"date", ReportingDays::format(range.from + static_cast<int>(i))},
                                {"reports", list[i].reports},
                                {"devices", list[i].devices}});
            return days;
        };
        json series = json::array();
        for (const BreakdownSeries& one : answer.series)
            series.push_back({{"value", one.value}, {"reports", one.reports}, {"devices", one.devices},
                              {"days", daysOf(one.days)}});
        static const char* const names[] = {"event", "action", "content", "channel", "os", "osversion"};
        return jsonResponse(200, json{{"dimension", names[static_cast<int>(*args.dimension)]},
                                      {"series", std::move(series)},
                                      {"other", {{"days", daysOf(answer.other)}}}});
    }
    if (what == "top") {
        TopQuery query;
        query.appKey = appKey;
        query.dimension = *args.dimension;
        query.fromDay = range.from;
        query.toDay = range.to;
        query.channel = args.channel;
        query.os = args.os;
        query.osversion = args.osversion;
        query.action = args.action;
        query.limit = args.limit;
        auto rowsOf = [](const std::vector<TopRow>& found) {
            json rows = json::array();
            for (const TopRow& row : found)
                rows.push_back({{"value", row.value}, {"reports", row.reports}, {"devices", row.devices}});
            return rows;
        };
        const std::vector<TopRow> found = store_.top(query);
        json body{{"rows", rowsOf(found)}};
        // contents=first: the first action's contents too, so a page showing the busiest action's
        // contents needs no second round trip after this answer.
        if (args.firstContents && !found.empty()) {
            query.dimension = Dimension::Content;
            query.action = found.front().value;
            body["contents"] = {{"action", found.front().value}, {"rows", rowsOf(store_.top(query))}};
        }
        return jsonResponse(200, body);
    }
    if (what == "retention") {
        json cohorts = json::array();
        for (const Cohort& c : store_.retention(appKey, range.from, range.to, today, filters))
            cohorts.push_back({{"date", ReportingDays::format(c.day)},
                               {"new_devices", c.newDevices},
                               {"d1", optionalNumber(c.d1)},
                               {"d7", optionalNumber(c.d7)},
                               {"d30", optionalNumber(c.d30)}});
        return jsonResponse(200, json{{"cohorts", std::move(cohorts)}});
    }

    // export.csv
    http::Response response;
    response.contentType = "text/csv; charset=utf-8";
    response.headers.emplace_back(
        "Content-Disposition",
        "attachment; filename=\"" + fileNamePart(appKey) + "-" + ReportingDays::format(range.from) +
            "-" + ReportingDays::format(range.to) + ".csv\"");
    Store& store = store_;
    response.stream = csvExportStream([&store, appKey, range, filters](const ReportSink& sink) {
        store.exportReports(appKey, range.from, range.to, filters, sink);
    });
    return withHeaders(std::move(response), "no-store");
}

}  // namespace tallyscope::server::api
