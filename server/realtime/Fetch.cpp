#include "server/realtime/Fetch.h"

#include "server/realtime/Message.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <netdb.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

namespace velmo::realtime {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
namespace ssl = asio::ssl;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Requests per fetch: the first and up to four redirects.
constexpr int kMaxRequests = 5;

bool isHttp(std::string_view location) {
    return location.size() > 7 && (location.starts_with("http://") || location.starts_with("https://"));
}

Fetched fetchFile(const std::string& path, const std::string& validator) {
    Fetched f;
    std::error_code ec;
    const auto mtime = fs::last_write_time(path, ec);
    if (ec) {
        f.error = "cannot read " + path + ": " + ec.message();
        return f;
    }
    f.validator = std::to_string(mtime.time_since_epoch().count());
    if (f.validator == validator) {
        f.outcome = FetchOutcome::NotModified;
        return f;
    }
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxMessageBytes) {
        f.error = ec ? "cannot read " + path + ": " + ec.message() : "file too large: " + path;
        return f;
    }
    std::ifstream in(path, std::ios::binary);
    f.body.resize(size);
    if (!in.read(f.body.data(), static_cast<std::streamsize>(size))) {
        f.error = "cannot read " + path;
        f.body.clear();
        return f;
    }
    f.outcome = FetchOutcome::Fresh;
    return f;
}

// An http(s) URL taken apart for one request.
struct Url {
    bool tls = false;
    std::string origin;    // scheme://authority as written, for redirects to an absolute path
    std::string userInfo;  // percent-decoded, sent as Basic credentials
    std::string host;      // without the brackets of an IPv6 literal
    std::string port;
    std::string hostHeader;
    std::string target;  // path and query
};

std::string percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<Url> parseUrl(std::string_view url) {
    if (!isHttp(url) || std::ranges::any_of(url, [](unsigned char c) { return c <= 0x20 || c == 0x7f; })) {
        return std::nullopt;
    }
    Url u;
    u.tls = url.starts_with("https://");
    const auto rest = url.substr(u.tls ? 8 : 7);
    const auto authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view authority = rest.substr(0, authorityEnd);
    u.origin = std::string(url.substr(0, url.size() - rest.size() + authorityEnd));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        u.userInfo = percentDecoded(authority.substr(0, at));
        authority = authority.substr(at + 1);
    }
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                return std::nullopt;
            }
            port = authority.substr(close + 2);
        }
    } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty() || port.size() > 5 || !std::ranges::all_of(port, [](char c) { return c >= '0' && c <= '9'; }) ||
        (!port.empty() && (std::stoi(std::string(port)) == 0 || std::stoi(std::string(port)) > 65535))) {
        return std::nullopt;
    }
    u.host = std::string(host);
    u.port = port.empty() ? (u.tls ? "443" : "80") : std::string(port);
    u.hostHeader = std::string(authority);
    std::string_view target = rest.substr(authorityEnd);
    target = target.substr(0, target.find('#'));
    u.target = target.empty() || target.front() != '/' ? "/" + std::string(target) : std::string(target);
    return u;
}

