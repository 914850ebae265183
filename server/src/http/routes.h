// What a request handler sees and returns, and the table that maps method and path to a handler.
// The network layer owns sockets, time-outs and limits; handlers only turn a Request into a
// Response. Two kinds exist:
//   - blocking handlers (`add`, `addPrefix`) run on a small worker pool, never on a network
//     thread, so a slow database query holds one pool thread and no connection of anyone else;
//   - asynchronous handlers (`addAsync`) run on the network thread that read the request, must not
//     block, and call `reply` exactly once from any thread (the report path uses this to answer
//     after the writer thread's commit).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallyscope::server::http {

struct Request {
    std::string method;  // as sent, e.g. "GET"
    std::string target;  // path and query as sent
    std::string path;    // target up to '?', not percent-decoded
    std::string query;   // after '?', without it; not percent-decoded
    std::vector<std::pair<std::string, std::string>> headers;  // names in small letters
    std::string body;          // at most the server's body limit
    std::string remoteAddress; // peer IP address
    bool secure = false;       // arrived over TLS

    // The first header of that name (give it in small letters), or nullptr.
    const std::string* header(std::string_view lowerName) const
    {
        for (const auto& [name, value] : headers)
            if (name == lowerName) return &value;
        return nullptr;
    }
};

// Pulls the next piece of a streamed body: appends it to `out` and returns true, or returns false
// when the body is complete (`out` may still hold a last piece then). Called on a pool thread, one
// piece at a time, the next call only after the previous piece reached the socket, so a large
// export costs the memory of one piece. An exception ends the response by closing the connection.
using BodySource = std::function<bool(std::string& out)>;

struct Response {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;  // extra ones: Set-Cookie, Location, ...
    std::string body;
    BodySource stream;  // when set, `body` is ignored and the body is sent chunked from it

    static Response text(int status, std::string body)
    {
        Response r;
        r.status = status;
        r.body = std::move(body);
        return r;
    }
};

using Handler = std::function<Response(const Request&)>;
using Reply = std::function<void(Response)>;
using AsyncHandler = std::function<void(Request&&, Reply)>;

class Routes {
public:
    // Exact path, e.g. add("GET", "/api/v1/summary", ...).
    void add(std::string method, std::string path, Handler handler)
    {
        entries_.push_back({std::move(method), std::move(path), false, std::move(handler), {}});
    }
    // Every path starting with `prefix`, e.g. addPrefix("GET", "/static/", ...). Exact paths win,
    // then the longest prefix.
    void addPrefix(std::string method, std::string prefix, Handler handler)
    {
        entries_.push_back({std::move(method), std::move(prefix), true, std::move(handler), {}});
    }
    void addAsync(std::string method, std::string path, AsyncHandler handler)
    {
        entries_.push_back({std::move(method), std::move(path), false, {}, std::move(handler)});
    }

    struct Entry {
        std::string method;
        std::string path;
        bool prefix = false;
        Handler handler;
        AsyncHandler async;
    };

    // The entry for method and path; nullptr with `pathKnown` true means 405, false means 404.
    const Entry* find(std::string_view method, std::string_view path, bool& pathKnown) const
    {
        const Entry* best = nullptr;
        pathKnown = false;
        for (const Entry& e : entries_) {
            bool matches = e.prefix ? path.substr(0, e.path.size()) == e.path : path == e.path;
            if (!matches) continue;
            pathKnown = true;
            if (e.method != method) continue;
            if (best == nullptr || rank(e) > rank(*best)) best = &e;
        }
        return best;
    }

    // Methods accepted on a path, for the Allow header of a 405.
    std::string allowed(std::string_view path) const
    {
        std::string out;
        for (const Entry& e : entries_) {
            bool matches = e.prefix ? path.substr(0, e.path.size()) == e.path : path == e.path;
            if (!matches || out.find(e.method) != std::string::npos) continue;
            if (!out.empty()) out += ", ";
            out += e.method;
        }
        return out;
    }

private:
    static std::size_t rank(const Entry& e) { return e.prefix ? e.path.size() : static_cast<std::size_t>(-1); }

    std::vector<Entry> entries_;
};

}  // namespace tallyscope::server::http
