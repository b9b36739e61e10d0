#include "driver/input_driver.hpp"

#include "driver/report.hpp"
#include "groups/group_table.hpp"
#include "net/message_header.hpp"
#include "pipes/stream_harness.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

// The dicer on its own: what it queued for group 0 and what it reported, when the end of its
// input or an error stops it partway.
struct dicing {
    std::vector<std::string> messages; // whole messages, header included
    std::string err;
    bool failed = false;
};

dicing dice(const std::vector<std::string>& files, const option_map& options = {}) {
    dicing d;
    the_group_table.resize(1);
    failure_flag = 0;
    testing::internal::CaptureStderr();
    run_coroutine([&](asio::io_context& io, asio::yield_context yield) {
        dice_fastq(files, options, io, yield);
    });
    d.err = shuffler_test::without_sanitizer_notes(testing::internal::GetCapturedStderr());
    d.failed = failure_flag != 0;
    failure_flag = 0;
    run_coroutine([&](asio::io_context&, asio::yield_context yield) {
        while (the_group_table[0].message_count() > 0) {
            sg_buffer_list message;
            pop_message(the_group_table[0], message, yield);
            d.messages.push_back(contents(message));
        }
    });
    the_group_table.clear();
    return d;
}

std::string record(const std::string& name, const std::string& tag = "") {
    return "@" + name + tag + "\nACGT\n+\nIIII\n";
}

std::string payload_of(const std::string& message) {
    const message_header h = load_header(message.data());
    EXPECT_TRUE(header_is_valid(h));
    EXPECT_EQ(h.group, 0);
    EXPECT_EQ(h.length, message.size() - header_size);
    return message.substr(header_size);
}

} // namespace

TEST(DiceFastq, ZeroRecordsQueueOneEmptyMessage) {
    temp_dir dir;
    write_file(dir.file("empty.fq"), "");
    const dicing d = dice({dir.file("empty.fq")});
    EXPECT_EQ(d.err, "");
    EXPECT_FALSE(d.failed);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(payload_of(d.messages[0]), "");
}

TEST(DiceFastq, PairedFilesOfDifferentLengthsQueueTheBlockInProgressThenFail) {
    temp_dir dir;
    write_file(dir.file("a.fq"), record("a1") + record("a2") + record("a3"));
    write_file(dir.file("b.fq"), record("b1") + record("b2"));
    const dicing d = dice({dir.file("a.fq"), dir.file("b.fq")});
    EXPECT_EQ(d.err, "dice_fastq: input files hold different numbers of records: " +
                         dir.file("b.fq") + " ended after 2 records, " + dir.file("a.fq") +
                         " has more\n");
    EXPECT_TRUE(d.failed);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(payload_of(d.messages[0]), record("a1", " #0#") + record("b1", " #0#") +
                                             record("a2") + record("b2") + record("a3"));
}

TEST(DiceFastq, MalformedRecordDropsTheBlockInProgressOnly) {
    temp_dir dir;
    // With blksize 1 a block is two records: the block holding record 3 is cut by record 4.
    write_file(dir.file("in.fq"),
               record("r1") + record("r2") + record("r3") + "@r4\nACGT\nIIII\n+\n");
    const dicing d = dice({dir.file("in.fq")}, {{"blksize", "1"}});
    EXPECT_EQ(d.err, "dice_fastq: " + dir.file("in.fq") +
                         ": record 4: line 3 does not begin with '+'\n");
    EXPECT_TRUE(d.failed);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(payload_of(d.messages[0]), record("r1", " #0#") + record("r2"));
}

TEST(DiceFastq, BadBlockSizeOpensNoInput) {
    temp_dir dir;
    write_file(dir.file("in.fq"), record("r1"));
    const std::string marker = dir.file("opened");
    for (const std::string value : {"0", "-5", "abc", "5x", ""}) {
        const dicing d = dice({"touch " + marker + "; cat " + dir.file("in.fq") + " |"},
                              {{"blksize", value}});
        EXPECT_EQ(d.err.rfind("dice_fastq: ", 0), 0u) << value << ": " << d.err;
        EXPECT_EQ(d.err.find('\n'), d.err.size() - 1) << "one line: " << d.err;
        EXPECT_TRUE(d.failed) << value;
        EXPECT_TRUE(d.messages.empty()) << value;
        struct stat st;
        EXPECT_NE(::stat(marker.c_str(), &st), 0) << "input opened for blksize " << value;
    }
}
