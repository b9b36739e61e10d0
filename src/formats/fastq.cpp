#include "formats/fastq.hpp"

#include "core/decimal.hpp"
#include "core/offload.hpp"
#include "core/report.hpp"
#include "formats/input_source.hpp"
#include "wire/message_header.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <stdexcept>

namespace shuffler {

namespace asio = boost::asio;

bool is_fastq_key(const std::string& key) {
    return key == "blksize" || key == "tag" || key == "check_pairs";
}

fastq_plan parse_fastq_options(const option_map& options) {
    fastq_plan plan;
    for (const auto& [key, value] : options) {
        if (key == "blksize") {
            std::int64_t bases = 0;
            switch (parse_decimal(value, 1, INT32_MAX, bases)) {
            case decimal_status::ok:
                plan.blksize = std::int32_t(bases);
                break;
            case decimal_status::not_a_number:
                throw std::invalid_argument("Bad blksize '" + value +
                                            "': not a whole decimal number of bases");
            case decimal_status::out_of_range:
                throw std::invalid_argument("Bad blksize " + value + ": not within 1 to " +
                                            std::to_string(INT32_MAX));
            }
        } else if (key == "tag") {
            if (value == "name")
                plan.tags = block_tags::name;
            else if (value == "none")
                plan.tags = block_tags::none;
            else if (value == "every")
                plan.tags = block_tags::every;
            else
                throw std::invalid_argument("Bad tag '" + value + "': expected name, none or every");
        } else if (key == "check_pairs") {
            if (value != "yes" && value != "no")
                throw std::invalid_argument("Bad check_pairs '" + value + "': expected yes or no");
            plan.check_pairs = value == "yes";
        }
    }
    return plan;
}

namespace {

// True when the stream has no record left.
bool at_end_of_input(record_reader& stream, const boost::asio::yield_context& yield) {
    if (stream.available > 0) return false;
    try {
        stream.fill(yield);
    } catch (const boost::system::system_error& e) {
        if (is_end_of_stream(e.code())) return true;
        throw;
    }
    return stream.available == 0;
}

// Paired files must hold the same number of records; `ended` is the stream that ran out first.
void check_paired_end(std::deque<record_reader>& streams, std::size_t ended,
                      const boost::asio::yield_context& yield) {
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (i == ended) continue;
        if (i < ended || !at_end_of_input(streams[i], yield))
            throw record_error(streams[ended].name + ": ended after " +
                               std::to_string(streams[ended].records) + " records, but " +
                               streams[i].name +
                               " has more (paired files hold the same number of records)");
    }
}

// Queues a block of `records` records, `tag_bytes` of which were added by the dicer.
void push_block(group_table& groups, block_chain& message, std::uint64_t records,
                std::uint64_t tag_bytes, input_counters& counters) {
    message.blocks().front().records = records;
    counters.records += records;
    counters.bytes += message.size() - header_size - tag_bytes;
    close_message(message);
    push_message(groups[0], message);
}

// The record named at `name` (after the '@') on a line ending at `lf`, as far as pairing goes:
// its first word without a trailing "/1" or "/2", which mates share, and the mate number it
// gives there or in a comment in the form "1:N:0:..." after the first blank.
void read_name(fastq_record& r, const char* name, const char* lf) {
    const char* end = name;
    while (end < lf && *end != ' ' && *end != '\t' && *end != '\r')
        ++end;
    r.name = name;
    r.mate = 0;
    if (end - name >= 2 && end[-2] == '/' && (end[-1] == '1' || end[-1] == '2')) {
        r.mate = end[-1];
        end -= 2;
    } else if (lf - end >= 5 && *end == ' ' && (end[1] == '1' || end[1] == '2') && end[2] == ':' &&
               (end[3] == 'N' || end[3] == 'Y') && end[4] == ':') {
        r.mate = end[1];
    }
    r.name_length = std::size_t(end - name);
}

// Mates of paired files share their name's first word; `a` was read from streams[0], `b` from
// streams[1]. Compared before the block is queued, so nothing of a mispaired block is sent.
void check_mates(const std::deque<record_reader>& streams, const fastq_record& a,
                 const fastq_record& b) {
    const bool same_name =
        a.name_length == b.name_length && std::memcmp(a.name, b.name, a.name_length) == 0;
    if (same_name && a.mate != 0 && a.mate == b.mate)
        throw record_error(streams[0].name + " and " + streams[1].name + ": record " +
                           std::to_string(streams[1].records) + ", " +
                           std::string(a.name, a.name_length) + ", is mate " + a.mate +
                           " in both files (the same reads given twice?)");
    if (same_name)
        return;
    throw record_error(streams[0].name + " and " + streams[1].name + ": record " +
                       std::to_string(streams[1].records) + " is named " +
                       std::string(a.name, a.name_length) + " in the first file and " +
                       std::string(b.name, b.name_length) +
                       " in the second (mates share a name; -O check_pairs=no for data "
                       "whose mates are named differently)");
}

} // namespace

