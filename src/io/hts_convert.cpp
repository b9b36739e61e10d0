// The file_pump jobs that go through htslib: alignments decoded from SAM, BAM or CRAM into SAM
// text for the record reader, and SAM text encoded into BAM for a worker's file. Every byte of
// BGZF, BAM and CRAM is htslib's; this side moves text lines.

#include "io/file_pump.hpp"

#include "io/byte_ring.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/kstring.h>
#include <htslib/sam.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace shuffler {

file_pump::hts_settings file_pump::hts;

void file_pump::configure_hts(const hts_settings& settings) {
    hts = settings;
    hts_set_log_level(HTS_LOG_OFF);
}

namespace {

// htslib's objects, closed or freed on every way out.
struct hts_file_closer {
    void operator()(htsFile* f) const { hts_close(f); }
};
struct header_freer {
    void operator()(sam_hdr_t* h) const { sam_hdr_destroy(h); }
};
struct record_freer {
    void operator()(bam1_t* b) const { bam_destroy1(b); }
};
using hts_file_ptr = std::unique_ptr<htsFile, hts_file_closer>;
using header_ptr = std::unique_ptr<sam_hdr_t, header_freer>;
using record_ptr = std::unique_ptr<bam1_t, record_freer>;

// Opens the thread's own copy of `fd` with htslib, so that closing the htsFile leaves the
// pump's descriptor to the pump.
hts_file_ptr open_hts(int fd, const std::string& name, const char* mode, std::string& problem) {
    const int copy = ::dup(fd);
    hFILE* h = copy >= 0 ? hdopen(copy, mode[0] == 'w' ? "w" : "r") : nullptr;
    if (!h) {
        problem = std::string("cannot open: ") + std::strerror(errno);
        if (copy >= 0)
            ::close(copy);
        return nullptr;
    }
    htsFile* f = hts_hopen(h, name.c_str(), mode);
    if (!f) {
        hclose_abruptly(h); // a failed hts_hopen leaves the stream to its caller
        problem = mode[0] == 'w' ? "cannot start the BAM output"
                                 : "not SAM, BAM or CRAM data htslib can read";
    }
    return hts_file_ptr(f);
}

} // namespace

std::string file_pump::read_hts_header(const std::string& path) {
    hts_set_log_level(HTS_LOG_OFF);
    const std::string name = path == "-" ? "stdin" : path;
    const hts_file_ptr in(hts_open(path.c_str(), "r"));
    if (!in)
        throw std::runtime_error(name + ": " + (errno ? std::strerror(errno)
                                                      : "not SAM, BAM or CRAM data"));
    if (!hts.reference.empty() && hts_get_format(in.get())->format == cram &&
        hts_set_fai_filename(in.get(), hts.reference.c_str()) != 0)
        throw std::runtime_error(name + ": cannot use the reference " + hts.reference);
    const header_ptr header(sam_hdr_read(in.get()));
    if (!header)
        throw std::runtime_error(name + ": cannot read its header");
    return std::string(sam_hdr_str(header.get()), sam_hdr_length(header.get()));
}

std::string file_pump::inflate_bgzf() {
    const int copy = ::dup(file_);
    BGZF* const bgzf = copy >= 0 ? bgzf_dopen(copy, "r") : nullptr;
    if (!bgzf) {
        if (copy >= 0)
            ::close(copy);
        return std::string("cannot open: ") + std::strerror(errno);
    }
    const std::unique_ptr<BGZF, int (*)(BGZF*)> closer(bgzf, &bgzf_close);
    if (bgzf_mt(bgzf, hts.threads, 64) != 0)
        return "cannot start htslib's threads";
    const std::unique_ptr<std::uint8_t[]> out(ring_ ? nullptr : new std::uint8_t[output_size]);
    for (;;) {
        const auto [target, size] = output_room(out.get());
        const ssize_t got = bgzf_read(bgzf, target, size);
        if (got < 0 || bgzf->errcode)
            return "corrupt gzip data: the BGZF member at byte " +
                   std::to_string(bgzf_tell(bgzf) >> 16) + " cannot be inflated";
        if (got == 0)
            return "";
        output(target, std::size_t(got));
    }
}

