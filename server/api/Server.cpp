#include "server/api/Server.h"

#include "platform/text/SafeText.h"
#include "server/api/Reply.h"
#include "server/api/Stops.h"
#include "server/api/TlsStream.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <spdlog/spdlog.h>

#include <sys/resource.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

namespace velmo::api {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using Started = std::chrono::steady_clock::time_point;
using HttpRequest = http::request<http::string_body>;

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kServerError = R"({"error":true,"errorMessage":"SERVERERROR","errorMessageText":"Belső hiba"})";
// How long a closing connection is given to take our close_notify, or to finish sending what
// it had started (drained unread) before the socket is closed.
constexpr std::chrono::seconds kLinger{2};
// Connections taken from the listen queue at one wake-up of the accept handler.
constexpr int kAcceptBurst = 256;
// File descriptors kept back from the connection cap for feeds, live sources and logs.
constexpr rlim_t kReservedFiles = 128;
const std::set<std::string, std::less<>> kApiPaths{"/v2/nearby/", "/v2/more/", "/v2/vehicle/", "/v2/stops/"};

std::string endpointName(std::string_view path) {
    if (kApiPaths.contains(path) || path == "/healthz" || path == "/metrics") {
        return std::string(path);
    }
    return "other";
}

// The path of a request target: up to the query, percent escapes decoded.
std::string decodedPath(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::string out;
    out.reserve(target.size());
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '%' && i + 2 < target.size() && hex(target[i + 1]) >= 0 && hex(target[i + 2]) >= 0) {
            out += static_cast<char>(hex(target[i + 1]) * 16 + hex(target[i + 2]));
            i += 2;
        } else {
            out += target[i];
        }
    }
    return out;
}

// Raises the soft limit of open files to the hard one; returns the soft limit in force.
rlim_t raiseFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur;
}

// What one request is answered with, and the result it is counted under.
struct Answer {
    Reply reply;
    std::string result;
    const char* contentType = kJson;
    bool allowPost = false;
};

Answer failure(const ApiError& error) { return {renderError(error), error.code}; }

std::string_view view(beast::string_view text) { return {text.data(), text.size()}; }

}  // namespace

// Everything the connections share; Server::Impl is this and nothing more.
struct ServerCore {
    ServerCore(ServerOptions options, SnapshotSource snapshots, Clock clock, Metrics& metrics);

    void accept();
    void admit(tcp::socket socket);
    void run();
    // The 405 that an API path gets for any other method, decided before the body is read.
    std::optional<Answer> refuseEarly(const HttpRequest& req, const std::string& path) const;
    Answer answer(const HttpRequest& req, const std::string& path);
    // Logs one answer and counts it under its endpoint and result.
    void count(std::string_view method, std::string_view path, int status, const std::string& result, Started started);

    ServerOptions options;
    SnapshotSource snapshots;
    Clock clock;
    Metrics& metrics;
    std::size_t connectionCap = 0;
    std::atomic<std::size_t> open{0};
    std::atomic<long long> lastCapWarning{0};
    ssl::context tls{ssl::context::tls_server};

    std::mutex mutex;  // guards the event loop's lifetime against stop()
    bool stopping = false;
    std::atomic<bool> ready{false};
    std::optional<asio::io_context> io;
    std::optional<tcp::acceptor> acceptor;  // after io: closed before it
    std::optional<asio::steady_timer> acceptRetry;
};

namespace {

// One client connection: TLS handshake, then requests read and answered in order, each under
// its deadline, until the client leaves, a deadline passes or a limit is crossed. Everything it
// does runs on its own strand.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, ServerCore& server)
        : server_(server), stream_(std::move(socket), server.tls.native_handle()) {}
    ~Session() { --server_.open; }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void start() { asio::dispatch(stream_.get_executor(), beast::bind_front_handler(&Session::begin, self())); }

private:
    enum class Then {
        KeepAlive,
        Close,
        Drain
    };

    std::shared_ptr<Session> self() { return shared_from_this(); }
    beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

    void begin() {
        lowest().expires_after(server_.options.requestTimeout);
        stream_.async_handshake([self = self()](error_code ec) {
            if (!ec) {
                self->readHeader();
            }
        });
    }

