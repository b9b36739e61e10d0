#include "net/port_file.hpp"

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace shuffler;
using namespace shuffler_test;

namespace {

// A listener that fails leaves its reason instead of its address, privately and atomically as
// ever; readers take it from a line of its own whatever else the file holds, and the reason stays
// one line.
TEST(PortFile, AFailedListenerLeavesItsReasonForReaders) {
    const temp_dir dir;
    const std::string path = dir.file("job.port");
    write_port_file(path, "node7:41234", "0123abcd");
    write_failed_port_file(path, "reads_2.fq: truncated gzip data\nsecond line");
    EXPECT_EQ(read_file(path), "failed=reads_2.fq: truncated gzip data second line\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto found = read_rendezvous(path);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->failed, "reads_2.fq: truncated gzip data second line");
    EXPECT_EQ(found->address, "");
    write_file(path, "node7:41234\nfailed=\n");
    EXPECT_EQ(read_rendezvous(path)->failed, "no reason given");
    ::chmod(path.c_str(), 0600);
    write_file(path, "node7:41234\nsecret=abc\n");
    EXPECT_EQ(read_rendezvous(path)->failed, "");
}

TEST(PortFile, WrittenWholeAndPrivateReadByItsAddressAndSecretLines) {
    const temp_dir dir;
    const std::string path = dir.file("job.port");
    EXPECT_EQ(read_port_file(path), std::nullopt) << "not written yet";
    // A file made by a shell redirection exists, empty, before its line arrives.
    write_file(path, "");
    EXPECT_EQ(read_port_file(path), std::nullopt);
    // Replaced atomically, mode 0600 whatever the old file's mode was.
    ::chmod(path.c_str(), 0644);
    write_port_file(path, "node7:41234");
    EXPECT_EQ(read_file(path), "node7:41234\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    write_file(path, "[fe80::1]:9000\r\nmore\nsecret=abc\r\n");
    EXPECT_EQ(read_port_file(path), std::optional<std::string>("[fe80::1]:9000"));
    EXPECT_EQ(read_rendezvous(path)->secret, "abc");
    write_port_file(path, "node7:41234", "0123abcd");
    EXPECT_EQ(read_file(path), "node7:41234\nsecret=0123abcd\n");
    EXPECT_EQ(read_rendezvous(path)->address, "node7:41234");
    EXPECT_EQ(read_rendezvous(path)->secret, "0123abcd");
    write_file(path, "node7\n");
    EXPECT_THROW(read_port_file(path), std::runtime_error);
    write_file(path, "node7:\n");
    EXPECT_THROW(read_port_file(path), std::runtime_error);
    // No temporary file is left beside it; a folder that is not there is an error.
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("")))
        files += entry.is_regular_file();
    EXPECT_EQ(files, 1u);
    EXPECT_THROW(write_port_file(dir.file("absent/job.port"), "node7:1"), std::system_error);
}

// What decides where a job's data goes is believed only from a file nobody else could write.
TEST(PortFile, OnlyARegularFileOfTheReaderOrRootThatOthersCannotChangeIsBelieved) {
    const temp_dir dir;
    const std::string path = dir.file("job.port");
    write_file(path, "node7:41234\n");
    ::chmod(path.c_str(), 0644);
    EXPECT_EQ(read_port_file(path), std::optional<std::string>("node7:41234"));
    for (const mode_t writable : {0664, 0646}) {
        ::chmod(path.c_str(), writable);
        EXPECT_THROW(read_port_file(path), std::runtime_error) << std::oct << writable;
    }
    ::chmod(path.c_str(), 0600);
    if (::geteuid() == 0) { // root may give the file away, to "nobody"
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        try {
            read_port_file(path);
            ADD_FAILURE() << "another user's port file was believed";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("not to you; not trusted as a port file"),
                      std::string::npos)
                << e.what();
        }
        // Nor is it replaced by the listener.
        EXPECT_THROW(write_port_file(path, "node8:1"), std::runtime_error);
        EXPECT_EQ(read_file(path), "node7:41234\n");
    }
    // A FIFO is refused at once, never waited on; so is a folder.
    const std::string fifo = dir.file("fifo.port");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(read_port_file(fifo), std::runtime_error);
    EXPECT_THROW(read_port_file(dir.file("")), std::runtime_error);
    // The listener replaces neither a FIFO nor a link, and never writes through the link.
    EXPECT_THROW(write_port_file(fifo, "node8:1"), std::runtime_error);
    const std::string target = dir.file("target"), link = dir.file("link.port");
    write_file(target, "kept\n");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_THROW(write_port_file(link, "node8:1"), std::runtime_error);
    EXPECT_EQ(read_file(target), "kept\n");
}

TEST(PortFile, TheAdvertisedAddressIsOneAPeerCanReach) {
    namespace ip = boost::asio::ip;
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(advertised_address({ip::address_v4::any(), 9000}), std::string(host) + ":9000");
    EXPECT_EQ(advertised_address({ip::address_v6::any(), 9000}), std::string(host) + ":9000");
    EXPECT_EQ(advertised_address({ip::make_address("10.1.2.3"), 1}), "10.1.2.3:1");
    EXPECT_EQ(advertised_address({ip::make_address("::1"), 2}), "[::1]:2");
    std::string h, p;
    ASSERT_TRUE(split_address("[::1]:2", h, p));
    EXPECT_EQ(h + " " + p, "::1 2");
    ASSERT_TRUE(split_address(":9000", h, p));
    EXPECT_EQ(h + " " + p, " 9000");
    EXPECT_FALSE(split_address("node7", h, p));
}

} // namespace