std::string basicCredentials(const std::string& userInfo) {
    std::string out(4 * ((userInfo.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(userInfo.data()), static_cast<int>(userInfo.size()));
    out.resize(static_cast<std::size_t>(n));
    return "Basic " + out;
}

// Host names are looked up on a thread of their own per lookup: the system's resolver cannot
// be interrupted, and a lookup that hangs must hold up neither other sources nor shutdown.
// The gate is closed when the io_context shuts down, so a late answer is dropped instead of
// posted to a context that is gone.
class LookupGate : public asio::execution_context::service {
public:
    struct State {
        std::mutex mutex;
        bool open = true;
    };
    static inline asio::execution_context::id id;

    explicit LookupGate(asio::execution_context& context) : service(context) {}
    std::shared_ptr<State> state() const { return state_; }

private:
    void shutdown() override {
        const std::lock_guard lock(state_->mutex);
        state_->open = false;
    }
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

using Resolved = std::function<void(std::string error, std::vector<tcp::endpoint>)>;

// Calls `then` on `io` with the host's addresses, or an error; never once `io` is gone.
void lookUp(asio::io_context& io, const std::string& host, const std::string& port, Resolved then) {
    error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (!ec) {
        asio::post(io, [then = std::move(then),
                        endpoint = tcp::endpoint(address, static_cast<unsigned short>(std::stoi(port)))] {
            then({}, {endpoint});
        });
        return;
    }
    auto lookup = [gate = asio::use_service<LookupGate>(io).state(), executor = io.get_executor(), host, port,
                   then = std::move(then)]() mutable {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
        std::string error;
        std::vector<tcp::endpoint> endpoints;
        if (rc != 0) {
            error = std::string("cannot look up ") + host + ": " + ::gai_strerror(rc);
        } else {
            for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
                if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) && a->ai_addrlen <= sizeof(sockaddr_in6)) {
                    tcp::endpoint endpoint;
                    std::memcpy(endpoint.data(), a->ai_addr, a->ai_addrlen);
                    endpoint.resize(a->ai_addrlen);
                    endpoints.push_back(endpoint);
                }
            }
            ::freeaddrinfo(list);
        }
        const std::lock_guard lock(gate->mutex);
        if (gate->open) {
            asio::post(executor,
                       [then = std::move(then), error = std::move(error), endpoints = std::move(endpoints)]() mutable {
                           then(std::move(error), std::move(endpoints));
                       });
        }
    };
    try {
        std::thread(std::move(lookup)).detach();
    } catch (const std::system_error&) {
        // No thread to spare: `then` never runs and the fetch ends at its deadline.
    }
}

// One fetch of an http(s) URL, redirects included, under one deadline. Every step runs on
// the io_context; the pending steps hold the fetch alive. Whichever comes first of the
// answer, an error and the deadline finishes it; the other steps then find it finished.
// The body is kept in memory (string_body) or written to a file (file_body).
template <class Body>
class HttpFetch : public std::enable_shared_from_this<HttpFetch<Body>> {
    static constexpr bool kToFile = std::is_same_v<Body, http::file_body>;
    using std::enable_shared_from_this<HttpFetch<Body>>::shared_from_this;
    using std::enable_shared_from_this<HttpFetch<Body>>::weak_from_this;

public:
    HttpFetch(asio::io_context& io, std::string url, FetchOptions options, std::chrono::seconds timeout,
              std::function<void(Fetched)> done)
        : io_(io),
          url_(std::move(url)),
          options_(std::move(options)),
          timeout_(timeout),
          done_(std::move(done)),
          deadline_(io) {}

    void start() {
        deadline_.expires_after(timeout_);
        deadline_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec) {
                self->fail("request failed: no complete answer within " + std::to_string(self->timeout_.count()) +
                           " s");
            }
        });
        request();
    }

