#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <thread>

namespace shuffler {

class byte_ring;

// Moves bytes between a file and a pipe on a thread of its own, since epoll cannot wait on a
// regular file (or on a device such as /dev/null): the event loop holds the other end of the pipe
// and uses it like any other. Plain bytes move with splice(), so they are copied once, between
// the page cache and the loop's buffer; a gzip input is inflated with ISA-L, every member of a
// multi-member file (concatenated gzip, BGZF) included.
//
// The thread touches only the file, its buffers and its end of the pipe, and closes that end when
// it stops: end of file on the loop's end means "stopped", and finish() says whether that was the
// real end. When the loop closes its end first, the thread is cut off without a problem.
//
// A regular file being read can instead go straight into a record reader's byte_ring, without a
// pipe: the thread reads or inflates into the ring's free room, finishes the ring when it stops,
// and is cut off when the loop closes the ring.
class file_pump {
  public:
    enum class job {
        read,        // file -> pipe
        read_gzip,   // gzip file -> pipe, decompressed
        write,       // pipe -> file
        read_hts,    // SAM, BAM or CRAM file -> SAM text, decoded by htslib (into a ring)
        write_bam,   // SAM text from the pipe -> BAM file, encoded by htslib
    };

    // htslib's settings for read_hts and write_bam: set once at start-up, before any thread.
    struct hts_settings {
        int threads = 1;       // htslib's pool threads per file (--threads), BGZF included
        int level = -1;        // BGZF compression level, 0 to 9; -1: htslib's default
        std::string reference; // FASTA for CRAM decoding; empty: htslib's own lookup
    };
    static hts_settings hts;
    // Sets `hts` and silences htslib's own log lines: its failures come back as problems.
    static void configure_hts(const hts_settings& settings);
    // The SAM header text of the SAM, BAM or CRAM file `path` ("-": standard input), read with
    // htslib on the calling thread; throws std::runtime_error naming the file when it cannot.
    static std::string read_hts_header(const std::string& path);

    // Takes ownership of `file` (opened for reading or writing as `what` needs) and starts the
    // thread. `name` names the file in problems; the thread never opens it.
    file_pump(int file, job what, std::string name);
    // job::read that first puts `prefix` into the pipe: bytes of the file read before.
    file_pump(int file, std::string name, std::string prefix);
    // Reads the regular `file` (job::read or job::read_gzip) into `ring`, which must outlive the
    // thread. There is no pipe: the loop waits on the ring.
    file_pump(int file, job what, std::string name, byte_ring& ring);
    file_pump(const file_pump&) = delete;
    file_pump& operator=(const file_pump&) = delete;
    // Closes the loop's end if still held, then joins the thread.
    ~file_pump();

    // The loop's end of the pipe (the read end when reading the file, the write end when writing
    // it), handed over once: the caller closes it.
    int take_loop_end();

    // Waits for the thread and returns what went wrong ("truncated gzip data: ...", "No space
    // left on device"), or "" when everything moved, or when the loop closed its end first while
    // reading. Call after the loop's end is closed or has reached end of file, or this waits
    // until it does.
    std::string finish();
    // True once the thread has stopped (finish() then returns at once), for a loop that waits
    // for it without blocking.
    bool done() const { return done_.load(std::memory_order_acquire); }

  private:
    // Bytes moved or inflated at a time, at most.
    static constexpr std::size_t output_size = std::size_t(1) << 20;

    file_pump(int file, std::string name, std::string prefix, job what);
    void start();
    void run();
    std::string decompress();   // job::read_gzip; the problem, or ""
    // True when the regular file starts with a BGZF member (gzip with a "BC" extra field) and
    // ends with BGZF's end-of-file member, as bgzip writes it: htslib's threads then inflate its
    // members side by side. Anything else (a cut file, gzip members after BGZF ones, padding)
    // is inflated member by member, where each such case has its own message.
    bool is_whole_bgzf() const;
    std::string inflate_bgzf(); // job::read_gzip of a BGZF file, by htslib; the problem, or ""
    // Where the next inflated bytes go: the ring's room (waiting for it), else `buffer`.
    std::pair<std::uint8_t*, std::size_t> output_room(std::uint8_t* buffer);
    // Hands `size` bytes put at output_room() on: commits them to the ring or writes them to
    // the pipe.
    void output(const std::uint8_t* data, std::size_t size);
    std::string read_hts();     // job::read_hts into ring_; the problem, or ""
    std::string write_bam();    // job::write_bam; the problem, or ""
    std::string copy();         // job::read and job::write; the problem, or ""
    std::string read_into_ring(); // job::read into ring_; the problem, or ""
    // Waits until the file has bytes to read (a pipe or terminal) while watching the loop's end;
    // throws when the loop has gone.
    void wait_for_input();

    int file_;
    job job_;
    int loop_end_ = -1;
    int thread_end_ = -1;
    std::string name_;
    std::string prefix_; // job::read: sent before the file's bytes
    byte_ring* ring_ = nullptr;
    std::string problem_; // written by the thread before it ends, read only after join
    std::atomic<bool> done_{false}; // set by the thread as it ends
    std::thread thread_;
};

} // namespace shuffler