    void readHeader() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.options.maxHeaderBytes));
        parser_->body_limit(server_.options.maxBody);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = self()](error_code ec, std::size_t) { self->onHeader(ec); });
    }

    void onHeader(error_code ec) {
        if (ec) {
            return refuse(ec);
        }
        const HttpRequest& req = parser_->get();
        if (static_cast<std::size_t>(std::distance(req.begin(), req.end())) > server_.options.maxHeaderFields) {
            return refuse(http::error::header_limit);
        }
        path_ = decodedPath(view(req.target()));
        started_ = std::chrono::steady_clock::now();
        if (auto refused = server_.refuseEarly(req, path_)) {
            // Its body, if any, is never read: the connection cannot carry another request.
            return reply(std::move(*refused), parser_->is_done() ? thenFor(req) : Then::Drain);
        }
        if (parser_->is_done()) {
            return onBody({});
        }
        http::async_read(stream_, buffer_, *parser_, [self = self()](error_code e, std::size_t) { self->onBody(e); });
    }

    void onBody(error_code ec) {
        if (ec) {
            return refuse(ec);
        }
        const HttpRequest& req = parser_->get();
        started_ = std::chrono::steady_clock::now();
        reply(server_.answer(req, path_), thenFor(req));
    }

    Then thenFor(const HttpRequest& req) {
        return req.keep_alive() && ++served_ < server_.options.keepAliveMaxRequests ? Then::KeepAlive : Then::Close;
    }

    // A request that cannot be read: the envelope where an answer still makes sense, then the
    // connection is closed. A client that left or ran out of time gets nothing.
    void refuse(error_code ec) {
        int status = 400;
        if (ec == http::error::body_limit) {
            status = 413;
        } else if (ec == http::error::header_limit) {
            status = 431;
        } else if (ec.category() != http::make_error_code(http::error::bad_target).category() ||
                   ec == http::error::end_of_stream || ec == http::error::partial_message ||
                   ec == http::error::short_read) {
            return;
        }
        const HttpRequest& req = parser_->get();
        if (path_.empty()) {
            path_ = decodedPath(view(req.target()));
        }
        Answer a = failure({kBadRequest, status});
        server_.count(view(req.method_string()), path_, status, a.result, std::chrono::steady_clock::now());
        reply(std::move(a), Then::Drain, false);
    }

    void reply(Answer a, Then then, bool counted = true) {
        const HttpRequest& req = parser_->get();
        if (counted) {
            server_.count(view(req.method_string()), path_, a.reply.status, a.result, started_);
        }
        response_ = {};
        response_.version(req.version() == 10 ? 10 : 11);
        response_.result(static_cast<unsigned>(a.reply.status));
        response_.set(http::field::content_type, a.contentType);
        if (a.allowPost) {
            response_.set(http::field::allow, "POST");
        }
        response_.keep_alive(then == Then::KeepAlive);
        if (req.method() == http::verb::head) {  // the length of what GET would send, and no body
            response_.content_length(a.reply.body.size());
        } else {
            response_.body() = std::move(a.reply.body);
            response_.prepare_payload();
        }
        lowest().expires_after(server_.options.writeTimeout);
        http::async_write(stream_, response_, [self = self(), then](error_code ec, std::size_t) {
            if (!ec) {
                self->afterReply(then);
            }
        });
    }

    void afterReply(Then then) {
        response_ = {};
        path_.clear();
        if (then == Then::Close) {
            // close_notify, and the client's in return if it comes within the linger time.
            lowest().expires_after(kLinger);
            stream_.async_shutdown([self = self()](error_code) {});
            return;
        }
        if (then == Then::Drain) {
            // The client may still be sending what we refused to read: closing with it unread
            // would reset the connection and could destroy the reply before the client reads it.
            error_code ignored;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            lowest().expires_after(kLinger);
            return drain();
        }
        parser_.reset();
        if (buffer_.size() > 0) {  // a pipelined request is already here
            lowest().expires_after(server_.options.requestTimeout);
            return readHeader();
        }
        buffer_.shrink_to_fit();
        lowest().expires_after(server_.options.idleTimeout);
        stream_.async_read_some(buffer_.prepare(512), [self = self()](error_code ec, std::size_t n) {
            if (ec) {
                return;
            }
            self->buffer_.commit(n);
            self->lowest().expires_after(self->server_.options.requestTimeout);
            self->readHeader();
        });
    }

    void drain() {
        lowest().async_read_some(asio::buffer(drained_), [self = self()](error_code ec, std::size_t) {
            if (!ec) {
                self->drain();
            }
        });
    }

    ServerCore& server_;
    TlsStream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    std::string path_;
    Started started_ = std::chrono::steady_clock::now();
    std::size_t served_ = 0;
    std::array<char, 4096> drained_{};
};

}  // namespace

