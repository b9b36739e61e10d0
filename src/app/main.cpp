#include "app/options.hpp"
#include "app/run.hpp"

#include <csignal>
#include <cstdio>

namespace {

// A reader or peer that goes away must surface as a write error with its one-line report, not
// kill the process. A handler (unlike SIG_IGN) is reset on exec, so child commands keep the
// default behaviour.
void ignore_broken_pipe(int) {}

} // namespace

int main(int argc, char** argv) {
    shuffler::run_config config;
    try {
        config = shuffler::parse_command_line(argc, argv);
    } catch (const shuffler::command_line_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        if (e.show_usage)
            shuffler::print_usage(argv[0]);
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = ignore_broken_pipe;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
    // Inherited as ignored, SIGCHLD would make the kernel reap children itself, and no child's
    // exit status could ever be read.
    std::signal(SIGCHLD, SIG_DFL);
    return shuffler::run(config);
}
