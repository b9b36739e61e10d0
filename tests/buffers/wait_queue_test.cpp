#include "buffers/wait_queue.hpp"

#include "buffers/pool_fixture.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

using namespace shuffler;
using namespace shuffler_test;

namespace {

// Waiters woken by their tags leave from the middle of the queue (a session that fails while
// others of its group wait); the rest keep their order, and every waiter resumes once, through the
// loop, never inside the waker's call.
TEST(WaitQueue, WaitersWokenByTagFromTheMiddleLeaveTheOthersInOrder) {
    boost::asio::io_context io;
    wait_queue queue;
    std::vector<std::string> events;
    const int tags[5] = {};
    for (int i = 0; i < 5; ++i)
        spawn_coroutine(io, [&, i](const boost::asio::yield_context& yield) {
            try {
                queue.wait(yield, &tags[i]);
                events.push_back(std::to_string(i) + " woken");
            } catch (const boost::system::system_error& e) {
                events.push_back(std::to_string(i) + " ended");
            }
        });
    poll(io);
    ASSERT_EQ(queue.size(), 5u);
    EXPECT_TRUE(queue.wake(&tags[2], boost::asio::error::operation_aborted));
    EXPECT_TRUE(queue.wake(&tags[1], boost::asio::error::operation_aborted));
    EXPECT_FALSE(queue.wake(&tags[1], boost::asio::error::operation_aborted));
    EXPECT_EQ(queue.front_tag(), &tags[0]);
    EXPECT_TRUE(events.empty()) << "resumed inside the waker's call";
    queue.wake_one(boost::system::error_code());
    queue.wake_all();
    EXPECT_TRUE(queue.empty());
    poll(io);
    EXPECT_EQ(events, (std::vector<std::string>{"2 ended", "1 ended", "0 woken", "3 woken",
                                                "4 woken"}));
}

} // namespace
