#include "api/access_control.h"

#include "api/responses.h"
#include "core/days.h"

#include <spdlog/spdlog.h>

#include <chrono>

namespace tallyscope::server::api {
namespace {

// last_used is a hint for the token page, not a log: written at most once a minute per token.
constexpr std::int64_t kTouchEveryMs = 60000;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string Caller::name() const {
    if (token) return token->name;
    if (share) return "share link " + share->id;
    return "";
}

AccessControl::AccessControl(AccessStore& store, const ReportingDays& days, AccessSettings settings)
    : store_(store),
      days_(days),
      settings_(std::move(settings)),
      failures_(settings_.maxFailures, settings_.failureWindow) {}

bool AccessControl::fromTrustedProxy(const http::Request& request) const {
    return settings_.trustedProxies.contains(request.remoteAddress);
}

std::string AccessControl::clientAddress(const http::Request& request) const {
    return settings_.trustedProxies.clientAddress(request.remoteAddress, request.header("x-forwarded-for"));
}

// A session comes first, then a bearer token, then a share link: an admin who opened a share link
// in the same browser stays an admin. A stale cookie costs nothing (a browser keeps what it was
// given); only a wrong bearer token counts against the address.
AccessControl::Check AccessControl::check(const http::Request& request) {
    try {
        return identify(request);
    } catch (const StoreError& e) {
        spdlog::error("event=access_check_failed error=\"{}\"", e.what());
        Check unavailable;
        unavailable.verdict = Verdict::Unavailable;
        unavailable.caller.address = clientAddress(request);
        return unavailable;
    }
}

AccessControl::Check AccessControl::identify(const http::Request& request) {
    Check result;
    Caller& caller = result.caller;
    caller.address = clientAddress(request);
    const std::int64_t now = nowMs();
    const std::string* cookies = request.header("cookie");
    if (cookies) {
        if (auto value = cookieValue(*cookies, kSessionCookie); value && !value->empty()) {
            std::string hash = secretHash(*value);
            if (auto token = store_.sessionToken(hash, now)) {
                caller.via = Caller::Via::Session;
                caller.token = std::move(token);
                caller.sessionHash = std::move(hash);
                result.verdict = Verdict::Granted;
                return result;
            }
        }
    }
    if (const std::string* authorization = request.header("authorization")) {
        auto presented = bearerToken(*authorization);
        std::optional<NamedToken> token;
        if (presented) token = store_.tokenByHash(secretHash(*presented));
        if (!token) {
            result.verdict = wrongAttempt(caller.address, "bearer");
            return result;
        }
        if (!token->lastUsedMs || now - *token->lastUsedMs >= kTouchEveryMs) {
            try {
                store_.touchToken(token->id, now);
            } catch (const StoreError& e) {
                spdlog::warn("event=token_touch_failed error=\"{}\"", e.what());
            }
        }
        caller.via = Caller::Via::Bearer;
        caller.token = std::move(token);
        result.verdict = Verdict::Granted;
        return result;
    }
    if (cookies) {
        if (auto value = cookieValue(*cookies, kShareCookie); value && !value->empty()) {
            if (auto share = openShare(std::string(*value))) {
                caller.via = Caller::Via::Share;
                caller.share = std::move(share);
                result.verdict = Verdict::Granted;
                return result;
            }
        }
    }
    result.verdict = Verdict::Missing;
    return result;
}

// The first failures of a window are each in the audit log; past the limit only the moment the
// address was limited is, so a flood of guesses cannot flood the log.
AccessControl::Verdict AccessControl::wrongAttempt(const std::string& address, std::string_view how) {
    auto now = FailureLimiter::Clock::now();
    if (failures_.blockedFor(address, now) > 0) return Verdict::Limited;
    bool usedUp = failures_.recordFailure(address, now);
    Caller unknown;
    unknown.address = address;
    audit(unknown, "signin_failed", "", std::string(how));
    if (usedUp) {
        spdlog::warn("event=access_limited address={} reason=\"too many wrong tokens\"", address);
        audit(unknown, "signin_limited", "", std::string(how));
    }
    return Verdict::Wrong;
}

http::Response AccessControl::refused(const Check& check) {
    if (check.verdict == Verdict::Unavailable) {
        auto response = error(503, "the store that holds the tokens cannot be reached; try again shortly");
        response.headers.emplace_back("Retry-After", "5");
        return response;
    }
    if (check.verdict == Verdict::Limited) {
        auto response = error(429, "too many failed attempts from this address; try again later");
        response.headers.emplace_back(
            "Retry-After", std::to_string(std::max<std::int64_t>(
                               1, failures_.blockedFor(check.caller.address, FailureLimiter::Clock::now()))));
        return response;
    }
    auto response = error(401, check.verdict == Verdict::Wrong
                                   ? "wrong access token"
                                   : "an access token is needed (Authorization: Bearer TOKEN)");
    response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"tallyscope\"");
    return response;
}

bool AccessControl::overTls(const http::Request& request) const {
    if (request.secure) return true;
    const std::string* forwardedProto = fromTrustedProxy(request) ? request.header("x-forwarded-proto") : nullptr;
    return forwardedProto && *forwardedProto == "https";
}

bool AccessControl::foreign(const http::Request& request) const {
    bool proxied = fromTrustedProxy(request);
    const std::string* forwardedProto = proxied ? request.header("x-forwarded-proto") : nullptr;
    const std::string* forwardedHost = proxied ? request.header("x-forwarded-host") : nullptr;
    const std::string* host = forwardedHost ? forwardedHost : request.header("host");
    std::string scheme = forwardedProto ? *forwardedProto : request.secure ? "https" : "http";
    return foreignOrigin(request.header("origin"), request.header("referer"), scheme, host ? *host : "");
}

std::optional<http::Response> AccessControl::crossOriginRefusal(const http::Request& request,
                                                                const Caller& caller) const {
    if (request.method != "POST" && request.method != "DELETE") return std::nullopt;
    if (!caller.byCookie() || !foreign(request)) return std::nullopt;
    spdlog::warn("event=cross_origin_refused address={} method={} path=\"{}\"", caller.address, request.method,
                 request.path);
    return error(403, "a request that changes something must come from this dashboard's own pages");
}

std::string AccessControl::cookie(std::string_view name, std::string_view value, std::int64_t maxAge, bool secure) {
    std::string text = std::string(name) + "=" + std::string(value) + "; Path=/; Max-Age=" + std::to_string(maxAge) +
                       "; HttpOnly; SameSite=Strict";
    if (secure) text += "; Secure";
    return text;
}

std::string AccessControl::clearedCookie(std::string_view name, bool secure) { return cookie(name, "", 0, secure); }

AccessControl::SignIn AccessControl::signIn(const std::string& token, const std::string& address, bool secure) {
    SignIn result;
    std::optional<NamedToken> found;
    if (!token.empty()) found = store_.tokenByHash(secretHash(token));
    if (!found) {
        result.verdict = token.empty() ? Verdict::Missing : wrongAttempt(address, "form");
        return result;
    }
    std::string session = newSecret();
    const std::int64_t now = nowMs();
    store_.createSession(secretHash(session), found->id, now + kSessionSeconds * 1000);
    store_.touchToken(found->id, now);
    Caller caller;
    caller.token = found;
    caller.address = address;
    audit(caller, "signin", "", "");
    result.verdict = Verdict::Granted;
    result.setCookie = cookie(kSessionCookie, session, kSessionSeconds, secure);
    return result;
}

void AccessControl::signOut(const Caller& caller) {
    if (caller.via != Caller::Via::Session) return;
    store_.endSession(caller.sessionHash);
    audit(caller, "signout", "", "");
}

std::optional<ShareLink> AccessControl::openShare(const std::string& id) {
    auto share = store_.share(id);
    if (share && share->expiresDay && days_.today() > *share->expiresDay) return std::nullopt;
    return share;
}

void AccessControl::audit(const Caller& caller, std::string_view action, const std::string& appKey,
                          const std::string& target) {
    AuditEntry entry{nowMs(), caller.address, caller.name(), std::string(action), appKey, target};
    try {
        store_.audit(entry);
    } catch (const StoreError& e) {
        spdlog::error("event=audit_failed action={} actor=\"{}\" error=\"{}\"", action, entry.actor, e.what());
    }
}

}  // namespace tallyscope::server::api
