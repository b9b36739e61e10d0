#pragma once

#include <boost/asio/execution_context.hpp>
#include <boost/asio/io_context.hpp>

#include <type_traits>
#include <utility>

namespace shuffler {

namespace detail {

template <class T, class = void> struct has_shutdown : std::false_type {};
template <class T>
struct has_shutdown<T, std::void_t<decltype(std::declval<T&>().shutdown())>> : std::true_type {};

// Holds one T for a loop: an Asio service, so the T belongs to the loop, not to the process, and
// goes with it. A T with a shutdown() has it called when the loop shuts down, before the loop's
// pending handlers are destroyed.
template <class T> class loop_state_service : public boost::asio::execution_context::service {
public:
    static inline boost::asio::execution_context::id id;
    explicit loop_state_service(boost::asio::execution_context& owner) : service(owner) {}
    T value;

private:
    void shutdown() override {
        if constexpr (has_shutdown<T>::value)
            value.shutdown();
    }
};

} // namespace detail

// The loop's one T, made (default-constructed) at the first call.
template <class T> T& loop_state(boost::asio::io_context& io) {
    return boost::asio::use_service<detail::loop_state_service<T>>(io).value;
}

} // namespace shuffler
