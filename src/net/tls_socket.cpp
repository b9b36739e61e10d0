#include "net/tls_socket.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/error_category.hpp>

#include <openssl/bio.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace shuffler {

namespace {

// OpenSSL's packed error codes, as error codes whose message is OpenSSL's reason.
class tls_error_category : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "tls"; }
    std::string message(int code) const override {
        const char* reason = ERR_reason_error_string(static_cast<unsigned long>(code));
        return reason ? reason : "TLS failure";
    }
};

const boost::system::error_category& tls_category() {
    static const tls_error_category category;
    return category;
}

// Why an OpenSSL call that returned `result` failed, read from this thread's error queue. The
// peer's closing message is an end of stream like the socket's.
boost::system::error_code failure_of(SSL* ssl, int result) {
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_ZERO_RETURN:
        return boost::asio::error::eof;
    case SSL_ERROR_SSL:
        if (const unsigned long code = ERR_get_error(); code != 0)
            return {int(code), tls_category()};
        break;
    default:
        break;
    }
    return boost::asio::error::fault; // our memory buffers never fail: OpenSSL itself did
}

} // namespace

void tls_socket::byte_buffer::make_room(std::size_t n) {
    if (capacity - end >= n)
        return;
    if (begin > 0) { // move what is held to the front first
        std::memmove(data.get(), data.get() + begin, size());
        end -= begin;
        begin = 0;
        if (capacity - end >= n)
            return;
    }
    const std::size_t grown = std::max(capacity * 2, end + n);
    std::unique_ptr<char[]> bigger(new char[grown]);
    if (end > 0)
        std::memcpy(bigger.get(), data.get(), end);
    data = std::move(bigger);
    capacity = grown;
}

void tls_socket::byte_buffer::append(const void* bytes, std::size_t n) {
    make_room(n);
    std::memcpy(data.get() + end, bytes, n);
    end += n;
}

// OpenSSL reads ciphertext from in_ and writes it to out_ through this BIO, so the socket is
// never touched by a helper thread.
BIO_METHOD* tls_socket::bio_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "shuffler tls");
        if (!m || !BIO_meth_set_write_ex(m, bio_write) || !BIO_meth_set_read_ex(m, bio_read) ||
            !BIO_meth_set_ctrl(m, bio_ctrl))
            throw std::runtime_error("TLS: OpenSSL failed");
        return m;
    }();
    return method;
}

int tls_socket::bio_write(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
    try {
        static_cast<tls_socket*>(BIO_get_data(bio))->out_.append(data, size);
    } catch (const std::bad_alloc&) {
        return 0; // OpenSSL's write fails, and says so
    }
    *written = size;
    return 1;
}

int tls_socket::bio_read(BIO* bio, char* data, std::size_t size, std::size_t* read) {
    byte_buffer& in = static_cast<tls_socket*>(BIO_get_data(bio))->in_;
    BIO_clear_retry_flags(bio);
    if (in.size() == 0) { // not here yet: OpenSSL says it wants more input
        BIO_set_retry_read(bio);
        *read = 0;
        return 0;
    }
    *read = std::min(size, in.size());
    std::memcpy(data, in.data.get() + in.begin, *read);
    in.begin += *read;
    if (in.size() == 0)
        in.clear();
    return 1;
}

long tls_socket::bio_ctrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0; // out_ holds every byte written: nothing to flush
}

tls_socket::tls_socket(boost::asio::ip::tcp::socket socket, std::shared_ptr<tls_settings> settings)
    : settings_(std::move(settings)), socket_(std::move(socket)),
      ssl_(SSL_new(settings_->context()), SSL_free),
      strand_(boost::asio::make_strand(helper_threads(context_of(socket_.get_executor())))) {
    BIO* bio = ssl_ ? BIO_new(bio_method()) : nullptr;
    if (!bio)
        throw std::runtime_error("TLS: OpenSSL failed");
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_.get(), bio, bio); // the same BIO both ways: one reference, now the SSL's
}

