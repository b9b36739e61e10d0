#include "buffers/block_chain.hpp"

#include "buffers/pool_fixture.hpp"

#include <boost/asio/buffer.hpp>

using namespace shuffler;
using namespace shuffler_test;

namespace {

using list_test = pool_test;
using ends = std::vector<std::uint64_t>;

std::string pattern(std::uint64_t n) {
    std::string s(n, '\0');
    for (std::uint64_t i = 0; i < n; ++i)
        s[i] = char('a' + i * 7 % 23);
    return s;
}

// The unconsumed bytes, read the way a gathered write reads them.
std::string pending_bytes(const block_chain& list) {
    std::string out(boost::asio::buffer_size(list.const_buffers()), '\0');
    boost::asio::buffer_copy(boost::asio::buffer(out), list.const_buffers());
    return out;
}

ends ends_of(const block_chain& list) {
    ends out;
    for (const block& b : list.blocks())
        out.push_back(b.end);
    return out;
}

TEST_F(list_test, AcquireAndReserveTakeWholeBlocksFromTheFrontOfTheFreeList) {
    run_in_coroutine([](auto&, auto yield) {
        block_chain list(test_pool());
        list.acquire(0, yield);
        EXPECT_EQ(list.block_count(), 0u);
        const auto expected = blocks_of(test_pool().free_list(), 4);
        list.acquire(1, yield);
        EXPECT_EQ(list.block_count(), 1u);
        list.acquire(block_bytes + 1, yield);
        EXPECT_EQ(list.block_count(), 3u);
        list.acquire(block_bytes, yield);
        EXPECT_EQ(blocks_of(list.blocks()), expected);

        // reserve counts capacity, filled or not.
        block_chain header(test_pool());
        header.reserve(8, yield);
        EXPECT_EQ(header.block_count(), 1u);
        header.commit(block_bytes);
        header.reserve(block_bytes, yield);
        EXPECT_EQ(header.block_count(), 1u);
        header.reserve(block_bytes + 8, yield);
        EXPECT_EQ(header.block_count(), 2u);
    });
}

TEST_F(list_test, AppendFillsTheLastBlockThenNewBlocksInOrder) {
    run_in_coroutine([](auto&, auto yield) {
        block_chain list(test_pool());
        list.reserve(8, yield);
        list.commit(block_bytes - 4);
        const std::string digits = "0123456789";
        EXPECT_EQ(list.append(digits.data(), digits.data() + 10, yield), 10u);
        EXPECT_EQ(ends_of(list), (ends{block_bytes, 6}));
        EXPECT_EQ(contents(list).substr(block_bytes - 4), digits);
        EXPECT_EQ(list.append(digits.data(), digits.data(), yield), 0u);
        EXPECT_EQ(list.block_count(), 2u);

        block_chain big(test_pool());
        big.reserve(1, yield);
        big.commit(block_bytes);
        const std::string data = pattern(9 * 1024 * 1024);
        EXPECT_EQ(big.append(data.data(), data.data() + data.size(), yield), data.size());
        EXPECT_EQ(ends_of(big), (ends{block_bytes, block_bytes, block_bytes, block_bytes / 4}));
        big.consume(block_bytes);
        EXPECT_TRUE(pending_bytes(big) == data);
    });
}

TEST_F(list_test, ScatteredReadsCommitAndGatheredWritesConsumeInListOrder) {
    run_in_coroutine([](auto&, auto yield) {
        block_chain list(test_pool());
        list.reserve(2 * block_bytes, yield);
        EXPECT_EQ(boost::asio::buffer_size(list.mutable_buffers()), 2 * block_bytes);
        // What a scattered read does: fill the free space, then commit what arrived.
        const std::string data = pattern(block_bytes + 100);
        boost::asio::buffer_copy(list.mutable_buffers(), boost::asio::buffer(data));
        list.commit(data.size());
        EXPECT_EQ(ends_of(list), (ends{block_bytes, 100}));
        EXPECT_EQ(boost::asio::buffer_size(list.mutable_buffers()), block_bytes - 100);
        EXPECT_EQ(std::next(list.mutable_buffers().begin())->data(),
                  list.blocks().back().data + 100);
        EXPECT_TRUE(pending_bytes(list) == data);
        // Consuming one block's bytes keeps the block in the list, emptied.
        list.consume(block_bytes);
        EXPECT_EQ(list.block_count(), 2u);
        EXPECT_EQ(pending_bytes(list), data.substr(block_bytes));
        // Excess is ignored at the end of the list.
        list.consume(1000);
        EXPECT_EQ(list.size(), 0u);
        list.commit(3 * block_bytes);
        EXPECT_EQ(ends_of(list), (ends{block_bytes, block_bytes}));
    });
}

// Released blocks are the next handed out: a process that keeps a few blocks busy touches only
// those pages, and they are still in the processor's cache.
TEST_F(list_test, ReleaseResetsBlocksAndPutsThemFirstOnTheFreeList) {
    run_in_coroutine([](auto&, auto yield) {
        const auto untouched = blocks_of(test_pool().free_list()).back();
        {
            block_chain list(test_pool());
            list.acquire(2 * block_bytes + 1, yield);
            const auto taken = blocks_of(list.blocks());
            list.commit(2 * block_bytes + 5);
            list.consume(7);
            list.release();
            EXPECT_EQ(list.block_count(), 0u);
            EXPECT_EQ(blocks_of(test_pool().free_list(), 3), taken) << "in list order, first";
            list.acquire(1, yield);
            EXPECT_EQ(&list.blocks().front(), taken.front());
            list.commit(1);
        } // destroying a list releases it too

        const auto free = blocks_of(test_pool().free_list());
        ASSERT_EQ(free.size(), pool_blocks);
        EXPECT_EQ(free.back(), untouched);
        for (const block* b : free)
            EXPECT_EQ(b->begin + b->end, 0u);
    });
}

} // namespace
