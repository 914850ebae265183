#include "api/access_routes.h"

#include "api/query_params.h"
#include "api/responses.h"
#include "core/days.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <variant>

namespace tallyscope::server::api {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxTokenName = 64;
constexpr int kMaxAuditEntries = 5000;
// A share link's cookie outlives no link by much: the server checks the link on every request.
constexpr std::int64_t kShareCookieSeconds = 30 * 86400;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

json optionalTime(const std::optional<std::int64_t>& ms) {
    return ms ? json(ReportingDays::formatUtc(*ms)) : json(nullptr);
}

json tokenJson(const NamedToken& t) {
    return {{"id", t.id}, {"name", t.name}, {"role", t.role}, {"created", ReportingDays::formatUtc(t.createdMs)},
            {"last_used", optionalTime(t.lastUsedMs)}};
}

std::string shareUrl(const ShareLink& s) { return "/share/" + s.id; }

// Printable UTF-8 without control characters, 1 to kMaxTokenName bytes.
bool goodName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxTokenName && validUtf8(name) &&
           std::none_of(name.begin(), name.end(), [](char c) {
               auto u = static_cast<unsigned char>(c);
               return u < 0x20 || u == 0x7f;
           });
}

std::optional<std::int64_t> wholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(text);
}

// A JSON object body; an empty body is the empty object.
std::optional<json> objectBody(const std::string& body) {
    if (body.find_first_not_of(" \t\r\n") == std::string::npos) return json::object();
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

}  // namespace

void AccessRoutes::registerRoutes(http::Routes& routes) {
    routes.add("GET", "/api/v1/me", storeAnswer([this](const http::Request& r) { return me(r); }));
    routes.add("GET", "/api/v1/tokens", storeAnswer([this](const http::Request& r) { return tokens(r); }));
    routes.add("POST", "/api/v1/tokens", storeAnswer([this](const http::Request& r) { return tokens(r); }));
    routes.addPrefix("DELETE", "/api/v1/tokens/", storeAnswer([this](const http::Request& r) { return tokens(r); }));
    routes.add("GET", "/api/v1/audit", storeAnswer([this](const http::Request& r) { return audit(r); }));
    routes.addPrefix("GET", "/share/", storeAnswer([this](const http::Request& r) { return sharePage(r); }));
    routes.add("GET", "/tokens", storeAnswer([this](const http::Request& r) { return tokensPage(r); }));
}

std::variant<Caller, http::Response> AccessRoutes::admin(const http::Request& request) {
    auto check = access_.check(request);
    if (check.verdict != AccessControl::Verdict::Granted) return access_.refused(check);
    if (!check.caller.admin()) return error(403, "this needs an admin token");
    if (auto refusal = access_.crossOriginRefusal(request, check.caller)) return std::move(*refusal);
    return std::move(check.caller);
}

http::Response AccessRoutes::me(const http::Request& request) {
    auto check = access_.check(request);
    if (check.verdict != AccessControl::Verdict::Granted) return access_.refused(check);
    const Caller& caller = check.caller;
    if (caller.share) {
        const ShareLink& s = *caller.share;
        return jsonResponse(200, json{{"name", caller.name()},
                                      {"role", kViewer},
                                      {"share", {{"id", s.id},
                                                 {"appkey", s.appKey},
                                                 {"expires", s.expiresDay ? json(ReportingDays::format(*s.expiresDay))
                                                                          : json(nullptr)}}}});
    }
    return jsonResponse(200, json{{"name", caller.token->name}, {"role", caller.token->role}});
}

