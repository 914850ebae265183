#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "http/http_server.h"
#include "http/routes.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tallyscope::server::http::HttpServer;
using tallyscope::server::http::Reply;
using tallyscope::server::http::Request;
using tallyscope::server::http::Response;
using tallyscope::server::http::Routes;
using tallyscope::server::http::ServerOptions;

struct Answer {
    int status = 0;
    std::string body;
    std::string header(const char* name) const
    {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : std::string(it->value());
    }
    bhttp::fields headers;
};

Answer ask(unsigned short port, bhttp::verb method, const std::string& target, const std::string& body = "")
{
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    bhttp::request<bhttp::string_body> request(method, target, 11);
    request.set(bhttp::field::host, "127.0.0.1");
    request.body() = body;
    request.prepare_payload();
    bhttp::write(stream, request);
    beast::flat_buffer buffer;
    bhttp::response_parser<bhttp::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    bhttp::read(stream, buffer, parser);
    Answer answer;
    answer.status = parser.get().result_int();
    answer.body = parser.get().body();
    answer.headers = parser.get().base();
    return answer;
}

// A route table of every kind of handler, served on a free port by a server on its own thread.
struct Served : ::testing::Test {
    void SetUp() override
    {
        routes.add("GET", "/blocking", [this](const Request&) {
            ++blockingRunning;
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            --blockingRunning;
            return Response::text(200, "slow");
        });
        routes.add("POST", "/echo", [](const Request& r) {
            Response response = Response::text(201, r.method + " " + r.path + " ?" + r.query + " " + r.body + " " +
                                                         (r.header("x-probe") ? *r.header("x-probe") : "-"));
            response.headers.emplace_back("X-Seen", r.remoteAddress);
            return response;
        });
        routes.addPrefix("GET", "/files/", [](const Request& r) { return Response::text(200, "prefix " + r.path); });
        routes.add("GET", "/files/exact", [](const Request&) { return Response::text(200, "exact"); });
        routes.add("GET", "/throws", [](const Request&) -> Response { throw std::runtime_error("boom"); });
        routes.add("GET", "/stream", [](const Request&) {
            Response response;
            response.contentType = "text/csv";
            auto next = std::make_shared<int>(0);
            response.stream = [next](std::string& out) {
                out.append(std::to_string(*next) + "," + std::string(1000, 'x') + "\n");
                return ++*next < 5000;  // about 5 MB in 5000 pieces
            };
            return response;
        });
        routes.addAsync("GET", "/async", [this](Request&&, Reply reply) {
            // Answered later from another thread, as the report path answers after its commit.
            std::thread([reply, running = blockingRunning.load()] {
                reply(Response::text(200, "async while " + std::to_string(running) + " blocking"));
            }).detach();
        });

        ServerOptions options;
        options.port = 0;
        options.networkThreads = 2;
        options.handlerThreads = 2;
        server = std::make_unique<HttpServer>(options, routes);
        port = server->port();
        thread = std::thread([this] { server->run(); });
    }
    void TearDown() override
    {
        server->stop();
        thread.join();
        server.reset();
    }

    Routes routes;
    std::atomic<int> blockingRunning{0};
    std::unique_ptr<HttpServer> server;
    unsigned short port = 0;
    std::thread thread;
};

TEST_F(Served, RoutesByMethodAndPathWithPrefixesAndAnswers404And405)
{
    const struct {
        bhttp::verb method;
        const char* target;
        int status;
        const char* body;
    } cases[] = {
        {bhttp::verb::post, "/echo?a=1&b=%20", 201, "POST /echo ?a=1&b=%20 payload -"},
        {bhttp::verb::get, "/echo", 405, nullptr},
        {bhttp::verb::get, "/files/exact", 200, "exact"},
        {bhttp::verb::get, "/files/a/b.css", 200, "prefix /files/a/b.css"},
        {bhttp::verb::get, "/files", 404, nullptr},
        {bhttp::verb::get, "/nothing", 404, nullptr},
        {bhttp::verb::get, "/throws", 500, "internal error\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        Answer answer = ask(port, c.method, c.target, c.method == bhttp::verb::post ? "payload" : "");
        EXPECT_EQ(answer.status, c.status);
        if (c.body) EXPECT_EQ(answer.body, c.body);
        if (c.status == 405) EXPECT_EQ(answer.header("Allow"), "POST");
        if (c.status == 201) EXPECT_EQ(answer.header("X-Seen"), "127.0.0.1");
    }
}

TEST_F(Served, AStreamedBodyArrivesWholeInChunks)
{
    Answer answer = ask(port, bhttp::verb::get, "/stream");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(answer.header("Content-Type"), "text/csv");
    ASSERT_EQ(answer.body.size(), 5000u * 1002 + (10 + 90 * 2 + 900 * 3 + 4000 * 4));
    EXPECT_EQ(answer.body.substr(0, 2), "0,");
    EXPECT_EQ(answer.body.substr(answer.body.rfind('\n', answer.body.size() - 2) + 1, 5), "4999,");
}

TEST_F(Served, BlockingHandlersRunOffTheNetworkThreads)
{
    // Both pool threads sleep in /blocking; the network threads still answer the asynchronous route.
    auto first = std::async(std::launch::async, [this] { return ask(port, bhttp::verb::get, "/blocking"); });
    auto second = std::async(std::launch::async, [this] { return ask(port, bhttp::verb::get, "/blocking"); });
    while (blockingRunning < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Answer quick = ask(port, bhttp::verb::get, "/async");
    EXPECT_EQ(quick.body, "async while 2 blocking");
    EXPECT_EQ(first.get().body, "slow");
    EXPECT_EQ(second.get().body, "slow");
}

}  // namespace
