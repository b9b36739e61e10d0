#include "formats/fastq.hpp"
#include "core/coroutine.hpp"

#include "buffers/pool_fixture.hpp"
#include "core/report.hpp"
#include "groups/group_table.hpp"
#include "wire/message_header.hpp"
#include "support/process.hpp"

#include <algorithm>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

// The dicer on its own: the payloads it queued for group 0 (headers checked) and what it
// reported, when the end of its input or an error stops it.
struct dicing {
    std::vector<std::string> payloads;
    std::vector<std::uint64_t> records; // per payload, as the message's first block says
    input_counters counters;
    std::string err;
    bool failed = false;
};

dicing dice(const std::vector<std::string>& files, const fastq_plan& plan) {
    dicing d;
    group_table groups(test_pool());
    groups.resize(1);
    testing::internal::CaptureStderr();
    // A consumer takes every block as it comes: the dicer stops while its queue is full.
    asio::io_context io;
    spawn_coroutine(io, [&](const asio::yield_context& dicer) {
        dice_fastq(files, plan, groups, d.counters, io, dicer);
        close_group(groups[0]);
    });
    spawn_coroutine(io, [&](const asio::yield_context& yield) {
        for (block_chain message(test_pool()); pop_message(groups[0], message, yield);
             message.release()) {
            const std::string bytes = contents(message);
            const message_header h = load_header(bytes.data());
            EXPECT_TRUE(header_is_valid(h) && h.group == 0 &&
                        h.length == bytes.size() - header_size);
            d.payloads.push_back(bytes.substr(header_size));
            d.records.push_back(message.blocks().front().records);
        }
    });
    io.run();
    // A failure stops the loop: what was queued before it is taken all the same.
    io.restart();
    io.run();
    d.err = without_sanitizer_notes(testing::internal::GetCapturedStderr());
    d.failed = report_to(io).failed();
    groups.clear();
    return d;
}

std::string record(const std::string& name, const std::string& tag = "") {
    return "@" + name + tag + "\nACGT\n+\nIIII\n";
}

fastq_plan blocks_of(std::int32_t blksize, block_tags tags = block_tags::name,
                     bool check_pairs = true) {
    return {blksize, tags, check_pairs};
}

