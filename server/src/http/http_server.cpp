#include "http/http_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <spdlog/spdlog.h>

#include "ops/metrics.h"

#if defined(__linux__)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace tallyscope::server::http {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = boost::asio::ip::tcp;

// A connection as the answers of other threads reach it.
class Answerable {
public:
    virtual void answer(Response response) = 0;

protected:
    ~Answerable() = default;
};

// A connection as its network thread's sweep sees it: one whose request is overdue stops reading.
class Watched {
public:
    virtual void expireIfDue(std::chrono::steady_clock::time_point now) = 0;

protected:
    ~Watched() = default;
};

// One io_context per network thread: a connection lives on one of them for its whole life, so its
// handlers never need a strand or a lock. Answers from other threads (the writer's after a commit,
// the pool's) wait in that thread's mailbox: the first into an empty mailbox posts one drain, and
// the rest of a batch rides on it, so a commit answering many reports wakes each network thread
// once and costs one small lock per answer instead of an operation and a wake-up each.
// Members are destroyed in reverse order: the counters outlive the io_contexts whose destruction
// frees the last sessions, and the pool goes before the io_contexts its handlers post to.
struct HttpServer::Core {
    using Guard = net::executor_work_guard<net::io_context::executor_type>;

    ServerOptions options;
    const Routes& routes;
    std::atomic<std::size_t> connections{0};
    std::atomic<std::size_t> inFlight{0};
    std::atomic<bool> stopping{false};
    std::optional<ssl::context> tls;
    std::vector<std::unique_ptr<net::io_context>> contexts;
    std::vector<Guard> guards;  // keeps the threads of contexts without a listener running
    std::size_t nextContext = 0;
    tcp::acceptor acceptor;
    net::steady_timer retryAccept;
    net::steady_timer drainTimer;
    net::signal_set signals;
    std::chrono::steady_clock::time_point drainDeadline;
    net::thread_pool pool;

    struct Delivery {
        std::shared_ptr<Answerable> to;
        Response response;
    };
    struct Mailbox {
        std::mutex mutex;
        std::vector<Delivery> waiting;  // under the mutex
        std::vector<Delivery> draining; // the network thread's own
    };
    // After the contexts, so that sessions still waiting here go before the contexts they live on.
    std::vector<std::unique_ptr<Mailbox>> mailboxes;

    // A request's time-out is one deadline per connection, looked at by a sweep of its network
    // thread a few times a second, instead of a timer armed and cancelled around every read of
    // every request (about a tenth of the network thread's work on a kept-alive connection).
    // Owned by the network thread: sessions join it there, and the sweep runs there.
    struct Watch {
        explicit Watch(net::io_context& context) : timer(context) {}
        net::steady_timer timer;
        std::vector<std::weak_ptr<Watched>> sessions;
    };
    std::vector<std::unique_ptr<Watch>> watches;

    static std::vector<std::unique_ptr<net::io_context>> makeContexts(std::size_t n)
    {
        std::vector<std::unique_ptr<net::io_context>> out;
        for (std::size_t i = 0; i < std::max<std::size_t>(n, 1); ++i) out.push_back(std::make_unique<net::io_context>(1));
        return out;
    }

    Core(const ServerOptions& o, const Routes& r)
        : options(o), routes(r), contexts(makeContexts(o.networkThreads)), acceptor(*contexts[0]),
          retryAccept(*contexts[0]), drainTimer(*contexts[0]), signals(*contexts[0], SIGTERM, SIGINT),
          pool(o.handlerThreads)
    {
        for (auto& context : contexts) {
            guards.push_back(net::make_work_guard(*context));
            mailboxes.push_back(std::make_unique<Mailbox>());
            watches.push_back(std::make_unique<Watch>(*context));
        }
    }

