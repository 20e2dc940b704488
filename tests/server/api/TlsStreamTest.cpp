// The server's TLS stream against an ordinary OpenSSL client over loopback.
#include "server/api/TlsStream.h"
#include "server/api/Tls.h"
#include "tests/support/TempHome.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <thread>

using namespace velmo;
namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// What a server side handed over, or a failure after ten seconds.
template <class T>
T within(std::future<T> future) {
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the server side did not finish";
        return {};
    }
    return future.get();
}

// One accepted connection served by `serve` on a thread of its own, and a client connected to it.
class Loopback {
public:
    template <class Serve>
    explicit Loopback(Serve serve) {
        const std::string dir = home_.path().string();
        api::writeSelfSignedCertificate(dir + "/cert.pem", dir + "/key.pem");
        serverTls_.use_certificate_chain_file(dir + "/cert.pem");
        serverTls_.use_private_key_file(dir + "/key.pem", ssl::context::pem);
        acceptor_.async_accept([this, serve](error_code ec, tcp::socket socket) {
            ASSERT_FALSE(ec);
            stream_.emplace(std::move(socket), serverTls_.native_handle());
            stream_->async_handshake([this, serve](error_code e) {
                ASSERT_FALSE(e) << e.message();
                serve(*stream_);
            });
        });
        thread_ = std::thread([this] { io_.run(); });
        client_.next_layer().connect(acceptor_.local_endpoint());
        client_.handshake(ssl::stream_base::client);
    }
    ~Loopback() {
        io_.stop();
        thread_.join();
    }
    Loopback(const Loopback&) = delete;
    Loopback& operator=(const Loopback&) = delete;

    ssl::stream<tcp::socket>& client() { return client_; }

private:
    test::TempDir home_;
    asio::io_context io_;
    ssl::context serverTls_{ssl::context::tls_server};
    tcp::acceptor acceptor_{io_, {asio::ip::address_v4::loopback(), 0}};
    std::optional<api::TlsStream> stream_;
    std::thread thread_;
    asio::io_context clientIo_;
    ssl::context clientTls_{ssl::context::tls_client};
    ssl::stream<tcp::socket> client_{clientIo_, clientTls_};
};

// Reads into `got` until `want` bytes are there or the stream ends; hands over how it ended.
void readAll(api::TlsStream& s, std::string& got, std::size_t want, std::function<void(error_code)> done) {
    const std::size_t at = got.size();
    got.resize(at + 5000);
    s.async_read_some(asio::buffer(got.data() + at, 5000), [&s, &got, want, at, done](error_code ec, std::size_t n) {
        got.resize(at + n);
        if (ec || got.size() >= want) {
            return done(ec);
        }
        readAll(s, got, want, done);
    });
}

std::string pattern(std::size_t size, char seed) {
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(seed + i * 7 % 61);
    }
    return text;
}

}  // namespace

TEST(TlsStream, CarriesRequestAndManyRecordReplyThenClosesCleanly) {
    const std::string request = pattern(40000, 'a');
    const std::string head = pattern(120, 'H');
    const std::string body = pattern(100000, 'b');
    std::string got;
    std::promise<std::tuple<error_code, std::size_t, error_code>> served;
    Loopback link([&](api::TlsStream& s) {
        readAll(s, got, request.size(), [&](error_code readError) {
            const std::array<asio::const_buffer, 2> reply{asio::buffer(head), asio::buffer(body)};
            s.async_write_some(reply, [&, readError](error_code writeError, std::size_t written) {
                s.async_shutdown([&, readError, writeError, written](error_code closed) {
                    served.set_value({readError ? readError : writeError, written, closed});
                });
            });
        });
    });
    // The request in two writes, so it reaches the server as several records.
    asio::write(link.client(), asio::buffer(request.data(), 30000));
    asio::write(link.client(), asio::buffer(request.data() + 30000, 10000));
    std::string reply(head.size() + body.size(), '\0');
    asio::read(link.client(), asio::buffer(reply));
    EXPECT_TRUE(reply == head + body);
    error_code end;
    char more = 0;
    link.client().read_some(asio::buffer(&more, 1), end);
    EXPECT_EQ(end, asio::error::eof) << end.message();  // the server's close_notify
    link.client().shutdown(end);
    const auto [error, written, closed] = within(served.get_future());
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(written, head.size() + body.size());
    EXPECT_FALSE(closed) << closed.message();
    EXPECT_TRUE(got == request);
}

TEST(TlsStream, TellsAClientThatClosedFromOneThatVanished) {
    for (const bool closeNotify : {true, false}) {
        std::promise<error_code> ended;
        std::string got;
        Loopback link([&](api::TlsStream& s) {
            readAll(s, got, 1, [&](error_code ec) {
                ended.set_value(ec);
                s.async_shutdown([](error_code) {});
            });
        });
        error_code ignored;
        if (closeNotify) {
            link.client().shutdown(ignored);  // returns once the server has answered with its own
        } else {
            link.client().next_layer().shutdown(tcp::socket::shutdown_send);  // FIN, no close_notify
        }
        const error_code ec = within(ended.get_future());
        EXPECT_EQ(ec, closeNotify ? error_code(asio::error::eof) : error_code(ssl::error::stream_truncated))
            << closeNotify << ": " << ec.message();
        EXPECT_TRUE(got.empty());
    }
}