TEST(DiceFastq, WhatIsQueuedWhenTheInputEndsOrFails) {
    temp_dir dir;
    const auto file = [&](const std::string& name, const std::string& text) {
        write_file(dir.file(name), text);
        return dir.file(name);
    };
    const std::string a = file("a.fq", record("a1") + record("a2") + record("a3"));
    const std::string b = file("b.fq", record("a1") + record("a2"));
    // With blksize 1 a block is two records: the block holding record 3 is cut by record 4.
    const std::string bad =
        file("bad.fq", record("r1") + record("r2") + record("r3") + "@r4\nACGT\nIIII\n+\n");
    const struct {
        std::vector<std::string> files;
        fastq_plan plan;
        std::string err;
        std::vector<std::string> payloads;
    } cases[] = {
        // Zero records make no message: an empty one would read as the end of data.
        {{file("empty.fq", "")}, {}, "", {}},
        // The block in progress is queued before the uneven pair is reported.
        {{a, b},
         {},
         b + ": ended after 2 records, but " + a +
             " has more (paired files hold the same number of records)\n",
         {record("a1", " #0#") + record("a1", " #0#") + record("a2") + record("a2") +
          record("a3")}},
        // A malformed record drops the block in progress only.
        {{bad},
         blocks_of(1),
         bad + ": record 4: line 3 does not begin with '+'\n",
         {record("r1", " #0#") + record("r2")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.files.back());
        const dicing d = dice(c.files, c.plan);
        EXPECT_EQ(d.err, c.err);
        EXPECT_EQ(d.failed, !c.err.empty());
        EXPECT_EQ(d.payloads, c.payloads);
    }
}

// The counts behind --progress and --summary: each block says how many records it holds, and
// the dicer's totals are the input's records and bytes (the tags it adds are not input).
TEST(DiceFastq, CountsTheRecordsOfEveryBlockAndTheInputTaken) {
    temp_dir dir;
    std::string texts[2];
    for (int i = 0; i < 25; ++i)
        for (int f = 0; f < 2; ++f)
            texts[f] += record("p" + std::to_string(i) + "/" + std::to_string(f + 1));
    write_file(dir.file("p_1.fq"), texts[0]);
    write_file(dir.file("p_2.fq"), texts[1]);
    const dicing d = dice({dir.file("p_1.fq"), dir.file("p_2.fq")}, blocks_of(16));
    ASSERT_EQ(d.err, "");
    ASSERT_EQ(d.payloads.size(), 13u); // 16 bases: two pairs of 4 + 4 per block, of 25 pairs
    for (std::size_t i = 0; i < d.payloads.size(); ++i) {
        const auto lines = std::count(d.payloads[i].begin(), d.payloads[i].end(), '\n');
        EXPECT_EQ(d.records[i], std::uint64_t(lines / 4)) << "block " << i;
    }
    EXPECT_EQ(d.counters.records, 50u);
    EXPECT_EQ(d.counters.bytes, texts[0].size() + texts[1].size());
}

// Files read in large pieces are diced on another thread, which stops whenever one file's next
// record is not at hand yet: the blocks are the same as the loop's, mates together in order,
// every record tagged once, and an error deep in the input names its record.
TEST(DiceFastq, LargePairsAreDicedWholeAndInOrder) {
    const parsing_off_the_loop threaded;
    temp_dir dir;
    std::string texts[2], expected;
    std::uint64_t pairs = 0;
    for (; texts[0].size() < (std::size_t(6) << 20); ++pairs) {
        const std::string bases((pairs * 37) % 400 + 1, 'A');
        for (int f = 0; f < 2; ++f) {
            const std::string name = "p" + std::to_string(pairs) + "/" + std::to_string(f + 1);
            const std::string cr = pairs % 3 == 0 ? "\r" : "";
            const std::string rest = "\n" + bases + cr + "\n+" + cr + "\n" +
                                     std::string(bases.size(), 'I') + cr + "\n";
            texts[f] += "@" + name + cr + rest;
            expected += "@" + name + " #" + std::to_string(2 * pairs) + "#" + cr + rest;
        }
    }
    write_file(dir.file("p_1.fq"), texts[0]);
    write_file(dir.file("p_2.fq"), texts[1]);
    const dicing d =
        dice({dir.file("p_1.fq"), dir.file("p_2.fq")}, blocks_of(100000, block_tags::every));
    ASSERT_EQ(d.err, "");
    std::string got;
    for (std::size_t i = 0; i < d.payloads.size(); ++i) {
        EXPECT_EQ(d.records[i] % 2, 0u) << "block " << i << " splits a pair";
        got += d.payloads[i];
    }
    EXPECT_GT(d.payloads.size(), 20u);
    EXPECT_TRUE(got == expected) << got.size() << " bytes, not " << expected.size();
    EXPECT_EQ(d.counters.records, 2 * pairs);

    // Five MiB in, the second file's record has a quality line too short.
    const std::size_t at = texts[1].find("\n@", std::size_t(5) << 20) + 1;
    const std::size_t quality_end = texts[1].find("\n@", at + 1);
    texts[1].erase(quality_end - 1, 1);
    write_file(dir.file("p_2.fq"), texts[1]);
    const std::uint64_t record =
        std::uint64_t(std::count(texts[1].begin(), texts[1].begin() + at, '@') + 1);
    const dicing bad = dice({dir.file("p_1.fq"), dir.file("p_2.fq")}, blocks_of(100000));
    EXPECT_TRUE(bad.failed);
    EXPECT_NE(bad.err.find(dir.file("p_2.fq") + ": record " + std::to_string(record) + ": "),
              std::string::npos)
        << bad.err;
}

// -O tag: which records carry " #N#". With "every", mates share the even number of their pass,
// so a single file's records 2k and 2k+1 (interleaved mates) share one too.
TEST(DiceFastq, TagsNoRecordOrEveryRecord) {
    temp_dir dir;
    write_file(dir.file("x_1.fq"), record("p0/1") + record("p1/1") + record("p2/1"));
    write_file(dir.file("x_2.fq"), record("p0/2") + record("p1/2") + record("p2/2"));
    const std::vector<std::string> pair = {dir.file("x_1.fq"), dir.file("x_2.fq")};
    const std::string untagged =
        record("p0/1") + record("p0/2") + record("p1/1") + record("p1/2");
    EXPECT_EQ(dice(pair, blocks_of(9, block_tags::none)).payloads,
              (std::vector<std::string>{untagged, record("p2/1") + record("p2/2")}));
    EXPECT_EQ(dice(pair, blocks_of(9, block_tags::every)).payloads,
              (std::vector<std::string>{record("p0/1", " #0#") + record("p0/2", " #0#") +
                                            record("p1/1", " #2#") + record("p1/2", " #2#"),
                                        record("p2/1", " #4#") + record("p2/2", " #4#")}));
    const dicing none = dice(pair, blocks_of(9, block_tags::none));
    EXPECT_EQ(none.counters.bytes, 6 * record("p0/1").size()); // tags are never counted
    write_file(dir.file("one.fq"), record("r0") + record("r1") + record("r2"));
    EXPECT_EQ(dice({dir.file("one.fq")}, blocks_of(100, block_tags::every)).payloads,
              (std::vector<std::string>{record("r0", " #0#") + record("r1", " #0#") +
                                        record("r2", " #2#")}));
}

// Mates share their name's first word, "/1" and "/2" aside; the first pair that does not is
// refused before anything of its block is queued, unless check_pairs is off.
TEST(DiceFastq, RefusesMatesWithDifferentNames) {
    temp_dir dir;
    const auto file = [&](const std::string& name, const std::string& text) {
        write_file(dir.file(name), text);
        return dir.file(name);
    };
    const std::string r1 = file("r_1.fq", record("a/1") + record("b/1 x") + record("c/1") +
                                              record("d/1") + record("e/1"));
    // Comments and the mate suffix differ; the names agree until the fourth pair, where R2 is
    // shifted by one record.
    const std::string r2 = file("r_2.fq", record("a/2") + record("b/2 y:z") + record("c") +
                                              record("e/2") + record("f/2"));
    const dicing d = dice({r1, r2}, blocks_of(12)); // a block: two pairs
    EXPECT_EQ(d.err, r1 + " and " + r2 +
                         ": record 4 is named d in the first file and e in the second (mates "
                         "share a name; -O check_pairs=no for data whose mates are named "
                         "differently)\n");
    EXPECT_TRUE(d.failed);
    ASSERT_EQ(d.payloads.size(), 1u); // the block of pairs 3 and 4 is never queued
    EXPECT_EQ(d.payloads[0], record("a/1", " #0#") + record("a/2", " #0#") + record("b/1 x") +
                                 record("b/2 y:z"));
    // R1 given twice: the names agree, the mate numbers say so, as "/1" or in an Illumina comment.
    const std::string twice = file("twice.fq", record("a/1") + record("b/1"));
    const std::string illumina_1 = file("i_1.fq", record("a 1:N:0:ACGT") + record("b 1:N:0:ACGT"));
    const std::string illumina_2 = file("i_2.fq", record("a 2:N:0:ACGT") + record("b 2:N:0:ACGT"));
    EXPECT_EQ(dice({twice, twice}, blocks_of(12)).err,
              twice + " and " + twice +
                  ": record 1, a, is mate 1 in both files (the same reads given twice?)\n");
    EXPECT_EQ(dice({illumina_1, illumina_1}, blocks_of(12)).err,
              illumina_1 + " and " + illumina_1 +
                  ": record 1, a, is mate 1 in both files (the same reads given twice?)\n");
    EXPECT_EQ(dice({illumina_1, illumina_2}, blocks_of(12)).err, "");
    const dicing unchecked = dice({r1, r2}, blocks_of(12, block_tags::name, false));
    EXPECT_EQ(unchecked.err, "");
    EXPECT_EQ(unchecked.payloads.size(), 3u);
}

} // namespace