http::Response AccessRoutes::tokens(const http::Request& request) {
    auto allowed = admin(request);
    if (auto* refusal = std::get_if<http::Response>(&allowed)) return std::move(*refusal);
    const Caller& caller = std::get<Caller>(allowed);
    AccessStore& store = access_.store();

    if (request.method == "GET") {
        if (!request.query.empty()) return error(400, "this route takes no parameters");
        json list = json::array();
        for (const NamedToken& t : store.tokens()) list.push_back(tokenJson(t));
        return jsonResponse(200, json{{"tokens", std::move(list)}});
    }
    if (request.method == "POST") {
        auto body = objectBody(request.body);
        if (!body) return error(400, "the body must be a JSON object such as {\"name\":\"alice\",\"role\":\"viewer\"}");
        auto field = [&](const char* key) {
            auto it = body->find(key);
            return it != body->end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        const std::string name = field("name"), role = field("role");
        if (!goodName(name))
            return error(400, "name: 1 to " + std::to_string(kMaxTokenName) + " bytes of UTF-8, no control characters");
        if (role != kAdmin && role != kViewer) return error(400, "role: \"admin\" or \"viewer\"");
        const std::string secret = newSecret();
        auto created = store.createToken(name, role, secretHash(secret), nowMs());
        if (!created) return error(409, "a token named \"" + name + "\" exists");
        access_.audit(caller, "token_create", "", name);
        json answer = tokenJson(*created);
        answer["token"] = secret;  // the only time the secret is ever shown
        return jsonResponse(201, answer);
    }
    // DELETE /api/v1/tokens/{id}
    auto id = wholeNumber(request.path.substr(std::string_view("/api/v1/tokens/").size()));
    if (!id) return error(404, "no such route");
    auto tokens = store.tokens();
    auto it = std::find_if(tokens.begin(), tokens.end(), [&](const NamedToken& t) { return t.id == *id; });
    if (it == tokens.end()) return error(404, "no token with id " + std::to_string(*id));
    // It comes back from the token file at the next start: replacing the file is how it changes.
    if (it->name == "owner")
        return error(409, "the owner token is the one in the server's token file; put a new token there and restart");
    auto gone = store.revokeToken(*id);
    if (!gone) return error(404, "no token with id " + std::to_string(*id));
    access_.audit(caller, "token_revoke", "", gone->name);
    return noContent();
}

http::Response AccessRoutes::audit(const http::Request& request) {
    auto allowed = admin(request);
    if (auto* refusal = std::get_if<http::Response>(&allowed)) return std::move(*refusal);
    auto parsed = parseQueryArgs(request.query, Accepts{}, access_.days().today());
    if (auto* bad = std::get_if<BadRequest>(&parsed)) return error(400, bad->reason);
    const DayRange range = std::get<QueryArgs>(parsed).range;
    const ReportingDays& days = access_.days();
    auto entries = access_.store().auditLog(days.startOf(range.from), days.startOf(range.to + 1), kMaxAuditEntries + 1);
    const bool truncated = entries.size() > static_cast<std::size_t>(kMaxAuditEntries);
    if (truncated) entries.pop_back();
    json list = json::array();
    for (const AuditEntry& e : entries)
        list.push_back({{"time", ReportingDays::formatUtc(e.atMs)}, {"address", e.address}, {"token", e.actor},
                        {"action", e.action}, {"appkey", e.appKey}, {"target", e.target}});
    return jsonResponse(200, json{{"from", ReportingDays::format(range.from)},
                                  {"to", ReportingDays::format(range.to)},
                                  {"truncated", truncated},
                                  {"entries", std::move(list)}});
}

http::Response AccessRoutes::shares(const http::Request& request, const Caller& caller, const std::string& appKey,
                                    const std::vector<std::string>& segments) {
    AccessStore& store = access_.store();
    const ReportingDays& days = access_.days();
    const bool one = segments.size() == 3 && !segments[2].empty();
    if (segments.size() > 3 || (segments.size() == 3 && !one)) return error(404, "no such route");
    if (request.method == "DELETE") {
        if (!one) return error(404, "no such route");
        if (!store.revokeShare(appKey, segments[2]))
            return error(404, "no share link \"" + segments[2] + "\" for this application key");
        access_.audit(caller, "share_revoke", appKey, segments[2]);
        return noContent();
    }
    if (one) return error(404, "no such route");
    if (request.method == "GET") {
        if (!request.query.empty()) return error(400, "this route takes no parameters");
        const int today = days.today();
        json list = json::array();
        for (const ShareLink& s : store.shares(appKey))
            list.push_back({{"id", s.id},
                            {"url", shareUrl(s)},
                            {"expires", s.expiresDay ? json(ReportingDays::format(*s.expiresDay)) : json(nullptr)},
                            {"expired", s.expiresDay && today > *s.expiresDay},
                            {"created", ReportingDays::formatUtc(s.createdMs)},
                            {"created_by", s.createdBy}});
        return jsonResponse(200, json{{"shares", std::move(list)}});
    }
    // POST
    auto body = objectBody(request.body);
    if (!body) return error(400, "the body must be a JSON object: {\"expires\":\"YYYY-MM-DD\"} or {}");
    ShareLink share;
    if (auto it = body->find("expires"); it != body->end() && !it->is_null()) {
        std::optional<int> day = it->is_string() ? ReportingDays::parse(it->get<std::string>()) : std::nullopt;
        if (!day) return error(400, "expires: a date as YYYY-MM-DD");
        if (*day < days.today()) return error(400, "expires: " + ReportingDays::format(*day) + " has passed");
        share.expiresDay = *day;
    }
    share.id = newSecret().substr(0, 32);  // 128 random bits
    share.appKey = appKey;
    share.createdMs = nowMs();
    share.createdBy = caller.name();
    store.createShare(share);
    access_.audit(caller, "share_create", appKey, share.id);
    return jsonResponse(201, json{{"id", share.id},
                                  {"url", shareUrl(share)},
                                  {"expires", share.expiresDay ? json(ReportingDays::format(*share.expiresDay))
                                                               : json(nullptr)}});
}

// The dashboard itself, answered at the link's own address with a cookie naming the link: the
// page's API calls then carry it (same site, so SameSite=Strict lets it through even when the
// link was opened from a mail or a chat).
http::Response AccessRoutes::sharePage(const http::Request& request) {
    std::string id = request.path.substr(std::string_view("/share/").size());
    auto share = id.size() == 32 ? access_.openShare(id) : std::nullopt;
    const bool secure = access_.overTls(request);
    if (!share) {
        auto page = signInPage(404, "This share link has expired or was withdrawn.");
        page.headers.emplace_back("Set-Cookie", AccessControl::clearedCookie(kShareCookie, secure));
        return page;
    }
    auto page = htmlPage(200, std::string(htmlOf("index.html")));
    page.headers.emplace_back("Set-Cookie", AccessControl::cookie(kShareCookie, share->id, kShareCookieSeconds, secure));
    return page;
}

http::Response AccessRoutes::tokensPage(const http::Request& request) {
    auto check = access_.check(request);
    if (check.verdict != AccessControl::Verdict::Granted)
        return signInPage(check.verdict == AccessControl::Verdict::Limited ? 429 : 401, "");
    if (!check.caller.admin()) return signInPage(403, "Managing tokens needs an admin token.");
    return htmlPage(200, std::string(htmlOf("tokens.html")));
}

}  // namespace tallyscope::server::api
