#include "io/file_pump.hpp"
#include "core/coroutine.hpp"

#include "io/endpoint.hpp"
#include "support/process.hpp"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

// The names in a folder of /proc.
std::vector<std::string> entries_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    return names;
}

// The bytes a Python expression makes; `data` is 3 MiB of varied lines, `gz(b)` one gzip member
// of `b`, `bgzf(b)` BGZF blocks of `b` (members of 64 KiB at most, each with its "BC" extra
// field, and the empty end block bgzip writes).
std::string python_bytes(const std::string& expression) {
    const std::string program =
        "import gzip, struct, sys, zlib\n"
        "data = b''.join(b'@read%d\\n%s\\n+\\n%s\\n' % (i, b'ACGT'[i % 4:] * 20, b'I' * 20)\n"
        "                for i in range(60000))[:3 << 20]\n"
        "def gz(b): return gzip.compress(b, mtime=0)\n"
        "def block(b):\n"
        "    c = zlib.compressobj(6, zlib.DEFLATED, -15)\n"
        "    raw = c.compress(b) + c.flush()\n"
        "    head = b'\\x1f\\x8b\\x08\\x04' + bytes(6) + struct.pack('<HBBHH', 6, 66, 67, 2,\n"
        "                                                       len(raw) + 25)\n"
        "    return head + raw + struct.pack('<II', zlib.crc32(b), len(b))\n"
        "def bgzf(b):\n"
        "    return b''.join(block(b[i:i + 65280]) for i in range(0, len(b), 65280)) + block(b'')\n"
        "sys.stdout.buffer.write(" + expression + ")\n";
    const child_result r = run({"/usr/bin/python3", "-c", program});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return r.out;
}

struct decompressed {
    std::string bytes;   // what the loop read from the pipe
    std::string problem; // what close_and_wait said
};

// Reads the gzip file `path` through an endpoint on a loop, to its end.
decompressed read_gzip(const std::string& path) {
    asio::io_context io;
    decompressed result;
    spawn_coroutine(io, [&](const asio::yield_context& yield) {
        endpoint pipe(io);
        pipe.open_file(path, file_pump::job::read_gzip);
        EXPECT_EQ(pipe.description(), path);
        std::vector<char> buffer(65536); // on the heap: coroutine stacks are small
        boost::system::error_code ec;
        while (!ec)
            result.bytes.append(buffer.data(),
                                pipe.descriptor.async_read_some(asio::buffer(buffer), yield[ec]));
        EXPECT_EQ(ec, asio::error::eof);
        result.problem = pipe.close_and_wait(yield);
    });
    io.run();
    return result;
}

TEST(GzipSource, ReadsEveryMemberOfEveryLayout) {
    const temp_dir dir;
    const std::string data = python_bytes("data");
    ASSERT_EQ(data.size(), std::size_t(3) << 20);
    const std::pair<const char*, const char*> layouts[] = {
        {"one member", "gz(data)"},
        // Members of uneven sizes, so boundaries fall anywhere in the thread's reads, and
        // empty members among them.
        {"concatenated", "gz(b'') + b''.join(gz(data[i:i + 70001]) for i in range(0, len(data), "
                         "70001)) + gz(b'')"},
        {"bgzf", "bgzf(data)"},
        {"stored, level 0", "gzip.compress(data, 0, mtime=0)"},
        // Zero bytes after the last member: the padding of tapes and block devices, here longer
        // than one read.
        {"zero padding", "gz(data[:1000]) + gz(data[1000:]) + bytes((1 << 20) + 12345)"},
        {"bgzf, zero padding", "bgzf(data) + bytes(1)"},
        {"bgzf without its empty end member", "bgzf(data)[:-28]"},
    };
    for (const auto& [name, expression] : layouts) {
        SCOPED_TRACE(name);
        write_file(dir.file("in.gz"), python_bytes(expression));
        const decompressed got = read_gzip(dir.file("in.gz"));
        EXPECT_EQ(got.problem, "");
        EXPECT_TRUE(got.bytes == data) << got.bytes.size() << " bytes";
    }
}

