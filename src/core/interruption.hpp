#pragma once

#include <string>
#include <sys/types.h>

namespace shuffler {

// What the signal thread and the loop share about a stop the user asked for (SIGINT, SIGTERM).
// Safe to call from any thread.

// Records that a stop was asked for by `signal`; true the first time.
bool request_stop(int signal);
// The signal of the first stop asked for, or 0. Teardown waits for children give up on it.
int stop_signal();
// "interrupted by SIGTERM": the one line of a run that a stop ended.
std::string interrupted_by(int signal);

// Files to remove should a second signal end the process at once (the port file, an unfinished
// output file): they are normally removed by their owners on the way out, which it cuts short.
void remove_if_ended_at_once(const std::string& path);
void keep_if_ended_at_once(const std::string& path);
// Removes them; called by the signal thread just before it ends the process.
void remove_abandoned_files();

// The process groups of the child commands still running. They do not share this process's
// group, so a signal to it does not reach them: a process ended at once kills them first.
void add_child_group(pid_t group);
void remove_child_group(pid_t group);
void kill_child_groups();

} // namespace shuffler
