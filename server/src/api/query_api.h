// The private side of the server: the JSON query API under /api/v1, the dashboard at /, and the
// sign-in that guards both. Handlers are thin: check access, check parameters, ask the store,
// shape JSON. Every figure comes from the store's rollups.
#pragma once

#include "api/access_control.h"
#include "api/access_routes.h"
#include "http/routes.h"
#include "store/access_store.h"
#include "store/store.h"

#include <chrono>
#include <memory>
#include <string>

namespace tallyscope::server {
class ReportingDays;
}

namespace tallyscope::server::api {

class QueryApi {
public:
    QueryApi(Store& store, AccessStore& accessStore, const ReportingDays& days, AccessSettings settings = {});

    // Registers /, /signin, /signout, /assets/…, /api/v1/…, /share/… and /tokens on the table the
    // network layer serves. The object must outlive the server.
    void registerRoutes(http::Routes& routes);

private:
    http::Response page(const http::Request& request);
    http::Response signIn(const http::Request& request);
    http::Response signOut(const http::Request& request);
    http::Response asset(const http::Request& request);
    http::Response apps(const http::Request& request);
    http::Response appRoute(const http::Request& request);

    Store& store_;
    const ReportingDays& days_;
    AccessControl access_;
    AccessRoutes accessRoutes_;
};

}  // namespace tallyscope::server::api