tag_text block_tag(std::uint64_t n) {
    tag_text tag;
    tag.text[0] = ' ';
    tag.text[1] = '#';
    char* end = std::to_chars(tag.text + 2, tag.text + sizeof tag.text - 2, n).ptr;
    end[0] = '#';
    end[1] = '\0';
    tag.size = std::size_t(end + 1 - tag.text);
    return tag;
}

namespace {

// What take_fastq needs before it can take the next record.
enum class fastq_need {
    nothing, // it took one
    input,   // no whole record is at hand
    room,    // the list has less room than the record
};

// Appends the next record at hand in `reader` to `list` as read_fastq does, without waiting:
// with what a file's thread has added, but no more. Returns what it needs first when it cannot
// (the room in `room`); throws a record_error for a malformed record.
fastq_need take_fastq(record_reader& reader, block_chain& list, const char* suffix,
                      fastq_record& record, std::uint64_t& room) {
    char*& cursor = reader.cursor;
    std::uint64_t& available = reader.available;
    if (available == 0 && !reader.take_more())
        return fastq_need::input;
    // Where a line that ends at `lf` and starts after `start` ends without its carriage returns.
    const auto without_cr = [](const char* start, const char* lf) {
        while (lf > start && lf[-1] == '\r')
            --lf;
        return lf;
    };
    // Builds the error text only when it is needed: the data path allocates nothing.
    const auto fail_record = [&reader](const std::string& problem) {
        reader.fail("record " + std::to_string(reader.records + 1) + problem);
    };
    for (;;) {
        const char* p = cursor;
        const char* end = cursor + available;
        if (*p == '\n') fail_record(": blank line where a record should start");
        if (*p != '@') fail_record(": line 1 does not begin with '@'");
        const char* lf1 = find_line_feed(p, end);
        const char* lf2 = lf1 ? find_line_feed(lf1 + 1, end) : nullptr;
        if (lf2 && lf2 + 1 < end && lf2[1] != '+') fail_record(": line 3 does not begin with '+'");
        const char* lf3 = nullptr;
        if (lf2 && lf2 + 2 < end && lf2[2] == '\n')
            lf3 = lf2 + 2; // line 3 is nearly always a bare '+': no search for its end
        else if (lf2 && lf2 + 1 < end)
            lf3 = find_line_feed(lf2 + 1, end);
        const char* lf4 = lf3 ? find_line_feed(lf3 + 1, end) : nullptr;
        if (!lf4) {
            if (!reader.take_more())
                return fastq_need::input;
            continue;
        }
        const char* seq_end = without_cr(lf1 + 1, lf2);
        const char* quality_end = without_cr(lf3 + 1, lf4);
        const std::size_t bases = std::size_t(seq_end - (lf1 + 1));
        const std::size_t qualities = std::size_t(quality_end - (lf3 + 1));
        if (bases != qualities)
            fail_record(": " + std::to_string(bases) + " bases but " +
                        std::to_string(qualities) + " quality values");
        const std::uint64_t length = std::uint64_t(lf4 + 1 - p);
        const std::size_t suffix_size = suffix ? std::strlen(suffix) : 0;
        if (list.room() < length + suffix_size) {
            room = length + suffix_size;
            return fastq_need::room;
        }
        if (suffix) {
            // The tag ends the name itself, before any carriage return.
            const char* name_end = without_cr(p + 1, lf1);
            list.append_to_room(p, name_end);
            list.append_to_room(suffix, suffix + suffix_size);
            list.append_to_room(name_end, lf4 + 1);
        } else {
            list.append_to_room(p, lf4 + 1);
        }
        cursor += length;
        available -= length;
        ++reader.records;
        record.bases = bases;
        read_name(record, p + 1, lf1);
        return fastq_need::nothing;
    }
}

// Waits for more of `reader`'s input when take_fastq found no whole record at hand. Throws
// end-of-file when the input ended at a record's start, and a record_error for a record cut
// short by the end of input or longer than the buffer.
void more_fastq_input(record_reader& reader, const asio::yield_context& yield) {
    if (reader.available == record_reader::buffer_size)
        reader.fail("record " + std::to_string(reader.records + 1) +
                    " is longer than the 4 MiB input buffer");
    reader.refill(yield);
}

// What dice_fastq does to fill one block, which needs no loop: taking records from each stream
// in turn into `message`, tagged as the plan says, and checking mates. It runs on the parser
// thread while the loop sends (the loop touches none of this meanwhile), and stops when the block
// is complete or at the first thing only the loop can do: wait for one stream's input, or give
// the message more room.
class fastq_dicing {
public:
    fastq_dicing(std::deque<record_reader>& streams, block_chain& message, const fastq_plan& plan,
                 std::uint64_t block_cap)
        : streams_(streams), message_(message), plan_(plan), block_cap_(block_cap),
          check_mates_(plan.check_pairs && streams.size() == 2),
          threshold_(std::uint64_t(std::int64_t(plan.blksize))) {}