    // The time-outs are met to within this.
    std::chrono::milliseconds sweepEvery() const
    {
        return std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(options.requestTimeout) / 10,
                          std::chrono::milliseconds(10), std::chrono::milliseconds(100));
    }

    // On the network thread `context`.
    void watch(std::size_t context, std::weak_ptr<Watched> session)
    {
        watches[context]->sessions.push_back(std::move(session));
    }

    void sweep(Watch& w)
    {
        w.timer.expires_after(sweepEvery());
        w.timer.async_wait([this, &w](beast::error_code ec) {
            if (ec) return;
            const auto now = std::chrono::steady_clock::now();
            auto& sessions = w.sessions;
            for (std::size_t i = 0; i < sessions.size();) {
                if (auto session = sessions[i].lock()) {
                    session->expireIfDue(now);
                    ++i;
                } else {
                    sessions[i] = std::move(sessions.back());
                    sessions.pop_back();
                }
            }
            sweep(w);
        });
    }

    // Any thread: hands the answer to the network thread `context` of the session, or holds it
    // while the thread has HeldAnswers.
    void deliver(std::size_t context, std::shared_ptr<Answerable> to, Response response)
    {
        if (held != nullptr) {
            held->push_back({this, context, {std::move(to), std::move(response)}});
            return;
        }
        Mailbox& box = *mailboxes[context];
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(box.mutex);
            first = box.waiting.empty();
            box.waiting.push_back({std::move(to), std::move(response)});
        }
        if (first) net::post(*contexts[context], [&box] { drainMailbox(box); });
    }

    struct Held {
        Core* core;
        std::size_t context;
        Delivery delivery;
    };
    static thread_local std::vector<Held>* held;

    // Each mailbox the held answers go to is locked, and its thread woken, once.
    static void handOn(std::vector<Held>& answers)
    {
        for (std::size_t i = 0; i < answers.size(); ++i) {
            if (!answers[i].delivery.to) continue;  // gone with an earlier mailbox
            Core& core = *answers[i].core;
            const std::size_t context = answers[i].context;
            Mailbox& box = *core.mailboxes[context];
            bool first = false;
            {
                std::lock_guard<std::mutex> lock(box.mutex);
                first = box.waiting.empty();
                for (std::size_t j = i; j < answers.size(); ++j) {
                    if (answers[j].core != &core || answers[j].context != context || !answers[j].delivery.to) continue;
                    box.waiting.push_back(std::move(answers[j].delivery));
                    answers[j].delivery.to.reset();
                }
            }
            if (first) net::post(*core.contexts[context], [&box] { drainMailbox(box); });
        }
        answers.clear();
    }

    static void drainMailbox(Mailbox& box)
    {
        {
            std::lock_guard<std::mutex> lock(box.mutex);
            box.draining.swap(box.waiting);
        }
        for (Delivery& delivery : box.draining) delivery.to->answer(std::move(delivery.response));
        box.draining.clear();
    }

    net::io_context& listening() { return *contexts[0]; }
    void accept();
    void beginStop();
    void drain();
};

thread_local std::vector<HttpServer::Core::Held>* HttpServer::Core::held = nullptr;

HeldAnswers::HeldAnswers() : outer_(HttpServer::Core::held == nullptr)
{
    if (outer_) {
        thread_local std::vector<HttpServer::Core::Held> answers;  // its room is kept between batches
        HttpServer::Core::held = &answers;
    }
}

HeldAnswers::~HeldAnswers()
{
    if (!outer_) return;
    std::vector<HttpServer::Core::Held>& answers = *HttpServer::Core::held;
    HttpServer::Core::held = nullptr;
    try {
        HttpServer::Core::handOn(answers);
    } catch (const std::exception& e) {  // out of memory: those requests time out instead
        answers.clear();
        spdlog::error("event=answers_lost error=\"{}\"", e.what());
    }
}