struct Server::Impl : ServerCore {
    using ServerCore::ServerCore;
};

ServerCore::ServerCore(ServerOptions o, SnapshotSource s, Clock c, Metrics& m)
    : options(std::move(o)), snapshots(std::move(s)), clock(std::move(c)), metrics(m) {
    try {
        tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                        ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::no_compression);
        tls.use_certificate_chain_file(options.certPath);
        tls.use_private_key_file(options.keyPath, ssl::context::pem);
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("cannot use TLS certificate " + options.certPath + " with key " + options.keyPath);
    }
    SSL_CTX* ctx = tls.native_handle();
    if (SSL_CTX_check_private_key(ctx) != 1) {
        throw std::runtime_error("cannot use TLS certificate " + options.certPath + " with key " + options.keyPath);
    }
    // An idle connection keeps no TLS buffers, and no client may renegotiate.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);

    const rlim_t files = raiseFileLimit();
    const rlim_t usable = files > 2 * kReservedFiles ? files - kReservedFiles : files / 2;
    connectionCap = std::max<std::size_t>(1, std::min<std::size_t>(options.maxConnections, usable));
    if (connectionCap < options.maxConnections) {
        spdlog::warn("open-file limit {}: at most {} connections at once", files, connectionCap);
    }
    options.threads = std::clamp(options.threads, 1, 256);
    io.emplace(options.threads);
    acceptor.emplace(*io);
    acceptRetry.emplace(*io);
}

void ServerCore::accept() {
    acceptor->async_accept(asio::make_strand(*io), [this](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors or memory: try again shortly instead of spinning.
            spdlog::warn("accept: {}", ec.message());
            acceptRetry->expires_after(std::chrono::milliseconds(50));
            acceptRetry->async_wait([this](error_code e) {
                if (!e) {
                    accept();
                }
            });
            return;
        }
        admit(std::move(socket));
        // Take every other connection already waiting too: under load each wake-up of this
        // handler waits its turn behind every busy connection, and a burst (thousands of
        // clients coming back at once) would otherwise overflow the listen queue, whose
        // dropped connections retry only after a second or three.
        for (int more = 0; more < kAcceptBurst; ++more) {
            tcp::socket next(asio::make_strand(*io));
            acceptor->accept(next, ec);
            if (ec) {
                break;  // would_block: the queue is empty; anything else shows at the next wait
            }
            admit(std::move(next));
        }
        accept();
    });
}

void ServerCore::admit(tcp::socket socket) {
    if (open.load() >= connectionCap) {
        error_code ignored;
        socket.close(ignored);
        const long long now =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        if (lastCapWarning.exchange(now) + 10 <= now) {
            spdlog::warn("{} connections open: new ones are closed", connectionCap);
        }
        return;
    }
    ++open;
    error_code ignored;
    // A reply longer than one segment ends in a short one: without this it would wait for the
    // client's delayed ACK (~40 ms on Linux).
    socket.set_option(tcp::no_delay(true), ignored);
    std::make_shared<Session>(std::move(socket), *this)->start();
}

void ServerCore::run() {
    for (;;) {
        try {
            io->run();
            return;
        } catch (const std::exception& e) {
            spdlog::error("event loop: {}", e.what());
        }
    }
}

void ServerCore::count(std::string_view method, std::string_view path, int status, const std::string& result,
                       Started started) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    spdlog::debug("{} {} {} {} {:.1f} ms", escapeControls(method), escapeControls(path), status, result,
                  took.count() * 1000);
    metrics.request(endpointName(path), result, took);
}

std::optional<Answer> ServerCore::refuseEarly(const HttpRequest& req, const std::string& path) const {
    if (kApiPaths.contains(path) && req.method() != http::verb::post) {
        Answer a = failure({kBadRequest, 405});
        a.allowPost = true;
        return a;
    }
    return std::nullopt;
}

