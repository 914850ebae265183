// The private side of the server: the JSON query API under /api/v1, the dashboard at /, and the
// sign-in that guards both. Handlers are thin: check access, check parameters, ask the store,
// shape JSON. Every figure comes from the store's rollups.
#pragma once

#include "api/auth.h"
#include "http/routes.h"
#include "store/store.h"

#include <chrono>
#include <memory>
#include <string>

namespace tallyscope::server {
class ReportingDays;
}

namespace tallyscope::server::api {

struct AccessSettings {
    // Failed attempts (wrong bearer token or sign-in) an address may make within the window
    // before it gets 429 for the rest of the window.
    int maxFailures = 10;
    std::chrono::seconds failureWindow{300};
};

class QueryApi {
public:
    QueryApi(Store& store, const ReportingDays& days, const std::string& token,
             AccessSettings settings = {});

    // Registers /, /signin, /signout, /assets/… and /api/v1/… on the table the network layer
    // serves. The object must outlive the server.
    void registerRoutes(http::Routes& routes);

private:
    enum class Access { Granted, Missing, Wrong, Limited };
    Access access(const http::Request& request);
    http::Response refused(Access access, const http::Request& request);
    void failed(const std::string& address, FailureLimiter::Clock::time_point now);

    http::Response page(const http::Request& request);
    http::Response signIn(const http::Request& request);
    http::Response signOut(const http::Request& request);
    http::Response asset(const http::Request& request);
    http::Response apps(const http::Request& request);
    http::Response appRoute(const http::Request& request);

    Store& store_;
    const ReportingDays& days_;
    Credentials credentials_;
    FailureLimiter failures_;
};

}  // namespace tallyscope::server::api