namespace {

std::string pathOf(std::string_view target, std::string& query)
{
    // An absolute-form target (as a proxy would send it) names the same path.
    for (std::string_view scheme : {"http://", "https://"}) {
        if (target.substr(0, scheme.size()) == scheme) {
            std::size_t slash = target.find('/', scheme.size());
            target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
        }
    }
    std::size_t mark = target.find('?');
    if (mark != std::string_view::npos) query = std::string(target.substr(mark + 1));
    return std::string(target.substr(0, mark));
}

beast::string_view trimmed(beast::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A request whose length or target this server cannot be sure of is refused before its body is read,
// and its connection closed after the answer: reading on would take its body's bytes for a request
// of their own. Beast frames a body by Content-Length or by a final chunked coding; any other
// Transfer-Encoding leaves the body's length unknown to us.
std::optional<Response> framingRefusal(const bhttp::request_parser<bhttp::string_body>::value_type& header,
                                       bool chunked)
{
    std::size_t hosts = header.count(bhttp::field::host);
    if (header.version() >= 11 && hosts != 1) return Response::text(400, "an HTTP/1.1 request needs one Host header\n");
    if (hosts > 1) return Response::text(400, "more than one Host header\n");
    if (header.count(bhttp::field::transfer_encoding) == 0) return std::nullopt;
    std::size_t codings = 0;
    bool unknown = false;
    auto [first, last] = header.equal_range(bhttp::field::transfer_encoding);
    for (auto it = first; it != last; ++it) {
        for (const auto& coding : bhttp::token_list(it->value())) {
            ++codings;
            if (!beast::iequals(coding, "chunked")) unknown = true;
        }
    }
    if (unknown) return Response::text(501, "transfer coding not implemented; send Content-Length or chunked\n");
    if (codings != 1 || !chunked) return Response::text(400, "chunked must be the only transfer coding\n");
    return std::nullopt;
}

// The few short answers that routes give again and again ("ok" to every stored report) are
// serialized once per network thread and then written as they are: Beast builds and serializes
// each the first time, and a later one costs a few comparisons instead of a header block built,
// serialized and freed per request. Anything with extra headers or a longer body goes the usual way.
class AnswerCache {
public:
    static constexpr std::size_t kMaxBody = 64;

    static bool fits(const Response& response)
    {
        return !response.stream && response.headers.empty() && response.body.size() <= kMaxBody;
    }

    static std::shared_ptr<const std::string> bytes(const Response& response, bool keep, bool head)
    {
        thread_local AnswerCache cache;
        return cache.find(response, keep, head);
    }

private:
    struct Entry {
        int status;
        bool keep;
        bool head;
        std::string contentType;
        std::string body;
        std::shared_ptr<const std::string> bytes;
    };

    std::shared_ptr<const std::string> find(const Response& r, bool keep, bool head)
    {
        for (const Entry& e : entries_)
            if (e.status == r.status && e.keep == keep && e.head == head && e.body == r.body &&
                e.contentType == r.contentType)
                return e.bytes;
        bhttp::response<bhttp::string_body> message(static_cast<bhttp::status>(r.status), 11);
        message.set(bhttp::field::content_type, r.contentType);
        message.body() = r.body;
        message.keep_alive(keep);
        message.prepare_payload();
        if (head) message.body().clear();  // Content-Length still tells the GET's length
        std::ostringstream out;
        out << message;
        // Refusals quote the body they refuse, so a few answers vary; the oldest makes room.
        if (entries_.size() >= 16) entries_.erase(entries_.begin());
        entries_.push_back({r.status, keep, head, r.contentType, r.body, std::make_shared<const std::string>(out.str())});
        return entries_.back().bytes;
    }

    std::vector<Entry> entries_;
};

template <class Derived>
class Session : public Answerable, public Watched {
public:
    Session(HttpServer::Core& core, std::size_t context, std::string remote)
        : core_(core), context_(context), remote_(std::move(remote))
    {
        ++core_.connections;
        metrics::global().openConnections.fetch_add(1, std::memory_order_relaxed);
    }
    ~Session()
    {
        --core_.connections;
        metrics::global().openConnections.fetch_sub(1, std::memory_order_relaxed);
    }

    void answer(Response response) override { send(std::move(response), false); }

    // A request not read whole by its deadline: its reads (and a 100 Continue's write) are
    // cancelled, and their handlers close the connection. Asked again at every sweep until the
    // connection stops reading, so a read started just as the deadline passed is cut off too.
    void expireIfDue(std::chrono::steady_clock::time_point now) override
    {
        if (!reading_ || now < readBy_) return;
        beast::error_code ignored;
        beast::get_lowest_layer(derived().stream()).socket().cancel(ignored);
    }

protected:
    Derived& derived() { return static_cast<Derived&>(*this); }

    // A client that writes a request's header block and its body in two small segments (WinHTTP
    // does) holds the body back (Nagle) until this side acknowledges the header block; a delayed
    // ACK then costs it ~40 ms a request on a kept-alive connection. Linux clears the flag as it
    // goes, so it is set again before the reads of such a client. It only makes ACKs prompter: no
    // client waits longer for it. A client whose body came with its header block is not asked
    // for it (one system call a request saved) until one of its bodies lags behind its header.
    void ackPromptly()
    {
#if defined(__linux__) && defined(TCP_QUICKACK)
        int one = 1;
        ::setsockopt(beast::get_lowest_layer(derived().stream()).socket().native_handle(), IPPROTO_TCP, TCP_QUICKACK,
                     &one, sizeof one);
#endif
    }

    // Writes that cannot be done at once wait under Beast's own time-out.
    void timeWrites()
    {
        beast::get_lowest_layer(derived().stream()).expires_after(core_.options.requestTimeout);
        writesTimed_ = true;
    }

    void readRequest()
    {
        if (core_.stopping) return derived().close();
        if (!watched_) {
            core_.watch(context_, derived().shared_from_this());
            watched_ = true;
        }
        head_ = false;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(core_.options.headerLimit));
        parser_->body_limit(core_.options.bodyLimit);
        // One deadline for the whole request, header and body: a client that trickles bytes is
        // cut off as surely as one that sends nothing.
        if (writesTimed_) {
            beast::get_lowest_layer(derived().stream()).expires_never();
            writesTimed_ = false;
        }
        readBy_ = std::chrono::steady_clock::now() + core_.options.requestTimeout;
        reading_ = true;
        if (bodyLagged_ || !servedOne_) ackPromptly();
        bhttp::async_read_header(derived().stream(), buffer_, *parser_,
                                 [self = derived().shared_from_this()](beast::error_code ec, std::size_t) {
                                     self->onHeader(ec);
                                 });
    }

    void onHeader(beast::error_code ec)
    {
        if (ec) return onReadError(ec);
        auto& header = parser_->get();
        if (std::optional<Response> refused = framingRefusal(header, parser_->chunked())) {
            ++core_.inFlight;
            spdlog::info("event=request_refused status={} client={}", refused->status, remote_);
            return send(std::move(*refused), true);
        }
        if (beast::iequals(trimmed(header[bhttp::field::expect]), "100-continue") && !parser_->is_done()) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(derived().stream(), net::buffer(kContinue),
                             [self = derived().shared_from_this()](beast::error_code ec, std::size_t) {
                                 if (ec) return self->derived().close();
                                 self->readBody();
                             });
            return;
        }
        readBody();
    }