TEST(GzipSource, ADamagedFileIsAProblemNeverACleanEnd) {
    const temp_dir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"b''", "empty file, not gzip data"},
        {"b'plain text\\n'", "not in gzip format"},
        {"gz(data)[:5]", "truncated gzip data: the file ends inside member 1"},
        {"gz(data)[:len(gz(data)) // 2]", "truncated gzip data: the file ends inside member 1"},
        // Everything decompressed, but the trailer with its checksum is cut short.
        {"gz(data)[:-3]", "truncated gzip data: the file ends inside member 1"},
        {"gz(data) + gz(data)[:100]", "truncated gzip data: the file ends inside member 2"},
        {"bgzf(data)[:-10]", "truncated gzip data: the file ends inside member 50"},
        {"bgzf(data[:130560])[:-40]", "truncated gzip data: the file ends inside member 2"},
        {"bgzf(data)[:-36] + bytes(4) + bgzf(data)[-32:]", "corrupt gzip data: checksum mismatch"},
        {"bgzf(data)[:18] + bytes([bgzf(data)[18] | 6]) + bgzf(data)[19:]",
         "corrupt gzip data: invalid deflate stream (inflate error -1)"},
        {"bgzf(data) + b'trailing garbage'", "the data after gzip member 50 is not in gzip format"},
        {"gz(data) + b'trailing garbage'",
         "the data after gzip member 1 is not in gzip format"},
        // Zero padding ends the file: what follows it is not gzip data, nor a zero first byte.
        {"gz(data) + bytes(10) + b'x'", "the data after gzip member 1 is not in gzip format"},
        {"gz(data) + bytes((1 << 20) + 1) + gz(data)",
         "the data after gzip member 1 is not in gzip format"},
        {"bytes(100)", "not in gzip format"},
        // A reserved flag bit means a header this reader cannot parse.
        {"gz(data)[:3] + b'\\x20' + gz(data)[4:]",
         "corrupt gzip data: member 1 sets reserved header flags"},
        {"gz(data) + gz(data)[:3] + b'\\x88' + gz(data)[4:]",
         "corrupt gzip data: member 2 sets reserved header flags"},
        {"gz(data)[:-8] + bytes(4) + gz(data)[-4:]", "corrupt gzip data: checksum mismatch"},
        // The first block's type bits say 3, which deflate does not have.
        {"gz(data)[:10] + bytes([gz(data)[10] | 6]) + gz(data)[11:]",
         "corrupt gzip data: invalid deflate stream (inflate error -1)"},
    };
    for (const auto& [expression, problem] : cases) {
        SCOPED_TRACE(expression);
        write_file(dir.file("in.gz"), python_bytes(expression));
        EXPECT_EQ(read_gzip(dir.file("in.gz")).problem, problem);
    }
}

// A file bgzip could have written is inflated by htslib's threads; anything else that starts as
// BGZF (cut short, padded, followed by plain gzip) member by member, with the same results.
TEST(GzipSource, WholeBgzfIsInflatedByThreadsWithTheSameBytesAndProblems) {
    const temp_dir dir;
    const file_pump::hts_settings before = file_pump::hts;
    file_pump::hts_settings threaded;
    threaded.threads = 3;
    file_pump::configure_hts(threaded);
    const std::string data = python_bytes("data");
    const std::pair<const char*, const char*> cases[] = {
        {"bgzf(data)", ""},
        {"bgzf(data[:1000]) + bgzf(data[1000:])", ""},
        {"bgzf(data) + bytes(1)", ""},
        {"bgzf(data[:1000]) + gz(data[1000:])", ""},
        {"bgzf(data)[:-10]", "truncated gzip data: the file ends inside member 50"},
        {"bgzf(data)[:-36] + bytes(4) + bgzf(data)[-32:]",
         "corrupt gzip data: the BGZF member at byte "},
        {"bgzf(data)[:18] + bytes([bgzf(data)[18] | 6]) + bgzf(data)[19:]",
         "corrupt gzip data: the BGZF member at byte "},
    };
    for (const auto& [expression, problem] : cases) {
        SCOPED_TRACE(expression);
        write_file(dir.file("in.gz"), python_bytes(expression));
        const decompressed got = read_gzip(dir.file("in.gz"));
        EXPECT_EQ(got.problem.substr(0, std::strlen(problem)), problem);
        if (*problem == '\0') {
            EXPECT_TRUE(got.bytes == data) << got.bytes.size() << " bytes";
        }
    }
    file_pump::configure_hts(before);
}