private:
    void request() {
        const auto url = parseUrl(url_);
        if (!url) {
            return fail("bad URL " + shownLocation(url_));
        }
        target_ = *url;
        close();
        plain_.reset();
        tls_.reset();
        if (target_.tls) {
            if (!trustLoaded_) {
                // The peer is verified against the system's certificate store.
                tlsContext_.set_default_verify_paths();
                tlsContext_.set_verify_mode(ssl::verify_peer);
                trustLoaded_ = true;
            }
            tls_.emplace(io_, tlsContext_);
        } else {
            plain_.emplace(io_);
        }
        lookUp(io_, target_.host, target_.port,
               [weak = weak_from_this()](std::string error, std::vector<tcp::endpoint> endpoints) {
                   if (const auto self = weak.lock(); self && !self->finished_) {
                       if (!error.empty()) {
                           return self->fail("request failed: " + error);
                       }
                       self->connect(endpoints);
                   }
               });
    }

    tcp::socket& socket() { return plain_ ? *plain_ : tls_->next_layer(); }

    void connect(const std::vector<tcp::endpoint>& endpoints) {
        asio::async_connect(socket(), endpoints, [self = shared_from_this()](error_code ec, const tcp::endpoint&) {
            if (self->finished_) {
                return;
            }
            if (ec) {
                return self->fail("request failed: " + ec.message());
            }
            if (self->plain_) {
                return self->exchange(*self->plain_);
            }
            self->handshake();
        });
    }

    void handshake() {
        SSL* ssl = tls_->native_handle();
        error_code ec;
        const auto address = asio::ip::make_address(target_.host, ec);
        // An IP literal is checked against the certificate's addresses; a name is also
        // sent as the server name.
        const bool named = ec.failed();
        if (named ? (SSL_set_tlsext_host_name(ssl, target_.host.c_str()) != 1 ||
                     SSL_set1_host(ssl, target_.host.c_str()) != 1)
                  : X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.to_string().c_str()) != 1) {
            return fail("request failed: cannot set up TLS for " + target_.host);
        }
        tls_->async_handshake(ssl::stream_base::client, [self = shared_from_this()](error_code ec2) {
            if (self->finished_) {
                return;
            }
            if (ec2) {
                return self->fail("request failed: " + ec2.message());
            }
            self->exchange(*self->tls_);
        });
    }

    template <class Stream>
    void exchange(Stream& stream) {
        request_ = {};
        request_.method(http::verb::get);
        request_.target(target_.target);
        request_.version(11);
        request_.set(http::field::host, target_.hostHeader);
        request_.set(http::field::user_agent, "tarvod");
        request_.set(http::field::accept, "*/*");
        request_.set(http::field::connection, "close");
        if (!options_.ifModifiedSince.empty()) {
            request_.set(http::field::if_modified_since, options_.ifModifiedSince);
        }
        if (!options_.ifNoneMatch.empty()) {
            request_.set(http::field::if_none_match, options_.ifNoneMatch);
        }
        if (!target_.userInfo.empty()) {
            request_.set(http::field::authorization, basicCredentials(target_.userInfo));
        }
        buffer_.clear();
        // The cap holds while the body arrives, whether or not a length was announced.
        response_.emplace();
        response_->body_limit(options_.maxBytes > 0 ? options_.maxBytes : kMaxMessageBytes);
        response_->header_limit(64 * 1024);
        if constexpr (kToFile) {
            error_code ec;
            response_->get().body().open(options_.toFile.c_str(), boost::beast::file_mode::write, ec);
            if (ec) {
                return fail("cannot write " + options_.toFile + ": " + ec.message());
            }
        }
        http::async_write(stream, request_, [self = shared_from_this(), &stream](error_code ec, std::size_t) {
            if (self->finished_) {
                return;
            }
            if (ec) {
                return self->fail("request failed: " + ec.message());
            }
            // The header is read on its own: parsing it together with the body that
            // follows in the same read, Beast 1.74 drops the cap's error for an
            // announced length and reads on.
            http::async_read_header(stream, self->buffer_, *self->response_,
                                    [self, &stream](error_code ec2, std::size_t) {
                                        if (ec2 || self->finished_) {
                                            return self->answered(ec2);
                                        }
                                        http::async_read(stream, self->buffer_, *self->response_,
                                                         [self](error_code ec3, std::size_t) { self->answered(ec3); });
                                    });
        });
    }

    void answered(error_code ec) {
        if (finished_) {
            return;
        }
        // A body that runs to the end of the connection ends there even when the server
        // leaves out the TLS close notification.
        if (ec == ssl::error::stream_truncated && response_->need_eof()) {
            ec = {};
            response_->put_eof(ec);
        }
        if (ec == http::error::body_limit) {
            return fail("reply too large");
        }
        if (ec) {
            return fail("request failed: " + ec.message());
        }
        auto& res = response_->get();
        const unsigned status = res.result_int();
        const auto location = res.find(http::field::location);
        if ((status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
            location != res.end()) {
            if (++requests_ >= kMaxRequests) {
                return fail("too many redirects");
            }
            const std::string next(location->value());
            url_ = next.starts_with("/") ? target_.origin + next : next;
            return request();
        }
        Fetched f;
        if (status == 304) {
            f.outcome = FetchOutcome::NotModified;
            f.validator = options_.ifModifiedSince;
        } else if (status != 200) {
            f.error = "HTTP " + std::to_string(status);
        } else {
            f.outcome = FetchOutcome::Fresh;
            f.validator = std::string(res[http::field::last_modified]);
            f.etag = std::string(res[http::field::etag]);
            if constexpr (kToFile) {
                res.body().close();
            } else {
                f.body = std::move(res.body());
            }
        }
        finish(std::move(f));
    }

    void fail(std::string error) {
        Fetched f;
        f.error = std::move(error);
        finish(std::move(f));
    }

    void finish(Fetched f) {
        if (finished_) {
            return;
        }
        finished_ = true;
        deadline_.cancel();
        close();
        auto done = std::move(done_);
        done(std::move(f));
    }

    void close() {
        if (plain_ || tls_) {
            error_code ignored;
            socket().close(ignored);
        }
    }

    asio::io_context& io_;
    std::string url_;
    FetchOptions options_;
    std::chrono::seconds timeout_;
    std::function<void(Fetched)> done_;
    asio::steady_timer deadline_;
    Url target_;
    int requests_ = 1;
    bool finished_ = false;
    bool trustLoaded_ = false;
    ssl::context tlsContext_{ssl::context::tls_client};
    std::optional<tcp::socket> plain_;
    std::optional<ssl::stream<tcp::socket>> tls_;
    http::request<http::empty_body> request_;
    boost::beast::flat_buffer buffer_;
    std::optional<http::response_parser<Body>> response_;
};

}  // namespace