    void readBody()
    {
        if (parser_->is_done()) return dispatch();
        auto remaining = parser_->content_length_remaining();
        if (remaining && buffer_.size() >= *remaining) {
            // The body came with its header block (the usual case): it is parsed from the buffer
            // at once, without going round the event loop for a read with nothing to wait for.
            beast::error_code ec;
            buffer_.consume(parser_->put(buffer_.data(), ec));
            if (ec) return onReadError(ec);
            if (parser_->is_done()) return dispatch();
        } else {
            // The header's ACK may be held back while the client waits for it: send it now.
            bodyLagged_ = true;
            ackPromptly();
        }
        bhttp::async_read(derived().stream(), buffer_, *parser_,
                          [self = derived().shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return self->onReadError(ec);
                              self->dispatch();
                          });
    }

    void onReadError(beast::error_code ec)
    {
        reading_ = false;
        if (ec == bhttp::error::end_of_stream || ec == net::error::eof || ec == beast::error::timeout ||
            ec == net::error::operation_aborted || ec == net::error::connection_reset)
            return derived().close();
        ++core_.inFlight;
        if (ec == bhttp::error::body_limit) {
            if (parser_ && parser_->get().target().substr(0, 6) == "/stat/") metrics::global().refuse(metrics::Refusal::TooLarge);
            return send(Response::text(413, "body larger than the limit\n"), true);
        }
        if (ec == bhttp::error::header_limit) return send(Response::text(431, "header block too large\n"), true);
        if (ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category())
            return send(Response::text(400, "malformed request\n"), true);
        --core_.inFlight;
        derived().close();
    }

