#include "core/report.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace shuffler;

// Boost adds the category, the number and the source file of the failure to what a system error
// says: an error line keeps the words, and a prefix given to the error.
TEST(ErrorText, SaysASystemErrorInWordsWithoutBoostsBrackets) {
    static constexpr boost::source_location here = BOOST_CURRENT_LOCATION;
    const boost::system::error_code reset(ECONNRESET, boost::system::system_category(), &here);
    const boost::system::system_error plain(reset), prefixed(reset, "reading the socket");
    ASSERT_NE(std::string(plain.what()).find('['), std::string::npos); // what Boost says
    EXPECT_EQ(error_text(plain), "Connection reset by peer");
    EXPECT_EQ(error_text(prefixed), "reading the socket: Connection reset by peer");
    EXPECT_EQ(error_text(std::runtime_error("a line [of its own]")), "a line [of its own]");
}
