#pragma once

#include <boost/asio/posix/stream_descriptor.hpp>
#include "core/coroutine.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

namespace shuffler {

// The input buffer of a record reader: a ring of bytes that a file's thread (reading or
// inflating) writes into while the event loop parses what came before, so bytes reach the parser
// without passing through a pipe. The memory is mapped twice, back to back, so that any run of up
// to size() bytes is contiguous wherever it starts: a record that wraps around is read in place.
//
// One producer (the thread, or the loop itself reading a pipe) and one consumer (the loop).
// Positions only grow; the producer writes in [tail, head + size), the consumer reads in
// [head, tail).
class byte_ring {
  public:
    // `size` must be a multiple of the page size.
    explicit byte_ring(std::uint64_t size);
    byte_ring(const byte_ring&) = delete;
    byte_ring& operator=(const byte_ring&) = delete;
    ~byte_ring();

    std::uint64_t size() const { return size_; }

    // Producer: waits until at least `least` bytes are free (at most size()), or any are while
    // the consumer waits for bytes, and returns where they start and how many are free;
    // {nullptr, 0} once the consumer has closed the ring.
    std::pair<char*, std::uint64_t> wait_for_room(std::uint64_t least);
    // Producer: the free room now, without waiting (the loop reading a pipe into the ring).
    std::pair<char*, std::uint64_t> room();
    // Producer: makes `n` bytes written at the start of the room readable.
    void commit(std::uint64_t n);
    // Producer: no more bytes will come.
    void finish();

    // Consumer: where the unread bytes start, and how many there are.
    std::pair<char*, std::uint64_t> unread();
    // Consumer: the oldest `n` unread bytes are done with; their room goes back to the producer.
    void release(std::uint64_t n);
    // Consumer: waits until more than `have` bytes are unread or the producer has finished,
    // waiting on `wakeup` (a descriptor on wakeup_fd()). Throws what the wait throws: cancelled
    // when `wakeup` is closed.
    void wait_for_more(std::uint64_t have, boost::asio::posix::stream_descriptor& wakeup,
                       const boost::asio::yield_context& yield);
    // Consumer: leaves; a producer waiting for room, or asking for it later, gets none.
    void close();

    // An eventfd that becomes readable when bytes come or the producer finishes while the
    // consumer waits for them.
    int wakeup_fd() const { return wakeup_fd_; }

  private:
    char* memory_ = nullptr; // size_ bytes, then the same bytes again
    std::uint64_t size_;
    int wakeup_fd_ = -1;

    std::mutex mutex_; // guards everything below
    std::condition_variable room_freed_;
    std::uint64_t head_ = 0;      // first unread byte
    std::uint64_t tail_ = 0;      // one past the last readable byte
    bool finished_ = false;       // the producer is done
    bool closed_ = false;         // the consumer is done
    bool consumer_waits_ = false; // commit() and finish() must signal wakeup_fd_
};

} // namespace shuffler