    void dispatch()
    {
        reading_ = false;
        ++core_.inFlight;
        servedOne_ = true;
        auto message = parser_->release();
        parser_.reset();
        keepAlive_ = message.keep_alive();

        Request request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.path = pathOf(request.target, request.query);
        request.headers.reserve(8);
        for (const auto& field : message) {
            std::string name(field.name_string());
            for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
            request.headers.emplace_back(std::move(name), std::string(field.value()));
        }
        request.body = std::move(message.body());
        request.remoteAddress = remote_;
        request.secure = Derived::kSecure;

        bool pathKnown = false;
        const Routes::Entry* entry = core_.routes.find(request.method, request.path, pathKnown);
        // HEAD is answered by the GET route: its status and headers, without the body.
        head_ = request.method == "HEAD";
        if (entry == nullptr && head_) entry = core_.routes.find("GET", request.path, pathKnown);
        if (entry == nullptr) {
            if (!pathKnown) return send(Response::text(404, "not found\n"), false);
            Response refused = Response::text(405, "method not allowed\n");
            std::string allow = core_.routes.allowed(request.path);
            if (allow.find("GET") != std::string::npos && allow.find("HEAD") == std::string::npos) allow += ", HEAD";
            refused.headers.emplace_back("Allow", std::move(allow));
            return send(std::move(refused), false);
        }

        Reply reply = [core = &core_, context = context_, self = derived().shared_from_this()](Response response) {
            core->deliver(context, self, std::move(response));
        };
        if (entry->async) {
            std::string path = request.path;
            try {
                entry->async(std::move(request), std::move(reply));
            } catch (const std::exception& e) {
                spdlog::error("event=handler_failed path=\"{}\" error=\"{}\"", path, e.what());
                send(Response::text(500, "internal error\n"), true);
            }
            return;
        }
        net::post(core_.pool, [handler = entry->handler, request = std::move(request), reply = std::move(reply)] {
            Response response;
            try {
                response = handler(request);
            } catch (const std::exception& e) {
                spdlog::error("event=handler_failed path=\"{}\" error=\"{}\"", request.path, e.what());
                response = Response::text(500, "internal error\n");
            }
            reply(std::move(response));
        });
    }

    // Runs on the session's strand. `close` ends the connection after this answer.
    void send(Response response, bool close)
    {
        reading_ = false;
        refused_ = close;
        bool keep = keepAlive_ && !close && !core_.stopping;
        metrics::Registry& counted = metrics::global();
        counted.requests.fetch_add(1, std::memory_order_relaxed);
        if (response.status == 503) counted.answered503.fetch_add(1, std::memory_order_relaxed);
        if (response.stream) return sendStreamed(std::move(response), keep);
        if (AnswerCache::fits(response)) {
            auto bytes = AnswerCache::bytes(response, keep, head_);
            std::size_t written = derived().writeNow(net::buffer(*bytes));
            if (written == bytes->size()) return finished({}, keep);
            timeWrites();
            net::async_write(derived().stream(), net::buffer(*bytes) + written,
                             [self = derived().shared_from_this(), bytes, keep](beast::error_code ec, std::size_t) {
                                 self->finished(ec, keep);
                             });
            return;
        }
        timeWrites();
        auto message = std::make_shared<bhttp::response<bhttp::string_body>>(
            static_cast<bhttp::status>(response.status), 11);
        message->set(bhttp::field::content_type, response.contentType);
        for (auto& [name, value] : response.headers) message->insert(name, value);
        message->body() = std::move(response.body);
        message->keep_alive(keep);
        message->prepare_payload();
        if (head_) message->body().clear();  // Content-Length still tells the GET's length
        bhttp::async_write(derived().stream(), *message,
                           [self = derived().shared_from_this(), message, keep](beast::error_code ec, std::size_t) {
                               self->finished(ec, keep);
                           });
    }

