#include "formats/sam.hpp"

#include "core/offload.hpp"
#include "core/report.hpp"
#include "formats/input_source.hpp"
#include "wire/message_header.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace shuffler {

namespace asio = boost::asio;

namespace {

constexpr std::uint64_t largest_position = 2147483647; // SAM's POS is a signed 32-bit number

// BAM (BGZF blocks, or raw "BAM\1") or CRAM, which htslib decodes, where SAM text was expected.
bool looks_like_bam_or_cram(const record_reader& reader) {
    const auto* p = reinterpret_cast<const unsigned char*>(reader.cursor);
    const std::uint64_t n = reader.available;
    const bool bam = n >= 4 && std::memcmp(p, "BAM\1", 4) == 0;
    const bool cram = n >= 4 && std::memcmp(p, "CRAM", 4) == 0;
    const bool bgzf = n >= 14 && p[0] == 0x1f && p[1] == 0x8b && (p[3] & 4) != 0 &&
                      p[12] == 'B' && p[13] == 'C';
    return bam || cram || bgzf;
}

// SAM is text: gzip'd text is named for what it is before its bytes are taken for malformed
// lines.
void refuse_binary_input(const record_reader& reader) {
    const auto* p = reinterpret_cast<const unsigned char*>(reader.cursor);
    const std::uint64_t n = reader.available;
    const bool gzip = n >= 2 && p[0] == 0x1f && p[1] == 0x8b;
    if (gzip)
        reader.fail("input is gzip-compressed; name it *.sam.gz or pipe it through `gzip -dc`");
}

// The list index read_sam gives a run of header lines: they go to the sessions' preamble.
constexpr std::uint32_t every_shard = 0xFFFFFFFFu;

// Closes the shard's message, queues it and opens the shard's next one, once the queues leave
// room for it.
void start_next_message(block_chain& list, group_table& groups, std::uint32_t shard,
                        const asio::yield_context& yield) {
    close_message(list);
    push_message(groups[shard], list);
    groups.wait_for_room(producer_lead_blocks, producer_patience, yield);
    open_message(list, std::uint16_t(shard), yield);
}

// Payload bytes all shards may hold in their open messages. A shard's message is sent when its
// block is full; with many shards, most blocks would fill only near the end of the input, so
// the shards would hold the input itself and their workers would wait for it. Past this much,
// the fullest open message is sent as it is. Few shards (up to 8 blocks' worth) never reach it.
constexpr std::uint64_t held_payload_limit = std::uint64_t(32) << 20;

// The payload of the open message `list` holds.
std::uint64_t payload_of(const block_chain& list) { return list.size() - header_size; }

// The reference bases an alignment line covers, at least 1, from its CIGAR: `pos` starts its
// POS field and `lf` ends it.
std::uint64_t alignment_span(const record_reader& reader, const char* pos, const char* lf) {
    const char* cigar = pos;
    for (int tab = 0; tab < 2 && cigar; ++tab) {
        cigar = static_cast<const char*>(std::memchr(cigar, '\t', std::size_t(lf - cigar)));
        if (cigar)
            ++cigar;
    }
    if (!cigar)
        reader.fail("line " + std::to_string(reader.records) +
                    " has no CIGAR field, which padding needs");
    const char* cigar_end =
        static_cast<const char*>(std::memchr(cigar, '\t', std::size_t(lf - cigar)));
    const std::string_view text(cigar, std::size_t((cigar_end ? cigar_end : lf) - cigar));
    std::uint64_t length = 0;
    if (!cigar_reference_length(text, length))
        reader.fail("line " + std::to_string(reader.records) + ": malformed CIGAR '" +
                    std::string(text) + "'");
    return std::max<std::uint64_t>(length, 1); // an unmapped mate placed at its position
}

} // namespace

