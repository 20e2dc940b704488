#pragma once

#include <boost/asio/compose.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <openssl/ssl.h>

#include <cstddef>
#include <string>
#include <type_traits>

namespace velmo::api {

// The server side of a TLS connection over a beast::tcp_stream, for one operation at a time
// (a request is read, then its reply written). Everything one write encrypts leaves in a
// single send: a reply of many records reaches the client in one piece instead of one send and
// one wake-up per 16 KiB record. The tcp_stream's expiry bounds every wait.
class TlsStream {
public:
    using executor_type = boost::beast::tcp_stream::executor_type;
    using next_layer_type = boost::beast::tcp_stream;
    using error_code = boost::system::error_code;

    TlsStream(boost::asio::ip::tcp::socket socket, SSL_CTX* context);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    executor_type get_executor() { return next_.get_executor(); }
    next_layer_type& next_layer() { return next_; }

    // Completes with the handshake done, or with why it failed.
    template <class Token>
    auto async_handshake(Token&& token) {
        return run<void(error_code)>([](TlsStream& s) { return s.handshakeStep(); }, std::forward<Token>(token));
    }

    // Reads some decrypted bytes into the first non-empty buffer. A client that closed with
    // close_notify ends the stream with asio::error::eof; one that ended the connection without
    // it, with ssl::error::stream_truncated (or the socket's own error, a reset say).
    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        const boost::asio::mutable_buffer into = firstNonEmpty(buffers);
        return run<void(error_code, std::size_t)>([into](TlsStream& s) { return s.readStep(into); },
                                                  std::forward<Token>(token));
    }

    // Encrypts every buffer and sends the records together; completes with all bytes written.
    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        const std::size_t total = boost::asio::buffer_size(buffers);
        return run<void(error_code, std::size_t)>(
            [buffers, total](TlsStream& s) {
                s.beginWrite(total);
                for (auto it = boost::asio::buffer_sequence_begin(buffers);
                     it != boost::asio::buffer_sequence_end(buffers); ++it) {
                    const boost::asio::const_buffer b(*it);
                    s.write(static_cast<const char*>(b.data()), b.size());
                }
                return s.endWrite(total);
            },
            std::forward<Token>(token));
    }

    // Sends close_notify and waits for the client's in return.
    template <class Token>
    auto async_shutdown(Token&& token) {
        return run<void(error_code)>([](TlsStream& s) { return s.shutdownStep(); }, std::forward<Token>(token));
    }

private:
    // What one call into OpenSSL came to: finished (with an error or a byte count), or it needs
    // more bytes from the client first. Records it made wait in the output either way.
    struct Step {
        bool done = true;
        error_code ec;
        std::size_t bytes = 0;
    };

    // Runs a step until it is done: its output is sent first, and input read whenever it asks.
    // A step done at once still completes through the executor, never inside the initiation.
    template <class StepFn, bool WithBytes>
    struct Op {
        enum class State {
            Starting,
            Writing,
            Reading,
            Posted
        };
        TlsStream& s;
        StepFn step;
        State state = State::Starting;
        TlsStream::Step last{};

        template <class Self>
        void operator()(Self& self, error_code ec = {}, std::size_t n = 0) {
            switch (state) {
                case State::Starting: break;
                case State::Posted: return finish(self);
                case State::Writing:
                    s.sent();
                    if (ec) {
                        last = {true, ec, 0};
                        return finish(self);
                    }
                    return last.done ? finish(self) : readMore(self);
                case State::Reading:
                    if (ec) {
                        last = {true, endOfInput(ec), 0};
                        return finish(self);
                    }
                    s.received(n);
                    break;
            }
            const bool starting = state == State::Starting;
            last = step(s);
            if (s.hasOutput()) {
                state = State::Writing;
                return boost::asio::async_write(s.next_, s.output(), std::move(self));
            }
            if (!last.done) {
                return readMore(self);
            }
            if (starting) {
                state = State::Posted;
                return boost::asio::post(s.get_executor(), std::move(self));
            }
            finish(self);
        }

        template <class Self>
        void readMore(Self& self) {
            state = State::Reading;
            s.next_.async_read_some(s.inputSpace(), std::move(self));
        }

        template <class Self>
        void finish(Self& self) {
            if constexpr (WithBytes) {
                self.complete(last.ec, last.bytes);
            } else {
                self.complete(last.ec);
            }
        }
    };

    template <class Signature, class Token, class StepFn>
    auto run(StepFn step, Token&& token) {
        constexpr bool withBytes = !std::is_same_v<Signature, void(error_code)>;
        return boost::asio::async_compose<Token, Signature>(Op<StepFn, withBytes>{*this, std::move(step)}, token,
                                                            next_);
    }

    template <class Buffers>
    static boost::asio::mutable_buffer firstNonEmpty(const Buffers& buffers) {
        for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
             ++it) {
            const boost::asio::mutable_buffer b(*it);
            if (b.size() > 0) {
                return b;
            }
        }
        return {};
    }

    static error_code endOfInput(error_code ec);
    Step settle(int result);
    void encrypt(const char* data, std::size_t size);
    void flushStaged();

    Step handshakeStep();
    Step readStep(boost::asio::mutable_buffer into);
    Step shutdownStep();
    void beginWrite(std::size_t total);
    void write(const char* data, std::size_t size);
    Step endWrite(std::size_t total);

    // The socket side of OpenSSL's BIO: bytes read from the client wait in input_ until OpenSSL
    // takes them; records it makes gather in output_ until they are sent.
    friend struct TlsBio;
    boost::asio::mutable_buffer inputSpace();
    void received(std::size_t n) { input_.commit(n); }
    bool hasOutput() const { return !output_.empty(); }
    boost::asio::const_buffer output() const { return {output_.data(), output_.size()}; }
    void sent();

    boost::beast::tcp_stream next_;
    SSL* ssl_ = nullptr;
    boost::beast::flat_buffer input_;
    std::string output_;
    // Small pieces of one write (the header's parts, say) gathered into one record instead of a
    // record each; a write's first error ends the rest of it.
    std::string staged_;
    error_code writeError_;
};

}  // namespace velmo::api