tls_socket::~tls_socket() = default;

boost::system::error_code tls_socket::flush(const boost::asio::yield_context& yield) {
    std::swap(sending_, out_);
    boost::system::error_code ec;
    if (sending_.size() > 0)
        boost::asio::async_write(
            socket_, boost::asio::buffer(sending_.data.get() + sending_.begin, sending_.size()),
            transfer_all_at_once{}, yield[ec]);
    sending_.clear();
    return ec;
}

boost::system::error_code tls_socket::handshake(bool as_server,
                                                const boost::asio::yield_context& yield) {
    SSL* ssl = ssl_.get();
    if (as_server)
        SSL_set_accept_state(ssl);
    else
        SSL_set_connect_state(ssl);
    for (;;) {
        ERR_clear_error();
        const int result = SSL_do_handshake(ssl);
        const bool wants_input = result != 1 && SSL_get_error(ssl, result) == SSL_ERROR_WANT_READ;
        const boost::system::error_code failed =
            result == 1 || wants_input ? boost::system::error_code() : failure_of(ssl, result);
        // What OpenSSL wrote goes out first: a failure's alert tells the peer why.
        if (const boost::system::error_code ec = flush(yield); ec && !failed)
            return ec;
        if (!wants_input)
            return failed;
        // No crypto job runs yet: the loop may fill in_ itself.
        in_.make_room(read_span);
        boost::system::error_code ec;
        in_.end += socket_.async_read_some(
            boost::asio::buffer(in_.data.get() + in_.end, in_.capacity - in_.end), yield[ec]);
        if (ec)
            return ec;
    }
}

tls_socket::outcome tls_socket::encrypt() {
    SSL* ssl = ssl_.get();
    ERR_clear_error();
    // Room for the whole ciphertext at once: each record of at most 16 KiB adds its header, its
    // type and its tag (22 bytes).
    std::size_t plain = 0;
    for (const boost::asio::const_buffer& b : plain_)
        plain += b.size();
    out_.make_room(plain + (plain / 16384 + plain_.size()) * 22);
    outcome o;
    for (const boost::asio::const_buffer& b : plain_) {
        std::size_t n = 0;
        const int result = SSL_write_ex(ssl, b.data(), b.size(), &n);
        if (result != 1) {
            o.ec = failure_of(ssl, result);
            return o;
        }
        o.bytes += n;
    }
    std::swap(sending_, out_); // sending_ was given back when its last bytes went out
    return o;
}

tls_socket::outcome tls_socket::run_job(outcome (tls_socket::*job)()) noexcept {
    try {
        return (this->*job)();
    } catch (const std::bad_alloc&) {
        return outcome{make_error_code(boost::system::errc::not_enough_memory)};
    }
}

tls_socket::outcome tls_socket::decrypt() {
    if (read_failure_)
        return outcome{read_failure_};
    if (received_.size() > 0) {
        if (in_.size() == 0)
            std::swap(in_, received_);
        else
            in_.append(received_.data.get() + received_.begin, received_.size());
        received_.clear();
    }
    SSL* ssl = ssl_.get();
    ERR_clear_error();
    outcome o;
    for (const boost::asio::mutable_buffer& t : targets_) {
        char* to = static_cast<char*>(t.data());
        std::size_t left = t.size();
        while (left > 0) {
            std::size_t n = 0;
            const int result = SSL_read_ex(ssl, to, left, &n);
            if (result == 1) {
                to += n;
                left -= n;
                o.bytes += n;
                continue;
            }
            if (SSL_get_error(ssl, result) == SSL_ERROR_WANT_READ) {
                o.drained = true;
                return o;
            }
            // What was decrypted before a failure goes out first; the failure is the next
            // read's (OpenSSL would not say it again).
            read_failure_ = failure_of(ssl, result);
            if (o.bytes == 0)
                o.ec = read_failure_;
            return o;
        }
    }
    return o;
}

} // namespace shuffler