bool cigar_reference_length(std::string_view cigar, std::uint64_t& length) {
    length = 0;
    if (cigar == "*")
        return true;
    std::uint64_t count = 0;
    bool digits = false;
    for (const char c : cigar) {
        if (c >= '0' && c <= '9') {
            count = count * 10 + std::uint64_t(c - '0');
            digits = true;
            if (count > 0xFFFFFFFF)
                return false;
            continue;
        }
        if (!digits)
            return false;
        if (c == 'M' || c == 'D' || c == 'N' || c == '=' || c == 'X')
            length += count;
        else if (c != 'I' && c != 'S' && c != 'H' && c != 'P')
            return false;
        count = 0;
        digits = false;
    }
    return !cigar.empty() && !digits;
}

namespace {

// The POS field starting at `field` in a line ending at `lf`: a decimal number from 0 to 2^31-1,
// running to the next tab or to the line's end (less a carriage return there). Anything else
// fails naming the line, rather than routing by a wrapped or cut-short number.
std::uint32_t parse_position(const record_reader& reader, const char* field, const char* lf) {
    const char* pos_end =
        static_cast<const char*>(std::memchr(field, '\t', std::size_t(lf - field)));
    if (!pos_end) {
        pos_end = lf;
        if (pos_end > field && pos_end[-1] == '\r')
            --pos_end;
    }
    std::uint64_t position = 0;
    for (const char* d = field; d < pos_end && position <= largest_position; ++d) {
        if (*d < '0' || *d > '9') {
            position = largest_position + 1;
            break;
        }
        position = position * 10 + std::uint64_t(*d - '0');
    }
    if (pos_end == field || position > largest_position)
        reader.fail("line " + std::to_string(reader.records) +
                    ": POS is not a decimal number from 0 to 2147483647");
    return std::uint32_t(position);
}

// The part of read_sam that needs no loop: finding the lines, their fields and shards, and
// copying them into the shards' open messages (and the header lines into header_text). It runs on
// the parser thread while the loop sends, through every whole line the reader has and whatever
// its file's thread adds meanwhile, and stops at the first thing only the loop can do: send a
// shard's message (when its next line does not fit, or the shards hold too much), wait for more
// input, or publish the header. Each full message goes at once, as the workers wait for it. The
// loop touches none of this while it runs.
class sam_routing {
public:
    enum class stop { input_used, header_ended, send };

    sam_routing(record_reader& reader, const shard_plan& plan, std::vector<block_chain>& lists)
        : header(reader.name, "the header of " + reader.name), reader_(reader), plan_(plan),
          lists_(lists) {}

    // Out: why routing stopped, and for `send`, which shard's message must go and the room its
    // next line needs (more than a block for a line longer than one); input bytes taken.
    stop why = stop::input_used;
    std::uint32_t shard = 0;
    std::uint64_t need = 0;
    std::uint64_t taken = 0;

    sequence_dictionary header;
    std::optional<shard_router> router; // built once the header has ended
    std::string header_text;            // header lines taken and not yet published
    std::uint64_t header_lines = 0;
    std::uint64_t held = 0; // payload bytes in the shards' open messages

    void operator()() {
        taken = 0;
        route();
    }

private:
    void route();

