#include "buffers/wait_queue.hpp"

#include "buffers/pool_fixture.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <string>

namespace {

TEST(WaitQueue, ResumesWaitersOldestFirstThrowingOrFillingTheErrorSlot) {
    boost::asio::io_context io;
    shuffler::wait_queue queue;
    std::vector<std::string> events;
    // Waiters 2 and 4 give their yield context an error-code slot; the others do not.
    for (int i = 1; i <= 5; ++i) {
        boost::asio::spawn(io, [&, i](boost::asio::yield_context yield) {
            const std::string name = std::to_string(i);
            try {
                boost::system::error_code ec;
                if (i % 2 == 0) {
                    queue.wait(yield[ec]);
                    events.push_back(name + " ec " + std::to_string(ec.value()));
                } else {
                    queue.wait(yield);
                    events.push_back(name + " ok");
                }
            } catch (const boost::system::system_error& e) {
                events.push_back(name + " threw " + std::to_string(e.code().value()));
            }
        });
    }
    shuffler_test::poll(io);
    ASSERT_EQ(queue.size(), 5u);

    queue.wake_one(boost::system::error_code());
    queue.wake_one(boost::asio::error::eof);
    queue.wake_one(boost::asio::error::eof);
    EXPECT_EQ(events, (std::vector<std::string>{"1 ok", "2 ec 2", "3 threw 2"}));
    queue.cancel_all();
    EXPECT_EQ(events,
              (std::vector<std::string>{"1 ok", "2 ec 2", "3 threw 2", "4 ec 125", "5 threw 125"}));
    EXPECT_TRUE(queue.empty());
    queue.cancel_all(); // nothing waits: nothing happens
    queue.wake_one(boost::system::error_code());
    EXPECT_EQ(shuffler_test::poll(io), 0u) << "wake-ups must not go through the loop";
}

} // namespace
