#include "wire/message_header.hpp"

#include "buffers/pool_fixture.hpp"

using namespace shuffler;
using namespace shuffler_test;

namespace {

message_header balanced(std::uint32_t length, std::uint16_t group) {
    message_header h;
    h.length = length;
    h.group = group;
    h.check = header_check_word(length, group, 0);
    return h;
}

TEST(MessageHeader, CheckWordBalancesLengthAndGroupModulo65535) {
    const struct {
        std::uint32_t length;
        std::uint16_t group, check;
    } cases[] = {
        {0, 0, 0xFFFF},
        {0, 1, 0xFFFE},
        {0, 65535, 0xFFFF}, // 65535 counts as 0
        {65535, 0, 0xFFFF},
        {65534, 0, 0x0001},
        {65536, 0, 0xFFFE},
        {0xFFFFFFFFu, 0, 0xFFFF}, // 2^32 - 1 is a multiple of 65535
        {100, 65000, 0xFFFF - 65100 % 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.group));
        EXPECT_EQ(header_check_word(c.length, c.group, 0), c.check);
        EXPECT_TRUE(header_is_valid(balanced(c.length, c.group)));
    }
    // So a change of length by a multiple of 65535 goes unnoticed.
    message_header h = balanced(0, 9);
    h.length = 65535;
    EXPECT_TRUE(header_is_valid(h));
    // The previous check joins the sum, modulo 65535 as well.
    EXPECT_EQ(header_check_word(300, 7, 5), header_check_word(305, 7, 0));
    EXPECT_EQ(header_check_word(65534, 0, 1), 0xFFFF);
    EXPECT_EQ(header_check_word(65534, 65535, 65535), 0x0001);
}

TEST(MessageHeader, EverySingleBitFlipIsDetected) {
    for (const message_header& valid :
         {balanced(0, 0), balanced(0, 65535), balanced(8, 3), balanced(4194304, 1),
          balanced(0xFFFFFFFFu, 65535), balanced(123456789, 40000)}) {
        ASSERT_TRUE(header_is_valid(valid));
        for (int bit = 0; bit < 64; ++bit) {
            unsigned char bytes[8];
            store_header(bytes, valid);
            bytes[bit / 8] ^= std::uint8_t(1u << (bit % 8));
            EXPECT_FALSE(header_is_valid(load_header(bytes)))
                << "bit " << bit << " of length " << valid.length << " group " << valid.group;
        }
    }
}

using message_test = pool_test;

TEST_F(message_test, OpenAndCloseFrameTheBytesAppendedBetween) {
    run_in_coroutine([](auto&, auto yield) {
        block_chain list(test_pool());
        open_message(list, 7, yield);
        EXPECT_EQ(contents(list), std::string("\0\0\0\0\x07\0\0\0", 8))
            << "length and check not yet set";

        // A payload that runs into a second block.
        const std::string payload(block_bytes, 'x');
        list.append(payload.data(), payload.data() + payload.size(), yield);
        close_message(list);
        EXPECT_EQ(list.block_count(), 2u);
        // Length, group and check, each little-endian; the check is ~(7 + 2^22 % 65535).
        const std::string bytes = contents(list).substr(0, header_size + 1);
        EXPECT_EQ(bytes, std::string("\0\0\x40\0\x07\0\xB8\xFF"
                                     "x",
                                     9));
        EXPECT_TRUE(header_is_valid(load_header(bytes.data())));

        // A header-only message is valid too.
        block_chain empty(test_pool());
        open_message(empty, 65535, yield);
        close_message(empty);
        EXPECT_EQ(contents(empty), std::string("\0\0\0\0\xFF\xFF\xFF\xFF", 8));
    });
}

// Every field is little-endian on the wire, whatever the host.
TEST(MessageHeader, FieldsAreStoredLittleEndian) {
    message_header h;
    h.length = 0x04030201;
    h.group = 0x0605;
    h.check = 0x0807;
    unsigned char bytes[8] = {};
    store_header(bytes, h);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(bytes[i], i + 1) << "byte " << i;
    const message_header back = load_header(bytes);
    EXPECT_EQ(back.length, 0x04030201u);
    EXPECT_EQ(back.group, 0x0605u);
    EXPECT_EQ(back.check, 0x0807u);
}

// The abort message: a valid header whose group is the complement of the connection's, never a
// group the connection carries, and the reason cut to its limit; received text is one line.
TEST(MessageHeader, AnAbortIsAValidMessageOfTheComplementGroupCarryingItsReason) {
    for (const std::uint16_t group : {std::uint16_t(0), std::uint16_t(7), std::uint16_t(65535)}) {
        const std::string bytes = abort_message(group, "in.fq: record 3: bad");
        const message_header h = load_header(bytes.data());
        EXPECT_TRUE(header_is_valid(h));
        EXPECT_EQ(h.group, std::uint16_t(65535 - group));
        EXPECT_NE(h.group, group);
        EXPECT_EQ(h.length, 20u);
        EXPECT_EQ(bytes.substr(header_size), "in.fq: record 3: bad");
    }
    const std::string cut = abort_message(1, std::string(5000, 'x'));
    EXPECT_EQ(load_header(cut.data()).length, abort_reason_limit);
    EXPECT_EQ(cut.size(), header_size + abort_reason_limit);
    const std::string text = "two\nlines\r\x1b[2J";
    EXPECT_EQ(abort_reason_text(text.data(), text.size()), "two lines  [2J");
}

} // namespace