    record_reader& reader_;
    const shard_plan& plan_;
    std::vector<block_chain>& lists_;
    std::vector<std::uint32_t> copies_;
};

void sam_routing::route() {
    char*& cursor = reader_.cursor;
    std::uint64_t& available = reader_.available;
    const char* p = cursor;
    // Lines [run, run_end) are bound for lists_[run_shard] (header lines for every list) and go
    // there with one copy when a line for elsewhere comes.
    const char* run = p;
    const char* run_end = p;
    std::uint32_t run_shard = every_shard;
    std::uint64_t run_lines = 0; // counted on each message's first block, for reports
    const auto flush = [&] {
        if (run_end == run)
            return;
        if (run_shard == every_shard) {
            header_text.append(run, run_end);
            header_lines += run_lines;
        } else {
            held += lists_[run_shard].append_to_room(run, run_end);
            lists_[run_shard].blocks().front().records += run_lines;
        }
        run = run_end;
        run_lines = 0;
    };
    // The input before p is taken.
    const auto take = [&] {
        flush();
        const std::uint64_t n = std::uint64_t(p - cursor);
        taken += n;
        available -= n;
        cursor = const_cast<char*>(p);
    };
    // Stops before the line at p, which is read again when routing resumes.
    const auto stop_before_line = [&](stop reason, std::uint32_t k, std::uint64_t bytes) {
        --reader_.records;
        why = reason;
        shard = k;
        need = bytes;
        take();
    };
    for (;;) {
        const char* const end = cursor + available;
        while (const char* lf = find_line_feed(p, end)) {
            const char* next = lf + 1;
            const std::uint64_t length = std::uint64_t(next - p);
            ++reader_.records;
            std::uint32_t home = every_shard;
            std::uint32_t position = 0;
            const char* field = nullptr; // in an alignment line: the start of its POS
            if (*p == '@') {
                // The header went out before the first alignment; a late header line could
                // reach no worker.
                if (router)
                    reader_.fail("line " + std::to_string(reader_.records) +
                                 ": header line after the first alignment line");
                if (lf - p >= 4 && std::memcmp(p, "@SQ\t", 4) == 0) {
                    std::string problem;
                    const std::string_view line(p, std::size_t(lf - p));
                    if (!add_sq_line(line.substr(0, line.find_last_not_of('\r') + 1),
                                     std::uint32_t(reader_.records), header, problem))
                        reader_.fail("line " + std::to_string(reader_.records) + ": " +
                                     problem);
                }
            } else if (p == lf) { // blank lines carry nothing
                p = next;
                continue;
            } else {
                if (!router) { // the whole header is known before anything can fail
                    flush();
                    router.emplace(plan_routes(plan_, header));
                    return stop_before_line(stop::header_ended, 0, 0);
                }
                field = p;
                for (int tab = 0; tab < 3; ++tab) {
                    field = static_cast<const char*>(
                        std::memchr(field, '\t', std::size_t(lf - field)));
                    if (!field)
                        reader_.fail("line " + std::to_string(reader_.records) +
                                     " has fewer than four fields");
                    ++field;
                }
                // field now starts POS; the reference name ends at the tab before it.
                const char* name_end = field - 1;
                const char* name = name_end;
                while (name[-1] != '\t')
                    --name;
                position = parse_position(reader_, field, lf);
                home =
                    router->home(std::string_view(name, std::size_t(name_end - name)), position);
            }
            if (home != run_shard || run_end != p) {
                flush();
                run = run_end = p;
                run_shard = home;
            }
            // What waits in the run still fits; this line starts the shard's next message.
            if (home != every_shard && lists_[home].room() < std::uint64_t(next - run))
                return stop_before_line(stop::send, home, length);
            copies_.clear();
            if (router && router->pad() > 0 && position > 0)
                router->copies(position, position + alignment_span(reader_, field, lf) - 1,
                               home, copies_);
            for (const std::uint32_t other : copies_)
                if (lists_[other].room() < length)
                    return stop_before_line(stop::send, other, length);
            run_end = next;
            ++run_lines;
            for (const std::uint32_t other : copies_) {
                held += lists_[other].append_to_room(p, next);
                ++lists_[other].blocks().front().records;
            }
            p = next;
            // Past this much, the fullest open message goes as it is (see held_payload_limit).
            if (held > held_payload_limit) {
                flush();
                std::uint32_t fullest = 0;
                for (std::uint32_t k = 1; k < lists_.size(); ++k)
                    if (lists_[k].size() > lists_[fullest].size())
                        fullest = k;
                why = stop::send;
                shard = fullest;
                need = 0;
                return take();
            }
        }
        take();
        if (!reader_.take_more()) {
            why = stop::input_used;
            return;
        }
        p = run = run_end = cursor;
    }
}

} // namespace