Answer ServerCore::answer(const HttpRequest& req, const std::string& path) {
    const auto outcome = [](const std::string& error) { return error.empty() ? std::string("OK") : error; };
    try {
        if (kApiPaths.contains(path)) {
            const HeaderLookup header = [&req](std::string_view name) {
                const auto value = req[beast::string_view(name.data(), name.size())];
                return std::string(value.data(), value.size());
            };
            if (auto refused = checkClient(header, options.versions)) {
                return failure(*refused);
            }
            if (path == "/v2/nearby/") {
                auto parsed = parseNearby(req.body());
                if (auto* error = std::get_if<ApiError>(&parsed)) {
                    return failure(*error);
                }
                const auto result =
                    query::nearby(*snapshots(), std::get<query::NearbyParams>(parsed), clock(), options.engine);
                return {renderNearby(result), outcome(result.error)};
            }
            if (path == "/v2/stops/") {
                auto parsed = parseStops(req.body());
                if (auto* error = std::get_if<ApiError>(&parsed)) {
                    return failure(*error);
                }
                const auto& r = std::get<StopsRequest>(parsed);
                return {renderStops(query::findStops(*snapshots(), r.text, r.city, r.limit)), "OK"};
            }
            auto parsed = parseDetails(req.body());
            if (auto* error = std::get_if<ApiError>(&parsed)) {
                return failure(*error);
            }
            const auto& d = std::get<DetailsRequest>(parsed);
            if (path == "/v2/more/") {
                const auto result = query::tripDetails(*snapshots(), d.city, d.tripId, d.stopId, clock());
                return {renderTrip(result), outcome(result.error)};
            }
            const auto result = query::vehicle(*snapshots(), d.city, d.tripId, clock());
            return {renderVehicle(result), outcome(result.error)};
        }
        const bool get = req.method() == http::verb::get || req.method() == http::verb::head;
        if (get && path == "/healthz") {
            const auto sources =
                options.realtimeStatus ? options.realtimeStatus() : std::vector<realtime::SourceStatus>{};
            Reply reply = renderHealth(*snapshots(), sources, clock(),
                                       options.feedStatus ? options.feedStatus() : std::vector<FeedStatus>{});
            const std::string result = std::to_string(reply.status);
            return {std::move(reply), result};
        }
        if (get && path == "/metrics") {
            std::string text = metrics.render();
            if (options.realtimeStatus) {
                text += Metrics::renderRealtime(options.realtimeStatus(), clock());
            }
            if (options.feedStatus) {
                text += Metrics::renderFeeds(options.feedStatus());
            }
            return {{200, std::move(text)}, "200", "text/plain; version=0.0.4"};
        }
        return failure({kBadRequest, 404});
    } catch (const std::exception& e) {
        spdlog::error("{} {}: {}", escapeControls(view(req.method_string())), escapeControls(path), e.what());
    } catch (...) {
        spdlog::error("{} {}: unknown error", escapeControls(view(req.method_string())), escapeControls(path));
    }
    return {{500, kServerError}, "500"};
}

Server::Server(ServerOptions options, SnapshotSource snapshots, Clock clock)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(snapshots), std::move(clock), metrics_)) {}

Server::~Server() { stop(); }

int Server::bind(const std::string& host, int port) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->acceptor) {
        return -1;
    }
    tcp::acceptor& acceptor = *impl_->acceptor;
    error_code ec;
    tcp::resolver resolver(*impl_->io);
    const auto endpoints =
        resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec) {
        return -1;
    }
    for (const auto& entry : endpoints) {
        acceptor.close(ec);
        acceptor.open(entry.endpoint().protocol(), ec);
        if (ec) {
            continue;
        }
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        acceptor.bind(entry.endpoint(), ec);
        if (!ec) {
            // A burst of new clients waits in the kernel's queue, not refused.
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        }
        if (!ec) {
            acceptor.non_blocking(true, ec);  // lets accept() take the waiting ones without blocking
        }
        if (!ec) {
            return acceptor.local_endpoint().port();
        }
    }
    acceptor.close(ec);
    return -1;
}

bool Server::listen() {
    Impl& s = *impl_;
    {
        std::lock_guard lock(s.mutex);
        if (s.stopping || !s.acceptor || !s.acceptor->is_open()) {
            s.ready = true;
            return s.stopping;
        }
        s.accept();
    }
    {
        auto work = asio::make_work_guard(*s.io);
        s.ready = true;
        std::vector<std::thread> pool;
        for (int i = 1; i < s.options.threads; ++i) {
            pool.emplace_back([&s] { s.run(); });
        }
        s.run();
        for (auto& t : pool) {
            t.join();
        }
    }
    std::lock_guard lock(s.mutex);
    s.acceptRetry.reset();
    s.acceptor.reset();
    s.io.reset();  // closes every connection still open and frees what served it
    return true;
}

void Server::stop() {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    if (impl_->io) {
        impl_->io->stop();
    }
}

void Server::waitUntilReady() const {
    while (!impl_->ready) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace velmo::api
