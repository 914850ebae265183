// The network side of tallyscope-server: accepts connections (plain HTTP or TLS), reads one request
// at a time per connection within a time-out and a size limit, and hands it to the route table.
// Connections cost no thread: everything here is asynchronous on a few network threads, so
// thousands of idle or slow clients only cost their buffers, and each is cut off at its time-out.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "http/routes.h"

namespace tallyscope::server::http {

struct ServerOptions {
    std::string host = "127.0.0.1";
    unsigned short port = 18765;  // 0 picks a free port
    std::string tlsCertificate;   // PEM chain; with tlsKey, serve HTTPS instead of HTTP
    std::string tlsKey;
    std::size_t networkThreads = 2;
    std::size_t handlerThreads = 4;
    std::chrono::milliseconds requestTimeout{10000};  // to read one whole request, and to write its answer
    std::chrono::milliseconds stopTimeout{20000};     // SIGTERM: longest wait for requests in flight
    std::size_t bodyLimit = 16 * 1024;
    std::size_t headerLimit = 8 * 1024;
    std::size_t maxConnections = 20000;  // past it new connections are closed at once
};

// While one lives on a thread, the answers that thread gives wait and go to the network threads
// together when it ends: a commit answering many requests then wakes each network thread once,
// instead of racing it (a thread that drains its mailbox at once is woken again for every answer).
class HeldAnswers {
public:
    HeldAnswers();
    ~HeldAnswers();
    HeldAnswers(const HeldAnswers&) = delete;
    HeldAnswers& operator=(const HeldAnswers&) = delete;

private:
    bool outer_;  // the outermost of nested ones hands the answers on
};

class HttpServer {
public:
    // Binds the listening socket; throws std::runtime_error when that fails (port in use, bad
    // certificate). The routes must outlive the server.
    HttpServer(const ServerOptions& options, const Routes& routes);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    unsigned short port() const;  // the bound port
    std::string listenAddress() const;

    // Serves until SIGTERM/SIGINT or stop(); then stops accepting, lets requests in flight get
    // their answers (up to stopTimeout), and returns.
    void run();
    void stop();

    struct Core;  // the network internals, defined beside the sessions that use them

private:
    std::unique_ptr<Core> core_;
};

}  // namespace tallyscope::server::http