void read_sam(record_reader& reader, const shard_plan& plan, std::vector<block_chain>& lists,
              group_table& groups, input_counters& counters, const asio::yield_context& yield) {
    asio::io_context& io = context_of(yield.get_executor());
    sam_routing routing(reader, plan, lists);
    bool at_end = false;
    session_preamble& preamble = groups.preamble();
    // Sends the shard's open message and opens its next one.
    const auto send = [&](std::uint32_t shard) {
        routing.held -= std::min(routing.held, payload_of(lists[shard]));
        start_next_message(lists[shard], groups, shard, yield);
    };
    // The header ends at the first alignment line, or with the input: it is checked then,
    // before any alignment is routed, and the sessions waiting for it send it.
    const auto end_header = [&] {
        if (!preamble.known) {
            if (!routing.router)
                routing.router.emplace(plan_routes(plan, routing.header));
            preamble.known = true;
            preamble.waiters.wake_all();
        }
    };
    try {
        if (reader.available == 0) reader.fill(yield);
        for (;;) {
            const std::exception_ptr error = parse_input(io, reader.available, routing, yield);
            counters.bytes += routing.taken;
            counters.records = reader.records;
            // Nobody reads the header before it is known: it may grow in steps.
            preamble.text += routing.header_text;
            preamble.lines += routing.header_lines;
            routing.header_text.clear();
            routing.header_lines = 0;
            if (error)
                std::rethrow_exception(error);
            if (routing.why == sam_routing::stop::header_ended) {
                end_header();
                continue;
            }
            if (routing.why == sam_routing::stop::send) {
                block_chain& list = lists[routing.shard];
                if (payload_of(list) > 0)
                    send(routing.shard);
                if (const std::uint64_t room = list.room(); room < routing.need)
                    list.acquire(routing.need - room, yield); // a line longer than a block
                continue;
            }
            if (at_end) throw boost::system::system_error(asio::error::eof);
            if (reader.available == record_reader::buffer_size)
                reader.fail("line " + std::to_string(reader.records + 1) +
                            " is longer than the 4 MiB input buffer");
            at_end = reader.refill(yield);
        }
    } catch (const boost::system::system_error& e) {
        if (is_end_of_stream(e.code()))
            end_header(); // a header without alignments is checked all the same
        throw;
    }
}

void shard_sam(const std::vector<std::string>& input_files, const shard_plan& plan,
               bool decode, group_table& groups, input_counters& counters, asio::io_context& io,
               const asio::yield_context& yield) {
    const std::string name = input_files.empty() ? "" : input_files.front();
    std::vector<block_chain> lists;
    lists.reserve(std::size_t(plan.max_shard) + 1);
    for (std::uint32_t k = 0; k <= plan.max_shard; ++k)
        lists.emplace_back(groups.pool());
    record_reader stream;
    std::unique_ptr<record_reader> decoded; // the same input, found to be BAM or CRAM
    std::exception_ptr error;
    // Every session of shards 0 to max_shard waits for the header, which read_sam collects.
    session_preamble& preamble = groups.preamble();
    preamble.expected = true;
    preamble.groups = plan.max_shard + 1;
    try {
        for (std::uint32_t k = 0; k <= plan.max_shard; ++k)
            open_message(lists[k], std::uint16_t(k), yield);
        open_input(stream, name, io, decode);
        try {
            stream.fill(yield); // the first bytes tell text from compressed or binary data
            record_reader* reader = &stream;
            if (!decode && looks_like_bam_or_cram(stream)) {
                decoded = std::make_unique<record_reader>();
                reopen_decoded(stream, *decoded, name, io);
                reader = decoded.get();
                reader->fill(yield);
            } else if (!decode) {
                refuse_binary_input(stream);
            }
            read_sam(*reader, plan, lists, groups, counters, yield);
        } catch (const boost::system::system_error& e) {
            if (!is_end_of_stream(e.code())) throw;
        }
        for (std::uint32_t k = 0; k <= plan.max_shard; ++k) {
            close_message(lists[k]);
            push_message(groups[k], lists[k]);
        }
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    // Whatever ended the input, nobody waits for more of the header.
    preamble.known = true;
    preamble.waiters.wake_all();
    // Even the clean end needs the command's word: end of file alone proves nothing.
    report_pipe_error(io, name.empty() || name == "-" ? "stdin" : name, error,
                      {stream.pipe.get(), decoded ? decoded->pipe.get() : nullptr}, false, yield);
}

} // namespace shuffler
