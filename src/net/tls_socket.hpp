#pragma once

#include "core/offload.hpp"
#include "core/report.hpp"
#include "net/tls.hpp"
#include "wire/transfer.hpp"

#include <boost/asio/append.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace shuffler {

// A TLS connection over a TCP socket, an Asio stream like the socket itself (so the sessions'
// reads and writes serve both). OpenSSL works on memory: the event loop only moves ciphertext
// between the socket and this connection's buffers, while the loop's helper threads encrypt
// whole spans of a block at once (records of the largest size, one gathered send for many) and
// decrypt whatever has arrived. The connection's OpenSSL state is touched by one thread at a
// time: the handshake runs on the loop, before anything else, and then every encryption or
// decryption of the connection runs in turn on its own strand of those threads.
//
// As with any Asio stream: at most one read and one write at a time, and the stream outlives
// them.
class tls_socket {
public:
    using executor_type = boost::asio::ip::tcp::socket::executor_type;
    using lowest_layer_type = boost::asio::ip::tcp::socket;

    // Keeps `settings` for as long as it lives; encrypts and decrypts on helper_threads() of the
    // socket's loop.
    tls_socket(boost::asio::ip::tcp::socket socket, std::shared_ptr<tls_settings> settings);
    tls_socket(const tls_socket&) = delete;
    tls_socket& operator=(const tls_socket&) = delete;
    ~tls_socket();

    executor_type get_executor() { return socket_.get_executor(); }
    boost::asio::ip::tcp::socket& next_layer() { return socket_; }
    boost::asio::ip::tcp::socket& lowest_layer() { return socket_; }

    // Cancels the read and write in progress, also one whose bytes are with the helper threads
    // at the time (cancelling the socket alone would not reach it): they complete with
    // operation-aborted.
    void cancel(boost::system::error_code& ec) {
        ++cancels_;
        socket_.cancel(ec);
    }

    // The TLS handshake, as the server when `as_server`. Returns the error that ended it (an
    // end of stream, the socket's cancellation, or the TLS failure), or success.
    boost::system::error_code handshake(bool as_server, const boost::asio::yield_context& yield);

    // Encrypts up to `write_span` bytes of `buffers` and sends them; completes with how many
    // bytes of `buffers` it took, once their ciphertext is in the socket.
    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        plain_.clear();
        std::size_t room = write_span;
        for (auto i = boost::asio::buffer_sequence_begin(buffers);
             i != boost::asio::buffer_sequence_end(buffers) && room > 0; ++i) {
            const boost::asio::const_buffer b = boost::asio::buffer(*i, room);
            if (b.size() > 0)
                plain_.push_back(b);
            room -= b.size();
        }
        return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
            write_op{this}, token, socket_);
    }

    // Completes with the next bytes received, at least one, in `buffers`; or with an error: end
    // of stream (also when the peer closes without TLS's own closing message: the protocol's
    // end mark says whether the data was whole), or the TLS failure.
    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        targets_.clear();
        for (auto i = boost::asio::buffer_sequence_begin(buffers);
             i != boost::asio::buffer_sequence_end(buffers); ++i)
            if (i->size() > 0)
                targets_.push_back(*i);
        return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
            read_op{this}, token, socket_);
    }

    // The most one write encrypts before sending: a whole block goes in a few spans, each sent
    // while the helper threads may work on another connection's.
    static constexpr std::size_t write_span = 512 * 1024;

