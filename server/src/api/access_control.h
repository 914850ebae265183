// Who is asking, and may they: a request's credential (a session cookie, a bearer token or a
// share link's cookie) checked against the access store on every request, so a revocation or a
// sign-out on any server sharing the store counts at once; the failed-attempt limit per client
// address; the cross-origin check on requests that change something; and the audit log.
#pragma once

#include "api/auth.h"
#include "http/routes.h"
#include "store/access_store.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tallyscope::server {
class ReportingDays;
}

namespace tallyscope::server::api {

struct AccessSettings {
    // Wrong tokens (bearer or sign-in) an address may present within the window before its wrong
    // attempts get 429 for the rest of the window. A right credential is always accepted.
    int maxFailures = 10;
    std::chrono::seconds failureWindow{300};
    TrustedProxies trustedProxies;
};

inline constexpr std::string_view kAdmin = "admin";
inline constexpr std::string_view kViewer = "viewer";

struct Caller {
    enum class Via { None, Bearer, Session, Share };
    Via via = Via::None;
    std::optional<NamedToken> token;  // Bearer and Session
    std::optional<ShareLink> share;   // Share
    std::string sessionHash;          // Session
    std::string address;              // the client, behind trusted proxies

    bool admin() const { return token && token->role == kAdmin; }
    bool byCookie() const { return via == Via::Session || via == Via::Share; }
    // Figures of this application: any token, or a share link of it.
    bool seesApp(const std::string& appKey) const { return token || (share && share->appKey == appKey); }
    // The name the audit log gives the caller.
    std::string name() const;
};

class AccessControl {
public:
    // Unavailable: the access store could not be asked (the database is down).
    enum class Verdict { Granted, Missing, Wrong, Limited, Unavailable };
    struct Check {
        Verdict verdict = Verdict::Missing;
        Caller caller;
    };

    AccessControl(AccessStore& store, const ReportingDays& days, AccessSettings settings);

    Check check(const http::Request& request);
    // The answer to a verdict other than Granted: 401 with WWW-Authenticate, 429 with Retry-After,
    // or 503.
    http::Response refused(const Check& check);
    // 403 for a POST or DELETE that came with a cookie from a page of another origin.
    std::optional<http::Response> crossOriginRefusal(const http::Request& request, const Caller& caller) const;
    bool foreign(const http::Request& request) const;
    std::string clientAddress(const http::Request& request) const;
    // Over TLS, here or (X-Forwarded-Proto: https) at a trusted proxy: cookies get Secure.
    bool overTls(const http::Request& request) const;

    // The sign-in form: a session cookie (Set-Cookie value) for the right token, else the verdict.
    struct SignIn {
        Verdict verdict = Verdict::Wrong;
        std::string setCookie;
    };
    SignIn signIn(const std::string& token, const std::string& address, bool secure);
    void signOut(const Caller& caller);
    // Set-Cookie values that remove the session and share cookies.
    static std::string clearedCookie(std::string_view name, bool secure);
    static std::string cookie(std::string_view name, std::string_view value, std::int64_t maxAge, bool secure);

    // The share link of that id while it opens (not expired, not revoked).
    std::optional<ShareLink> openShare(const std::string& id);

    // Records an action; a failure to record is logged and does not undo the action.
    void audit(const Caller& caller, std::string_view action, const std::string& appKey, const std::string& target);

    AccessStore& store() { return store_; }
    const ReportingDays& days() const { return days_; }

private:
    Check identify(const http::Request& request);
    Verdict wrongAttempt(const std::string& address, std::string_view how);
    bool fromTrustedProxy(const http::Request& request) const;

    AccessStore& store_;
    const ReportingDays& days_;
    const AccessSettings settings_;
    FailureLimiter failures_;
};

}  // namespace tallyscope::server::api