void fetchAsync(asio::io_context& io, const std::string& location, const FetchOptions& options,
                std::chrono::seconds timeout, std::function<void(Fetched)> done) {
    if (!isHttp(location)) {
        asio::post(io, [f = fetchFile(location, options.ifModifiedSince), done = std::move(done)]() mutable {
            done(std::move(f));
        });
    } else if (options.toFile.empty()) {
        std::make_shared<HttpFetch<http::string_body>>(io, location, options, timeout, std::move(done))->start();
    } else {
        std::make_shared<HttpFetch<http::file_body>>(io, location, options, timeout, std::move(done))->start();
    }
}

void fetchAsync(asio::io_context& io, const std::string& location, const std::string& validator,
                std::chrono::seconds timeout, std::function<void(Fetched)> done) {
    FetchOptions options;
    options.ifModifiedSince = validator;
    fetchAsync(io, location, options, timeout, std::move(done));
}

Fetched fetch(const std::string& location, const FetchOptions& options, std::chrono::seconds timeout) {
    asio::io_context io;
    Fetched out;
    fetchAsync(io, location, options, timeout, [&out](Fetched f) { out = std::move(f); });
    io.run();
    return out;
}

Fetched fetch(const std::string& location, const std::string& validator, std::chrono::seconds timeout) {
    FetchOptions options;
    options.ifModifiedSince = validator;
    return fetch(location, options, timeout);
}

std::string shownLocation(std::string_view location) {
    if (!isHttp(location)) {
        return std::string(location);
    }
    const auto schemeEnd = location.find("://") + 3;
    const auto rest = location.substr(schemeEnd);
    const auto authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    auto authority = rest.substr(0, authorityEnd);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority = authority.substr(at + 1);
    }
    auto path = rest.substr(authorityEnd);
    path = path.substr(0, path.find_first_of("?#"));
    return std::string(location.substr(0, schemeEnd)).append(authority).append(path);
}

}  // namespace velmo::realtime
