#include "server/api/TlsStream.h"

#include <boost/asio/ssl/error.hpp>
#include <openssl/bio.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace velmo::api {

namespace {

// Bytes asked of the socket at a time: a request, or most of a handshake flight.
constexpr std::size_t kReadChunk = 4096;
// Pieces of a write smaller than this are gathered into one record.
constexpr std::size_t kGathered = 2048;
// Output space kept between writes; a longer reply's is given back, so idle connections
// hold little.
constexpr std::size_t kKeptOutput = 16 * 1024;
// Room for record headers and tags beside the bytes written (at most 16 KiB per record).
constexpr std::size_t recordRoom(std::size_t bytes) { return (bytes / 16384 + 2) * 64; }

}  // namespace

// The BIO OpenSSL reads from and writes to: the stream's own input and output buffers.
struct TlsBio {
    static TlsStream& of(BIO* bio) { return *static_cast<TlsStream*>(BIO_get_data(bio)); }

    static int write(BIO* bio, const char* data, int size) {
        BIO_clear_retry_flags(bio);
        try {  // nothing may be thrown through OpenSSL's frames
            of(bio).output_.append(data, static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            return -1;
        }
        return size;
    }

    static int read(BIO* bio, char* data, int size) {
        BIO_clear_retry_flags(bio);
        auto& input = of(bio).input_;
        const std::size_t n = std::min(static_cast<std::size_t>(size), input.size());
        if (n == 0) {
            BIO_set_retry_read(bio);
            return -1;
        }
        std::memcpy(data, input.data().data(), n);
        input.consume(n);
        return static_cast<int>(n);
    }

    static long control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

    static int create(BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
    }

    static BIO_METHOD* method() {
        static BIO_METHOD* const m = [] {
            BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velmo tls stream");
            if (made == nullptr || BIO_meth_set_write(made, &TlsBio::write) != 1 ||
                BIO_meth_set_read(made, &TlsBio::read) != 1 || BIO_meth_set_ctrl(made, &TlsBio::control) != 1 ||
                BIO_meth_set_create(made, &TlsBio::create) != 1) {
                throw std::bad_alloc();
            }
            return made;
        }();
        return m;
    }
};

TlsStream::TlsStream(boost::asio::ip::tcp::socket socket, SSL_CTX* context)
    : next_(std::move(socket)), ssl_(SSL_new(context)) {
    BIO* bio = ssl_ != nullptr ? BIO_new(TlsBio::method()) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl_);
        throw std::bad_alloc();
    }
    BIO_set_data(bio, this);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_accept_state(ssl_);
}

TlsStream::~TlsStream() { SSL_free(ssl_); }

// Where a call into OpenSSL that did not succeed leaves the operation. The error queue is the
// thread's, and cleared before each call: a connection moves between threads.
TlsStream::Step TlsStream::settle(int result) {
    switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ: return {false, {}, 0};
        case SSL_ERROR_ZERO_RETURN: return {true, boost::asio::error::eof, 0};
        default:
            if (const unsigned long e = ERR_get_error(); e != 0) {
                return {true, {static_cast<int>(e), boost::asio::error::get_ssl_category()}, 0};
            }
            return {true, boost::asio::ssl::error::stream_truncated, 0};
    }
}

TlsStream::error_code TlsStream::endOfInput(error_code ec) {
    return ec == boost::asio::error::eof ? boost::asio::ssl::error::stream_truncated : ec;
}

TlsStream::Step TlsStream::handshakeStep() {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    return r == 1 ? Step{} : settle(r);
}

TlsStream::Step TlsStream::readStep(boost::asio::mutable_buffer into) {
    if (into.size() == 0) {
        return {};
    }
    ERR_clear_error();
    std::size_t n = 0;
    const int r = SSL_read_ex(ssl_, into.data(), into.size(), &n);
    return r == 1 ? Step{true, {}, n} : settle(r);
}

TlsStream::Step TlsStream::shutdownStep() {
    ERR_clear_error();
    const int r = SSL_shutdown(ssl_);
    if (r == 1) {
        return {};
    }
    return r == 0 ? Step{false, {}, 0} : settle(r);  // 0: ours is sent, the client's awaited
}

void TlsStream::beginWrite(std::size_t total) {
    writeError_ = {};
    staged_.clear();
    output_.reserve(output_.size() + total + recordRoom(total));
}

void TlsStream::write(const char* data, std::size_t size) {
    if (size < kGathered) {
        staged_.append(data, size);
        if (staged_.size() >= kGathered) {
            flushStaged();
        }
        return;
    }
    flushStaged();
    encrypt(data, size);
}

TlsStream::Step TlsStream::endWrite(std::size_t total) {
    flushStaged();
    return writeError_ ? Step{true, writeError_, 0} : Step{true, {}, total};
}

void TlsStream::flushStaged() {
    encrypt(staged_.data(), staged_.size());
    staged_.clear();
}

void TlsStream::encrypt(const char* data, std::size_t size) {
    if (writeError_ || size == 0) {
        return;
    }
    ERR_clear_error();
    std::size_t n = 0;
    const int r = SSL_write_ex(ssl_, data, size, &n);
    if (r != 1) {
        // Writing never waits for the client (renegotiation is off): any stop is an error.
        const Step s = settle(r);
        writeError_ = s.ec ? s.ec : boost::asio::error::make_error_code(boost::asio::error::operation_not_supported);
    }
}

boost::asio::mutable_buffer TlsStream::inputSpace() { return input_.prepare(kReadChunk); }

void TlsStream::sent() {
    output_.clear();
    if (output_.capacity() > kKeptOutput) {
        std::string().swap(output_);
    }
}

}  // namespace velmo::api
