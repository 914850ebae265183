// The routes of access itself: who am I (/api/v1/me), named tokens (/api/v1/tokens), share links
// of one application (/api/v1/apps/{key}/shares, opened at /share/{id}), the audit log
// (/api/v1/audit) and the admin's token page (/tokens). Everything but /api/v1/me and /share/ is
// for admin tokens only.
#pragma once

#include "api/access_control.h"
#include "http/routes.h"
#include "store/store.h"

#include <string>
#include <variant>
#include <vector>

namespace tallyscope::server::api {

class AccessRoutes {
public:
    AccessRoutes(AccessControl& access, Store& store) : access_(access), store_(store) {}

    void registerRoutes(http::Routes& routes);

    // /api/v1/apps/{key}/shares[/{id}] for GET, POST and DELETE; `segments` are the decoded path
    // segments after /api/v1/apps/ and the caller an admin whose request passed the origin check.
    http::Response shares(const http::Request& request, const Caller& caller, const std::string& appKey,
                          const std::vector<std::string>& segments);

private:
    http::Response me(const http::Request& request);
    http::Response tokens(const http::Request& request);
    http::Response audit(const http::Request& request);
    http::Response sharePage(const http::Request& request);
    http::Response tokensPage(const http::Request& request);

    // The caller when it is an admin allowed to go on; otherwise the refusal to send.
    std::variant<Caller, http::Response> admin(const http::Request& request);

    AccessControl& access_;
    Store& store_;
};

}  // namespace tallyscope::server::api
