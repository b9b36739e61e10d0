#pragma once

// Running the record readers on real pipes: a `cat` child feeds each stream from a file.

#include "io/record_reader.hpp"
#include "support/process.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <memory>
#include <string>

namespace shuffler_test {

// Opens `stream`, named `name`, on the bytes `data` (read by a `cat` child from a file in `dir`).
inline void open_stream(shuffler::record_reader& stream, boost::asio::io_context& io,
                        const temp_dir& dir, const std::string& data,
                        const std::string& name = "in") {
    write_file(dir.file(name), data);
    stream.pipe = std::make_unique<shuffler::endpoint>(io);
    stream.pipe->open_command("cat " + dir.file(name), "r");
    stream.name = name;
}

// The bytes the stream holds and has not handed out yet.
inline std::string unread(const shuffler::record_reader& stream) {
    return std::string(stream.cursor, stream.cursor + stream.available);
}

// What `call` throws: "eof" for end of input, "system error N" for other system errors, the
// text of any other error, or "" when it returns.
template <class Call> std::string thrown_by(Call call) {
    try {
        call();
    } catch (const boost::system::system_error& e) {
        return e.code() == boost::asio::error::eof
                   ? "eof"
                   : "system error " + std::to_string(e.code().value());
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

} // namespace shuffler_test