std::string file_pump::read_hts() {
    std::string problem;
    const hts_file_ptr in = open_hts(file_, name_, "r", problem);
    if (!in)
        return problem;
    const htsExactFormat format = hts_get_format(in.get())->format;
    if (format != sam && format != bam && format != cram)
        return "not SAM, BAM or CRAM data";
    // A BAM file whose last BGZF block is not the end-of-file marker was cut short, even when
    // it was cut between records (checked only where the file can be sought).
    if (format == bam && bgzf_check_EOF(in->fp.bgzf) == 0)
        return "truncated BAM file: no end-of-file marker";
    if (hts.threads > 1 && hts_set_threads(in.get(), hts.threads) != 0)
        return "cannot start htslib's threads";
    if (format == cram && !hts.reference.empty() &&
        hts_set_fai_filename(in.get(), hts.reference.c_str()) != 0)
        return "cannot use the reference " + hts.reference;
    const header_ptr header(sam_hdr_read(in.get()));
    if (!header)
        return format == sam ? "cannot read the SAM header" : "damaged header: not a valid BAM or CRAM header";

    // Lines go into the ring's room and are committed in batches, whole lines only, so the
    // reader never sees half a record.
    char* room = nullptr;
    std::uint64_t space = 0, pending = 0;
    const auto put = [&](const char* data, std::size_t size) {
        if (size == 0)
            return true; // no room needed, and none may have been handed out yet
        while (space - pending < size) {
            if (pending > 0) {
                ring_->commit(pending);
                pending = 0;
            }
            if (size > ring_->size())
                return false;
            std::tie(room, space) = ring_->wait_for_room(std::max<std::uint64_t>(size, 1 << 20));
            if (space == 0)
                throw std::runtime_error(""); // the loop has gone: not a problem of the file
        }
        std::memcpy(room + pending, data, size);
        pending += size;
        if (pending >= (1 << 18)) { // hand on what is there while the next batch is decoded
            ring_->commit(pending);
            room += pending;
            space -= pending;
            pending = 0;
        }
        return true;
    };
    try {
        if (!put(sam_hdr_str(header.get()), sam_hdr_length(header.get())))
            return "the header is longer than the 4 MiB input buffer";
        const record_ptr record(bam_init1());
        kstring_t line = KS_INITIALIZE;
        std::uint64_t records = 0;
        int got;
        while ((got = sam_read1(in.get(), header.get(), record.get())) >= 0) {
            ++records;
            if (sam_format1(header.get(), record.get(), &line) < 0 || kputc('\n', &line) < 0) {
                ks_free(&line);
                return "record " + std::to_string(records) + ": cannot be written as SAM text";
            }
            if (!put(line.s, line.l)) {
                ks_free(&line);
                return "record " + std::to_string(records) +
                       " is longer than the 4 MiB input buffer";
            }
        }
        ks_free(&line);
        if (got < -1)
            return (format == sam ? "malformed SAM data after record "
                                  : "truncated or corrupt data after record ") +
                   std::to_string(records);
        if (pending > 0)
            ring_->commit(pending);
    } catch (const std::runtime_error& e) {
        if (e.what()[0] != '\0')
            throw;
    }
    return "";
}

namespace {

// htslib's writing threads may fail a write without leaving its errno here.
std::string write_error() {
    return std::string("write error: ") +
           (errno ? std::strerror(errno) : "the output no longer takes data");
}

} // namespace

std::string file_pump::write_bam() {
    std::string mode = "wb";
    if (hts.level >= 0)
        mode += char('0' + hts.level);
    std::string problem;
    hts_file_ptr out = open_hts(file_, name_, mode.c_str(), problem);
    if (!out)
        return problem;
    if (hts.threads > 1 && hts_set_threads(out.get(), hts.threads) != 0)
        return "cannot start htslib's threads";
    header_ptr header;
    std::string header_text;
    const record_ptr record(bam_init1());
    std::uint64_t lines = 0;
    // The header is every line before the first alignment, as the input side sends it first.
    const auto write_header = [&]() -> std::string {
        header.reset(header_text.empty() ? sam_hdr_init()
                                         : sam_hdr_parse(header_text.size(), header_text.c_str()));
        if (!header)
            return "cannot parse the SAM header it received";
        if (sam_hdr_write(out.get(), header.get()) < 0)
            return write_error();
        return "";
    };
    // One line, its line feed replaced by a zero byte.
    const auto take = [&](char* line, std::size_t size) -> std::string {
        ++lines;
        if (!header) {
            if (size > 0 && line[0] == '@') {
                header_text.append(line, size).push_back('\n');
                return "";
            }
            if (std::string why = write_header(); !why.empty())
                return why;
        }
        if (size == 0)
            return "";
        kstring_t text = {size, size + 1, line};
        if (sam_parse1(&text, header.get(), record.get()) < 0)
            return "line " + std::to_string(lines) + " received is not a SAM record for BAM";
        if (sam_write1(out.get(), header.get(), record.get()) < 0)
            return write_error();
        return "";
    };
    std::vector<char> buffer(std::size_t(1) << 22);
    std::size_t have = 0;
    for (;;) {
        if (have == buffer.size())
            buffer.resize(buffer.size() * 2); // a line longer than any so far
        const ssize_t got = ::read(thread_end_, buffer.data() + have, buffer.size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::string("read error: ") + std::strerror(errno);
        if (got == 0)
            break;
        char* from = buffer.data();
        char* const end = buffer.data() + have + std::size_t(got);
        while (char* lf = static_cast<char*>(std::memchr(from, '\n', std::size_t(end - from)))) {
            *lf = '\0';
            if (std::string why = take(from, std::size_t(lf - from)); !why.empty())
                return why;
            from = lf + 1;
        }
        have = std::size_t(end - from);
        std::memmove(buffer.data(), from, have);
    }
    if (have > 0) { // a last line without its line feed
        if (have == buffer.size())
            buffer.push_back('\0');
        buffer[have] = '\0';
        if (std::string why = take(buffer.data(), have); !why.empty())
            return why;
    }
    if (!header)
        if (std::string why = write_header(); !why.empty())
            return why;
    if (hts_close(out.release()) != 0)
        return std::string("write error: ") + std::strerror(errno ? errno : EIO);
    return "";
}

} // namespace shuffler