private:
    // Bytes in one contiguous buffer, left uninitialised (its pages are touched only when used).
    struct byte_buffer {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
        std::size_t begin = 0, end = 0; // the bytes held
        std::size_t size() const { return end - begin; }
        void clear() { begin = end = 0; }
        void release() { *this = byte_buffer(); } // gives the memory back
        void make_room(std::size_t n); // at least n bytes free after `end`
        void append(const void* bytes, std::size_t n);
    };

    // What a crypto job gives back to the loop.
    struct outcome {
        boost::system::error_code ec;
        std::size_t bytes = 0; // plaintext taken (encrypt) or given (decrypt)
        bool drained = false; // decrypt: every byte received is used up; more must come
    };

    // Whether an operation that started when cancels_ was `cancels` must end now: it was
    // cancelled, or the socket was closed, while its bytes were with the helper threads.
    bool stopped_since(unsigned cancels) const {
        return cancels != cancels_ || !socket_.is_open();
    }

    outcome encrypt();         // plain_ -> sending_ (on the strand)
    outcome decrypt();         // received_ -> targets_ (on the strand)
    boost::system::error_code flush(const boost::asio::yield_context& yield); // handshake only

    // Runs `job` on the strand and resumes `self` on the loop with its outcome; counted as the
    // loop's offloaded work until then.
    template <class Self> void on_strand(Self& self, outcome (tls_socket::*job)()) {
        offload_count& offloads = offloads_of(context_of(socket_.get_executor()));
        offloads.started();
        boost::asio::post(strand_, [this, job, &offloads, self = std::move(self)]() mutable {
            const outcome o = run_job(job);
            auto loop = self.get_io_executor();
            boost::asio::post(loop, boost::asio::append(std::move(self), o));
            offloads.finished();
        });
    }
    outcome run_job(outcome (tls_socket::*job)()) noexcept; // a failure as an outcome, never a throw

    struct write_op {
        tls_socket* s;
        unsigned cancels = s->cancels_;
        std::size_t taken = 0;
        template <class Self> void operator()(Self& self) {
            if (s->plain_.empty())
                return self.complete({}, 0);
            s->on_strand(self, &tls_socket::encrypt);
        }
        template <class Self> void operator()(Self& self, const outcome& o) {
            if (o.ec || s->stopped_since(cancels)) {
                s->sending_.release(); // an encrypted span nobody will send
                return self.complete(o.ec ? o.ec : boost::asio::error::operation_aborted, 0);
            }
            taken = o.bytes;
            boost::asio::async_write(
                s->socket_,
                boost::asio::buffer(s->sending_.data.get() + s->sending_.begin, s->sending_.size()),
                transfer_all_at_once{}, std::move(self));
        }
        template <class Self>
        void operator()(Self& self, const boost::system::error_code& ec, std::size_t) {
            // Ciphertext is held only while it is sent: hundreds of idle connections hold none.
            s->sending_.release();
            self.complete(ec, ec ? 0 : taken);
        }
    };

    struct read_op {
        tls_socket* s;
        unsigned cancels = s->cancels_;
        template <class Self> void operator()(Self& self) {
            if (s->targets_.empty())
                return self.complete({}, 0);
            if (s->drained_) // nothing can be decrypted before more comes
                return (*this)(self, outcome{{}, 0, true});
            s->on_strand(self, &tls_socket::decrypt);
        }
        template <class Self> void operator()(Self& self, const outcome& o) {
            s->drained_ = o.drained;
            if (o.ec || o.bytes > 0)
                return self.complete(o.ec, o.bytes);
            if (s->stopped_since(cancels))
                return self.complete(boost::asio::error::operation_aborted, 0);
            // Nothing to give yet: more ciphertext from the socket, then decrypt again.
            s->received_.make_room(s->read_size_);
            s->socket_.async_read_some(
                boost::asio::buffer(s->received_.data.get() + s->received_.end,
                                    s->received_.capacity - s->received_.end),
                std::move(self));
        }
        template <class Self>
        void operator()(Self& self, const boost::system::error_code& ec, std::size_t n) {
            if (ec)
                return self.complete(ec, 0);
            s->received_.end += n;
            if (n >= s->read_size_ && s->read_size_ < read_span) // a stream, not a trickle
                s->read_size_ *= 2;
            s->on_strand(self, &tls_socket::decrypt);
        }
    };

    // The most one read from the socket takes. Reads start at 16 KiB, and grow while they fill:
    // a connection that only brings acknowledgements keeps a small buffer.
    static constexpr std::size_t read_span = 256 * 1024;
    std::size_t read_size_ = 16 * 1024;

    std::shared_ptr<tls_settings> settings_; // the handshake's key callbacks read it
    boost::asio::ip::tcp::socket socket_;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl_;
    boost::asio::strand<boost::asio::thread_pool::executor_type> strand_;

    // OpenSSL's side of the buffers (on the strand, or the loop during the handshake): `out_`
    // collects the ciphertext it writes, `in_` holds the ciphertext it has still to read.
    byte_buffer out_, in_;
    // The loop's side: ciphertext being sent (from out_), ciphertext just received (for in_).
    byte_buffer sending_, received_;
    std::vector<boost::asio::const_buffer> plain_;     // what the write in progress encrypts
    std::vector<boost::asio::mutable_buffer> targets_; // where the read in progress decrypts to
    unsigned cancels_ = 0; // cancel() calls so far
    bool drained_ = false; // the last decryption used up every byte received: read the socket first
    // The strand's: a failure met after giving out the bytes before it, for the next read.
    boost::system::error_code read_failure_;

    static int bio_write(BIO* bio, const char* data, std::size_t size, std::size_t* written);
    static int bio_read(BIO* bio, char* data, std::size_t size, std::size_t* read);
    static long bio_ctrl(BIO* bio, int command, long, void*);
    static BIO_METHOD* bio_method();
};

} // namespace shuffler
