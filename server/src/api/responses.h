// The answers every private route shares: JSON with its error shape, the dashboard's pages, and
// the security headers and cache rules they all carry.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "http/routes.h"

namespace tallyscope::server::api {

http::Response withHeaders(http::Response response, std::string_view cacheControl);
http::Response jsonResponse(int status, const nlohmann::json& body);
// {"error": reason}
http::Response error(int status, const std::string& reason);
// 204, nothing to say.
http::Response noContent();
// A page; each "/assets/NAME" it names gets "?v=" and that file's version, so the browser may
// keep the file for as long as the page names that version.
http::Response htmlPage(int status, std::string body);
// An embedded file's version: a hash of its bytes.
std::string assetVersion(std::string_view body);
// An embedded page by name ("index.html"), empty when there is none.
std::string_view htmlOf(const char* name);
// The sign-in page with one of our own fixed messages in its placeholder.
http::Response signInPage(int status, std::string_view message);

// A store that cannot be reached (the database primary is down or failing over) is a passing
// state, not a fault of the request: the handler's StoreError becomes 503 with Retry-After.
http::Handler storeAnswer(http::Handler handler);

}  // namespace tallyscope::server::api
