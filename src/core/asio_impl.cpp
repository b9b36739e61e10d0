// Asio's compiled parts, built once for the whole project.
#include <boost/asio/impl/src.hpp>
