#include "app/options.hpp"
#include "app/plan.hpp"
#include "app/run.hpp"
#include "net/port_file.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// A reader or peer that goes away must surface as a write error with its one-line report, not
// kill the process. A handler (unlike SIG_IGN) is reset on exec, so child commands keep the
// default behaviour.
void ignore_broken_pipe(int) {}

// Ends a --help or --version run: 0 only when the text really reached standard output.
int finish_stdout() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return 0;
    std::fprintf(stderr, "stdout: %s\n", std::strerror(errno));
    return 255;
}

// The --port-file of a refused command line that also listens, or "": its peers, waiting for the
// file, learn from it that no listener will come. Without --listen the path is more likely
// another listener's file, given by mistake, which must be left alone.
std::string refused_port_file(int argc, char** argv) {
    std::string path;
    bool listens = false;
    const std::string option = "--port-file";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--")
            break;
        if (arg == option && i + 1 < argc)
            path = argv[++i];
        else if (arg.compare(0, option.size() + 1, option + "=") == 0)
            path = arg.substr(option.size() + 1);
        else if (arg.compare(0, 2, "-l") == 0 || arg.compare(0, 8, "--listen") == 0)
            listens = true;
    }
    return listens ? path : std::string();
}

} // namespace

int main(int argc, char** argv) {
    shuffler::run_config config;
    try {
        config = shuffler::parse_command_line(argc, argv);
    } catch (const shuffler::command_line_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        if (const std::string path = refused_port_file(argc, argv); !path.empty()) {
            try {
                shuffler::write_failed_port_file(path, e.what());
            } catch (const std::exception&) {
                // The refusal is the news; a port file that cannot be written adds nothing.
            }
        }
        if (e.show_usage)
            shuffler::print_usage(argv[0]);
        return 1;
    }
    if (config.help) {
        shuffler::print_help(argv[0], stdout);
        return finish_stdout();
    }
    if (config.version) {
        std::printf("%s\n", shuffler::version_line().c_str());
        return finish_stdout();
    }
    if (config.plan)
        return shuffler::print_plan(config);
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
