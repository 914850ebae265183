#include "api/responses.h"

#include "api/web_assets.h"
#include "store/store.h"

#include <spdlog/spdlog.h>

#include <functional>

namespace tallyscope::server::api {
namespace {

// Browsers get no say in where the dashboard's scripts, styles and frames come from. The referrer
// stays on this origin: a share link's URL is its secret, and a POST keeps a real Origin header
// (under no-referrer browsers send "Origin: null", which the cross-origin check refuses).
const std::pair<std::string, std::string> kSecurityHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'self'; img-src 'self' data:; style-src 'self'; object-src 'none'; "
     "base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "same-origin"},
};

}  // namespace

http::Response withHeaders(http::Response response, std::string_view cacheControl) {
    for (const auto& header : kSecurityHeaders) response.headers.push_back(header);
    response.headers.emplace_back("Cache-Control", cacheControl);
    return response;
}

http::Response jsonResponse(int status, const nlohmann::json& body) {
    http::Response response;
    response.status = status;
    response.contentType = "application/json";
    response.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return withHeaders(std::move(response), "no-store");
}

http::Response error(int status, const std::string& reason) {
    return jsonResponse(status, nlohmann::json{{"error", reason}});
}

http::Response noContent() {
    http::Response gone;
    gone.status = 204;
    return withHeaders(std::move(gone), "no-store");
}

std::string_view htmlOf(const char* name) {
    const WebAsset* asset = findWebAsset(name);
    return asset ? asset->body : std::string_view{};
}

std::string assetVersion(std::string_view body) {
    return std::to_string(std::hash<std::string_view>{}(body));
}

http::Response htmlPage(int status, std::string body) {
    constexpr std::string_view prefix = "\"/assets/";
    for (std::size_t at = body.find(prefix); at != std::string::npos; at = body.find(prefix, at + 1)) {
        const std::size_t start = at + prefix.size(), end = body.find('"', start);
        if (end == std::string::npos) break;
        if (const WebAsset* asset = findWebAsset(std::string_view(body).substr(start, end - start)))
            body.insert(end, "?v=" + assetVersion(asset->body));
    }
    http::Response response;
    response.status = status;
    response.contentType = "text/html; charset=utf-8";
    response.body = std::move(body);
    return withHeaders(std::move(response), "no-store");
}

http::Response signInPage(int status, std::string_view message) {
    std::string body(htmlOf("signin.html"));
    constexpr std::string_view placeholder = "<!--message-->";
    if (auto at = body.find(placeholder); at != std::string::npos) body.replace(at, placeholder.size(), message);
    return htmlPage(status, std::move(body));
}

http::Handler storeAnswer(http::Handler handler) {
    return [handler = std::move(handler)](const http::Request& request) {
        try {
            return handler(request);
        } catch (const StoreError& e) {
            spdlog::warn("event=query_store_unavailable path=\"{}\" error=\"{}\"", request.path, e.what());
            http::Response busy = http::Response::text(503, "storage unavailable\n");
            busy.headers.emplace_back("Retry-After", "1");
            return busy;
        }
    };
}


}  // namespace tallyscope::server::api