    void finished(beast::error_code ec, bool keep)
    {
        --core_.inFlight;
        if (ec || !keep) return derived().close();
        readRequest();
    }

    void sendStreamed(Response response, bool keep)
    {
        auto header = std::make_shared<bhttp::response<bhttp::empty_body>>(static_cast<bhttp::status>(response.status), 11);
        header->set(bhttp::field::content_type, response.contentType);
        for (auto& [name, value] : response.headers) header->insert(name, value);
        header->keep_alive(keep);
        header->chunked(true);
        auto serializer = std::make_shared<bhttp::response_serializer<bhttp::empty_body>>(*header);
        source_ = std::move(response.stream);
        timeWrites();
        bhttp::async_write_header(derived().stream(), *serializer,
                                  [self = derived().shared_from_this(), header, serializer, keep](beast::error_code ec,
                                                                                                  std::size_t) {
                                      if (ec) return self->finished(ec, false);
                                      if (self->head_) {
                                          self->source_ = nullptr;
                                          return self->finished(ec, keep);
                                      }
                                      self->pullPiece(keep);
                                  });
    }

    // The source runs on the pool (it may query a database); the write comes back to the strand.
    void pullPiece(bool keep)
    {
        net::post(core_.pool, [self = derived().shared_from_this(), keep] {
            auto piece = std::make_shared<std::string>();
            bool more = false;
            bool failed = false;
            try {
                more = self->source_(*piece);
            } catch (const std::exception& e) {
                spdlog::error("event=stream_failed error=\"{}\"", e.what());
                failed = true;
            }
            net::post(self->derived().stream().get_executor(), [self, piece, more, failed, keep] {
                if (failed) return self->finished(beast::error_code(net::error::operation_aborted), false);
                self->writePiece(piece, more, keep);
            });
        });
    }

    void writePiece(std::shared_ptr<std::string> piece, bool more, bool keep)
    {
        auto self = derived().shared_from_this();
        timeWrites();
        auto afterPiece = [self, more, keep](beast::error_code ec) {
            if (ec) return self->finished(ec, false);
            if (more) return self->pullPiece(keep);
            self->source_ = nullptr;
            net::async_write(self->derived().stream(), bhttp::make_chunk_last(),
                             [self, keep](beast::error_code ec, std::size_t) { self->finished(ec, keep); });
        };
        if (piece->empty()) return afterPiece({});
        net::async_write(derived().stream(), bhttp::make_chunk(net::buffer(*piece)),
                         [piece, afterPiece](beast::error_code ec, std::size_t) { afterPiece(ec); });
    }

    HttpServer::Core& core_;
    std::size_t context_;  // the index of the network thread it lives on
    std::string remote_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    bool keepAlive_ = false;
    bool servedOne_ = false;   // a request of this connection has been read
    bool bodyLagged_ = false;  // a body of this connection came after its header block
    bool head_ = false;     // the request being answered is a HEAD: headers only
    bool refused_ = false;  // the last answer refused a request that may not have been read to its end
    bool watched_ = false;      // known to its network thread's sweep
    bool reading_ = false;      // a request is being read (under readBy_)
    bool writesTimed_ = false;  // Beast's time-out is set (for a write, or the TLS handshake)
    std::chrono::steady_clock::time_point readBy_;
    BodySource source_;
};