TEST(GzipSource, AReaderThatLeavesEndsTheThreadWithoutAProblem) {
    const temp_dir dir;
    for (const char* layout : {"gz(data * 4)", "bgzf(data * 4)"})
    // Closed after a first read, or before any: the thread, blocked writing, gets a broken pipe.
    for (bool read_first : {true, false}) {
        SCOPED_TRACE(std::string(layout) + (read_first ? ", read first" : ""));
        write_file(dir.file("in.gz"), python_bytes(layout));
        asio::io_context io;
        std::string problem = "not run";
        spawn_coroutine(io, [&](const asio::yield_context& yield) {
            endpoint pipe(io);
            pipe.open_file(dir.file("in.gz"), file_pump::job::read_gzip);
            char buffer[1000];
            if (read_first)
                asio::async_read(pipe.descriptor, asio::buffer(buffer), yield);
            problem = pipe.close_and_wait(yield);
        });
        io.run();
        EXPECT_EQ(problem, "");
    }
    // Destroyed unread: the destructor joins the thread, which lets go of the file on its way
    // out, and reports nothing.
    const std::size_t threads = entries_in("/proc/self/task").size();
    asio::io_context io;
    ::testing::internal::CaptureStderr();
    {
        endpoint pipe(io);
        pipe.open_file(dir.file("in.gz"), file_pump::job::read_gzip);
        EXPECT_EQ(entries_in("/proc/self/task").size(), threads + 1) << "no thread of its own";
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(entries_in("/proc/self/task").size(), threads) << "the thread outlived the source";
    std::size_t open = 0;
    for (const std::string& fd : entries_in("/proc/self/fd")) {
        std::error_code ec;
        open += std::filesystem::read_symlink("/proc/self/fd/" + fd, ec) == dir.file("in.gz");
    }
    EXPECT_EQ(open, 0u) << "the file is still open";
}

TEST(GzipSource, AnInputThatNeverEndsDoesNotHoldTheThreadOnceTheReaderLeaves) {
    // A pipe nobody writes to: the thread waits for input, and must notice the reader leave.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        file_pump source(fds[0], file_pump::job::read_gzip, "silent");
        ::close(source.take_loop_end());
        EXPECT_EQ(source.finish(), "");
    }
    ::close(fds[1]);
}

} // namespace

namespace {

TEST(FilePump, CopiesPlainFilesBothWaysByteForByte) {
    const temp_dir dir;
    const std::string data = python_bytes("data");
    write_file(dir.file("in"), data);
    asio::io_context io;
    std::string read_back, read_problem = "not run", write_problem = "not run";
    spawn_coroutine(io, [&](const asio::yield_context& yield) {
        endpoint in(io), out(io);
        in.open_file(dir.file("in"), file_pump::job::read);
        out.open_file(dir.file("out"), file_pump::job::write);
        EXPECT_EQ(in.description(), dir.file("in"));
        // Not a divisor of the file's size; on the heap, as coroutine stacks are small.
        std::vector<char> buffer(100000);
        boost::system::error_code ec;
        for (std::size_t got; !ec;) {
            got = in.descriptor.async_read_some(asio::buffer(buffer), yield[ec]);
            read_back.append(buffer.data(), got);
            asio::async_write(out.descriptor, asio::buffer(buffer.data(), got), yield);
        }
        EXPECT_EQ(ec, asio::error::eof);
        read_problem = in.close_and_wait(yield);
        write_problem = out.close_and_wait(yield); // joins the thread: the file is complete
    });
    io.run();
    EXPECT_EQ(read_problem, "");
    EXPECT_EQ(write_problem, "");
    EXPECT_TRUE(read_back == data);
    EXPECT_TRUE(read_file(dir.file("out")) == data);
}

TEST(FilePump, AFileThatRefusesBytesBreaksThePipeAndSaysWhy) {
    ::signal(SIGPIPE, SIG_IGN); // as the program does: a broken pipe is an error, not a death
    asio::io_context io;
    std::string problem = "not run";
    boost::system::error_code ec;
    spawn_coroutine(io, [&](const asio::yield_context& yield) {
        endpoint out(io);
        out.open_file("/dev/full", file_pump::job::write);
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 8 && !ec; ++i) // more than the pipe holds
            asio::async_write(out.descriptor, asio::buffer(block), yield[ec]);
        problem = out.close_and_wait(yield);
    });
    io.run();
    EXPECT_EQ(ec, asio::error::broken_pipe);
    EXPECT_EQ(problem, "write error: No space left on device");
}

} // namespace
