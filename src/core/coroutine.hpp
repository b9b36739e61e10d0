#pragma once

// Asio 1.81's spawn.hpp uses its error codes without including them.
#include <boost/asio/error.hpp>
#include <boost/asio/spawn.hpp>

#include <exception>
#include <utility>

namespace shuffler {

// Starts `body(yield)` as a stackful coroutine on `executor` (an executor, an io_context or a
// yield context, whose executor it then shares). Its first step is queued, not run here. An
// exception that leaves it is a fault of the program, not a failure of the run (each coroutine
// reports the failures it expects): it is rethrown from the loop's run(), which ends the process
// rather than leave the fault unseen.
template <class Executor, class Body>
void spawn_coroutine(Executor&& executor, Body&& body) {
    boost::asio::spawn(std::forward<Executor>(executor), std::forward<Body>(body),
                       [](std::exception_ptr fault) {
                           if (fault)
                               std::rethrow_exception(fault);
                       });
}

} // namespace shuffler