class PlainSession : public Session<PlainSession>, public std::enable_shared_from_this<PlainSession> {
public:
    static constexpr bool kSecure = false;
    PlainSession(HttpServer::Core& core, std::size_t context, tcp::socket&& socket, std::string remote)
        : Session(core, context, std::move(remote)), stream_(std::move(socket))
    {
    }
    void start()
    {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->readRequest(); });
    }
    beast::tcp_stream& stream() { return stream_; }

    // A short answer nearly always fits the socket's send buffer: written at once, it needs no
    // asynchronous operation and no time-out of its own. What does not fit (a client that stopped
    // reading) is written the usual way, under the time-out. 0 when nothing could be written now.
    std::size_t writeNow(net::const_buffer bytes)
    {
        beast::error_code ec;
        tcp::socket& socket = stream_.socket();
        if (!socket.non_blocking()) socket.non_blocking(true, ec);
        std::size_t written = ec ? 0 : socket.write_some(bytes, ec);
        return ec ? 0 : written;
    }

    // Closing with unread bytes from the client (an oversized or garbled request) would send a
    // reset that can destroy the answer before the client reads it. So after such an answer: stop
    // sending, read and drop what still comes for a moment, then close. A request read to its end
    // leaves nothing unread, and its connection closes at once.
    void close()
    {
        if (closing_) return;
        closing_ = true;
        if (!refused_) return stream_.close();
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        if (ec) return stream_.close();
        stream_.expires_after(std::chrono::seconds(2));
        discard(0);
    }

private:
    friend class Session<PlainSession>;

    void discard(std::size_t dropped)
    {
        if (!drain_) drain_ = std::make_unique<std::array<char, 1024>>();
        stream_.async_read_some(net::buffer(*drain_), [self = shared_from_this(), dropped](beast::error_code ec,
                                                                                             std::size_t n) {
            if (ec || dropped + n > 64 * 1024) return self->stream_.close();
            self->discard(dropped + n);
        });
    }

    beast::tcp_stream stream_;
    bool closing_ = false;
    std::unique_ptr<std::array<char, 1024>> drain_;
};

class TlsSession : public Session<TlsSession>, public std::enable_shared_from_this<TlsSession> {
public:
    static constexpr bool kSecure = true;
    TlsSession(HttpServer::Core& core, std::size_t index, tcp::socket&& socket, ssl::context& context,
               std::string remote)
        : Session(core, index, std::move(remote)), stream_(std::move(socket), context)
    {
    }
    void start()
    {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
            self->timeWrites();  // the handshake's time-out
            self->stream_.async_handshake(ssl::stream_base::server, [self](beast::error_code ec) {
                if (ec) return beast::get_lowest_layer(self->stream_).close();
                self->readRequest();
            });
        });
    }
    beast::ssl_stream<beast::tcp_stream>& stream() { return stream_; }
    std::size_t writeNow(net::const_buffer) { return 0; }  // TLS records go through the stream
    void close()
    {
        if (closing_) return;
        closing_ = true;
        beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(2));
        stream_.async_shutdown(
            [self = shared_from_this()](beast::error_code) { beast::get_lowest_layer(self->stream_).close(); });
    }

private:
    friend class Session<TlsSession>;
    beast::ssl_stream<beast::tcp_stream> stream_;
    bool closing_ = false;
};

}  // namespace

void HttpServer::Core::accept()
{
    std::size_t index = nextContext++ % contexts.size();
    acceptor.async_accept(*contexts[index], [this, index](beast::error_code ec, tcp::socket socket) {
        if (stopping) return;
        if (ec) {
            // Out of descriptors (or a similar passing fault): wait a little instead of spinning.
            static std::atomic<int> logged{0};
            if (logged++ < 10) spdlog::error("event=accept_failed error=\"{}\"", ec.message());
            retryAccept.expires_after(std::chrono::milliseconds(50));
            retryAccept.async_wait([this](beast::error_code) { accept(); });
            return;
        }
        if (connections >= options.maxConnections) {
            beast::error_code ignored;
            socket.close(ignored);
        } else {
            beast::error_code endpointError;
            auto remote = socket.remote_endpoint(endpointError);
            std::string address = endpointError ? std::string() : remote.address().to_string();
            socket.set_option(tcp::no_delay(true), endpointError);
            if (tls)
                std::make_shared<TlsSession>(*this, index, std::move(socket), *tls, std::move(address))->start();
            else
                std::make_shared<PlainSession>(*this, index, std::move(socket), std::move(address))->start();
        }
        accept();
    });
}

