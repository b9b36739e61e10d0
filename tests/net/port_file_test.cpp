#include "net/port_file.hpp"

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

using namespace shuffler;
using namespace shuffler_test;

namespace {

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