    // The next block, from the record after the last block's.
    void start_block() {
        first_record = record_number;
        bases_ = tag_bytes = 0;
        first_pass_ = true;
        in_pass_ = false;
        file = 0;
    }

    // Out: what the block needs (nothing once it is complete) and, for input, from which stream.
    fastq_need need = fastq_need::nothing;
    std::size_t file = 0;
    std::uint64_t room = 0;

    // 64 bits: a deep run passes 2^31 records.
    std::uint64_t record_number = 0;
    std::uint64_t first_record = 0;
    std::uint64_t tag_bytes = 0; // added by the dicer

    // Fills the block until it is complete or needs the loop.
    void operator()();

private:
    std::deque<record_reader>& streams_;
    block_chain& message_;
    const fastq_plan& plan_;
    const std::uint64_t block_cap_;
    const bool check_mates_;
    const std::uint64_t threshold_;
    std::uint64_t bases_ = 0;
    bool first_pass_ = true;
    bool in_pass_ = false; // a pass has begun in this block: its records belong to it
    bool tagged_ = false;
    tag_text tag_{};
    fastq_record mate_{};
};

void fastq_dicing::operator()() {
    for (;;) {
        if (file == 0 && !in_pass_) {
            // A block ends only after a whole pass and at an even record number, so mates
            // (paired files, or interleaved pairs in one file) stay together. It holds at least
            // one pass: a pool so small that one block reaches the cap would otherwise push
            // empty blocks for ever, never yielding to the loop.
            const bool room_left =
                bases_ < threshold_ && message_.block_count() * block::block_size < block_cap_;
            if (!first_pass_ && !room_left && (record_number & 1) == 0) {
                need = fastq_need::nothing;
                return;
            }
            tagged_ = plan_.tags == block_tags::every ||
                      (plan_.tags == block_tags::name && first_pass_);
            tag_ = !tagged_ ? tag_text{}
                            : block_tag(plan_.tags == block_tags::every ? record_number & ~1ull
                                                                        : first_record);
            in_pass_ = true; // decided once: blocks taken for this pass's records leave it be
        }
        for (; file < streams_.size(); ++file) {
            fastq_record r;
            need = take_fastq(streams_[file], message_, tagged_ ? tag_.text : nullptr, r, room);
            if (need != fastq_need::nothing)
                return;
            if (check_mates_ && file == 1)
                check_mates(streams_, mate_, r);
            mate_ = r;
            bases_ += r.bases;
            tag_bytes += tagged_ ? tag_.size : 0;
        }
        file = 0;
        record_number += streams_.size();
        first_pass_ = false;
        in_pass_ = false;
    }
}

} // namespace

