#pragma once

#include <string>
#include <sys/types.h>

namespace shuffler {

// Files made beside a file another user may also name: in a folder others can write, any name
// that can be guessed may already be taken by them (a symbolic link to a file of ours, a FIFO, a
// file of theirs they can read).

// Creates a new file named `prefix` followed by random hex digits, opened for writing with mode
// 0600 from the start; O_EXCL and O_NOFOLLOW never open anything that was already there. Its name
// goes to `name`. Throws std::system_error.
int create_private_file(const std::string& prefix, std::string& name);

// "user NAME (uid N)", or "uid N" for a uid without a name, for lines about a file's owner.
std::string describe_user(uid_t uid);

} // namespace shuffler