void HttpServer::Core::beginStop()
{
    if (stopping.exchange(true)) return;
    beast::error_code ignored;
    acceptor.close(ignored);
    retryAccept.cancel();
    drainDeadline = std::chrono::steady_clock::now() + options.stopTimeout;
    drain();
}

void HttpServer::Core::drain()
{
    if (inFlight == 0 || std::chrono::steady_clock::now() >= drainDeadline) {
        if (inFlight != 0) spdlog::error("event=stop_timeout requests_in_flight={}", inFlight.load());
        for (auto& context : contexts) context->stop();
        return;
    }
    drainTimer.expires_after(std::chrono::milliseconds(20));
    drainTimer.async_wait([this](beast::error_code) { drain(); });
}

HttpServer::HttpServer(const ServerOptions& options, const Routes& routes)
    : core_(std::make_unique<Core>(options, routes))
{
    Core& core = *core_;
    if (!options.tlsCertificate.empty() || !options.tlsKey.empty()) {
        if (options.tlsCertificate.empty() || options.tlsKey.empty())
            throw std::runtime_error("TLS needs both a certificate and a key");
        core.tls.emplace(ssl::context::tls_server);
        core.tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                              ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
        try {
            core.tls->use_certificate_chain_file(options.tlsCertificate);
            core.tls->use_private_key_file(options.tlsKey, ssl::context::pem);
        } catch (const boost::system::system_error& e) {
            throw std::runtime_error("cannot load the TLS certificate or key: " + std::string(e.what()));
        }
    }
    beast::error_code ec;
    auto address = net::ip::make_address(options.host, ec);
    if (ec) {
        // A name rather than an address: take what it resolves to first.
        tcp::resolver resolver(core.listening());
        auto results = resolver.resolve(options.host, std::to_string(options.port), ec);
        if (ec || results.empty()) throw std::runtime_error("cannot resolve listen host " + options.host);
        address = results.begin()->endpoint().address();
    }
    tcp::endpoint endpoint(address, options.port);
    core.acceptor.open(endpoint.protocol(), ec);
    if (!ec) core.acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) core.acceptor.bind(endpoint, ec);
    if (!ec) core.acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + options.host + ":" + std::to_string(options.port) + ": " +
                                 ec.message());
}

HttpServer::~HttpServer()
{
    core_->pool.join();
}

unsigned short HttpServer::port() const { return core_->acceptor.local_endpoint().port(); }

std::string HttpServer::listenAddress() const
{
    auto endpoint = core_->acceptor.local_endpoint();
    std::string host = endpoint.address().to_string();
    if (endpoint.address().is_v6()) host = "[" + host + "]";
    return host + ":" + std::to_string(endpoint.port());
}

void HttpServer::run()
{
    Core& core = *core_;
    core.signals.async_wait([&core](beast::error_code ec, int signal) {
        if (ec) return;
        spdlog::info("event=stopping signal={}", signal == SIGTERM ? "SIGTERM" : "SIGINT");
        core.beginStop();
    });
    core.accept();
    for (auto& w : core.watches) core.sweep(*w);
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < core.contexts.size(); ++i)
        threads.emplace_back([&core, i] { core.contexts[i]->run(); });
    core.listening().run();
    for (auto& t : threads) t.join();
    core.pool.join();
}

void HttpServer::stop()
{
    net::post(core_->listening(), [core = core_.get()] { core->beginStop(); });
}

}  // namespace tallyscope::server::http