fastq_record read_fastq(record_reader& reader, block_chain& list, const char* suffix,
                        const asio::yield_context& yield) {
    fastq_record record;
    std::uint64_t room = 0;
    for (;;) {
        switch (take_fastq(reader, list, suffix, record, room)) {
        case fastq_need::nothing:
            return record;
        case fastq_need::room:
            list.acquire(room - list.room(), yield);
            break;
        case fastq_need::input:
            more_fastq_input(reader, yield);
            break;
        }
    }
}

void dice_fastq(const std::vector<std::string>& input_files, const fastq_plan& plan,
                group_table& groups, input_counters& counters, asio::io_context& io,
                const asio::yield_context& yield) {
    std::deque<record_reader> streams; // a deque: streams never move once opened
    std::exception_ptr error;
    try {
        if (groups.size() == 0) throw std::runtime_error("Group id exceeds maximum");
        if (input_files.empty()) open_input(streams.emplace_back(), "", io);
        for (const std::string& name : input_files)
            open_input(streams.emplace_back(), name, io);
        // A block must stay well inside the pool (or it waits for ever for blocks that only its
        // own sending could free) and inside the header's 32-bit length, whatever blksize says.
        const std::uint64_t block_cap =
            std::min<std::uint64_t>(groups.pool().total_capacity() / 2, std::uint64_t(1) << 31);
        block_chain message(groups.pool());
        fastq_dicing dicing(streams, message, plan, block_cap);
        const auto at_hand = [&streams] {
            std::uint64_t n = 0;
            for (const record_reader& s : streams)
                n += s.available;
            return n;
        };
        for (;;) {
            groups.wait_for_room(producer_lead_blocks, producer_patience, yield);
            open_message(message, 0, yield);
            dicing.start_block();
            try {
                for (;;) {
                    if (const std::exception_ptr e = parse_input(io, at_hand(), dicing, yield))
                        std::rethrow_exception(e);
                    if (dicing.need == fastq_need::nothing)
                        break;
                    if (dicing.need == fastq_need::room)
                        message.acquire(dicing.room - message.room(), yield);
                    else
                        more_fastq_input(streams[dicing.file], yield);
                }
            } catch (const boost::system::system_error& e) {
                if (!is_end_of_stream(e.code())) throw;
                push_block(groups, message, dicing.record_number - dicing.first_record,
                           dicing.tag_bytes, counters);
                check_paired_end(streams, dicing.file, yield);
                break;
            }
            push_block(groups, message, dicing.record_number - dicing.first_record,
                       dicing.tag_bytes, counters);
        }
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    // Even the clean end needs each command's word: end of file alone proves nothing.
    std::vector<endpoint*> pipes;
    for (record_reader& s : streams)
        pipes.push_back(s.pipe.get());
    report_pipe_error(io, input_files.empty() ? "stdin" : input_files.front(), error, pipes, false,
                      yield);
}

} // namespace shuffler
