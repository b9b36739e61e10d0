// End-to-end attacks by another user of the same machine: a second local account plants links,
// files and FIFOs where a job writes or reads its files, writes a secret file for it, and joins
// or squats its loopback ports. Each attack must fail, and the job must still deliver or fail
// with one line. Every process is real and bounded.

#include "e2e/other_user.hpp"
#include "e2e/pair_job.hpp"
#include "e2e/worker_output.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>

namespace shuffler_test {
namespace {

constexpr std::chrono::seconds limit(90);

#define NEED_OTHER_USER(user)                                                                    \
    other_user user;                                                                             \
    if (!user.made())                                                                            \
    GTEST_SKIP() << user.why_not()

// The names in `folder`, which the attacks fill.
std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// `argv` started through a shell that first runs `attack` (which may use $P, the name NAME-PID
// in `folder`, PID being the process that then becomes `argv`), as the other user.
std::vector<std::string> after_planting(const other_user& user, const std::string& folder,
                                        const std::string& name, const std::string& attack,
                                        std::vector<std::string> argv) {
    const std::string script = "P=" + folder + "/" + name + "$$; " + user.sh_prefix() +
                               "/bin/sh -c \"" + attack + "\" && exec \"$0\" \"$@\"";
    argv.insert(argv.begin(), {"/bin/sh", "-c", script});
    return argv;
}

std::string one_line(const child_result& r) { return without_timing(r.err); }

uid_t owner_of(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_uid;
}

// The plants of the attacks on a name: a link to a file of the job's user, a file of the
// attacker's that everyone may read and write, a FIFO.
struct plant {
    const char* what;
    std::string command; // uses $P
};
std::vector<plant> plants(const std::string& victim) {
    return {{"link", "ln -s " + victim + " $P"},
            {"file", "touch $P && chmod 666 $P"},
            {"fifo", "mkfifo -m 666 $P"}};
}

TEST(SharedNode, ALinkAFileOrAFifoAtThePortFilesTemporaryNameTakesNothingFromTheJob) {
    NEED_OTHER_USER(mallory);
    const temp_dir dir;
    const auto inputs = make_pair(dir, 2000);
    const std::string shared = shared_folder(dir);
    const std::string victim = dir.file("victim.txt");
    const std::string port_file = shared + "/job.port";
    for (const plant& p : plants(victim)) {
        SCOPED_TRACE(p.what);
        write_file(victim, "the user's own file\n");
        // The old name was .job.port.tmp-PID: the attacker plants there before the listener runs.
        child_process input(after_planting(
            mallory, shared, ".job.port.tmp-", p.command,
            input_args(dir, {"-l", any_loopback_port, "--port-file", port_file, "-w", "1"})));
        const child_result worker = run(shuffler({"-g", "0", "-c", "@" + port_file, "-t", "60"}),
                                        {}, limit);
        job_result job{input.wait(limit), {worker}};
        EXPECT_TRUE(job_ended_cleanly(job));
        EXPECT_TRUE(rebuilds_input(job, inputs));
        EXPECT_EQ(read_file(victim), "the user's own file\n") << "the link was followed";
        // The plant is left as it was: never written, never renamed into place.
        const auto names = names_in(shared);
        ASSERT_EQ(names.size(), 1u) << "the port file outlived the job, or the plant was taken";
        const std::string planted = shared + "/" + names[0];
        EXPECT_EQ(owner_of(planted), mallory.uid());
        if (std::string(p.what) == "file") {
            EXPECT_EQ(read_file(planted), "") << "the secret went into the attacker's file";
        }
        std::filesystem::remove(planted);
    }
}

TEST(SharedNode, APortFilePathTakenByAnotherUserIsRefusedWithOneLine) {
    NEED_OTHER_USER(mallory);
    const temp_dir dir;
    make_pair(dir, 100);
    const std::string shared = shared_folder(dir);
    const std::string victim = dir.file("victim.txt");
    write_file(victim, "the user's own file\n");
    const std::string port_file = shared + "/job.port";
    const std::vector<std::pair<plant, std::string>> cases = {
        {{"their file", "echo 127.0.0.1:1 > $P && chmod 644 $P"},
         "exists and belongs to " + mallory.described()},
        {plants(victim)[0], "exists and is not a regular file"},
        {plants(victim)[2], "exists and is not a regular file"}};
    for (const auto& [p, why] : cases) {
        SCOPED_TRACE(p.what);
        ASSERT_EQ(mallory.sh("P=" + port_file + "; " + p.command).exit_status, 0);
        const child_result r = run(
            input_args(dir, {"-l", any_loopback_port, "--port-file", port_file, "-w", "1"}), {},
            limit);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(one_line(r),
                  port_file + ": " + why + "; remove it or choose another port file\n");
        EXPECT_EQ(owner_of(port_file), mallory.uid()) << "replaced";
        EXPECT_EQ(read_file(victim), "the user's own file\n");
        std::filesystem::remove(port_file);
    }
}

TEST(SharedNode, APortFileOfAnotherUserOrAFifoIsNotFollowed) {
    NEED_OTHER_USER(mallory);
    const temp_dir dir;
    make_pair(dir, 2000);
    const std::string shared = shared_folder(dir);
    // The attacker's worker listens and names itself in a port file where the user's input side
    // looks for its workers' files.
    const std::string planted = shared + "/w1.port";
    child_process theirs(mallory.as(shuffler(
        {"-g", "0", "-l", any_loopback_port, "--port-file", planted, "--insecure", "-t", "60"})));
    ASSERT_NE(port_file_text(planted), "") << "the attacker's worker wrote no port file";
    const child_result input =
        run(shuffler({"-c", "@" + planted, "-t", "60", "-O", "blksize=2000", dir.file("r_1.fq"),
                      dir.file("r_2.fq")}),
            {}, limit);
    EXPECT_EQ(input.exit_status, 255);
    EXPECT_EQ(one_line(input), planted + ": belongs to " + mallory.described() +
                                   ", not to you; not trusted as a port file\n");
    theirs.signal(SIGTERM);
    EXPECT_EQ(theirs.wait(limit).out, "") << "the attacker received records";

    // A FIFO where a worker waits for its port file is refused at once, not waited on for ever.
    const std::string fifo = shared + "/job.port";
    ASSERT_EQ(mallory.sh("mkfifo -m 666 " + fifo).exit_status, 0);
    // A worker that waited would be killed at the bound, long before its deadline (137).
    const child_result worker =
        run(shuffler({"-g", "0", "-c", "@" + fifo, "-t", "300"}), {}, limit);
    EXPECT_EQ(worker.exit_status, 255);
    EXPECT_EQ(one_line(worker), fifo + ": not a regular file; not trusted as a port file\n");
}

TEST(SharedNode, ALinkAFileOrAFifoAtTheOutputsTemporaryNameTakesNothingFromTheJob) {
    NEED_OTHER_USER(mallory);
    const temp_dir dir;
    const auto inputs = make_pair(dir, 2000);
    const std::string shared = shared_folder(dir);
    const std::string victim = dir.file("victim.txt");
    const std::string out = shared + "/out.fq";
    for (const plant& p : plants(victim)) {
        SCOPED_TRACE(p.what);
        write_file(victim, "the user's own file\n");
        const std::string port_file = dir.file("job.port");
        child_process input(
            input_args(dir, {"-l", any_loopback_port, "--port-file", port_file, "-w", "1"}));
        // The old name was .out.fq.part-PID; the output gets the mode the umask gives.
        std::vector<std::string> worker_argv = after_planting(
            mallory, shared, ".out.fq.part-", p.command,
            shuffler({"-g", "0", "-c", "@" + port_file, "-t", "60", out}));
        worker_argv[2] = "umask 022; " + worker_argv[2];
        const child_result worker = run(worker_argv, {}, limit);
        job_result job{input.wait(limit), {worker}};
        EXPECT_TRUE(job_ended_cleanly(job));
        EXPECT_EQ(read_file(victim), "the user's own file\n") << "the link was followed";
        job.workers[0].out = read_file(out);
        EXPECT_TRUE(rebuilds_input(job, inputs));
        struct stat st {};
        ASSERT_EQ(::lstat(out.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, ::geteuid()) << "the output belongs to the attacker";
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        const auto names = names_in(shared);
        ASSERT_EQ(names.size(), 2u);
        const std::string planted = shared + "/" + names[0]; // ".out.fq.part-..." sorts first
        EXPECT_EQ(owner_of(planted), mallory.uid());
        if (std::string(p.what) == "file") {
            EXPECT_EQ(read_file(planted), "") << "the records went into the attacker's file";
        }
        std::filesystem::remove(planted);
        std::filesystem::remove(out);
    }
}

TEST(SharedNode, AnOutputThatIsALinkIsReplacedWholeOnlyWhenTheJobSucceeds) {
    NEED_OTHER_USER(mallory);
    const temp_dir dir;
    const auto inputs = make_pair(dir, 2000);
    const std::string target = dir.file("target.fq"), link = dir.file("link.fq");
    write_file(target, "kept\n");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    // A worker that fails (nobody listens) leaves the link's target as it was.
    const reserved_port nobody;
    const child_result failed =
        run(shuffler({"-g", "0", "-c", nobody.address(), "-t", "1", link}), {}, limit);
    EXPECT_EQ(failed.exit_status, 255);
    const std::string failure = one_line(failed);
    EXPECT_EQ(std::count(failure.begin(), failure.end(), '\n'), 1) << failure;
    EXPECT_EQ(read_file(target), "kept\n") << "the target was truncated";
    // One that succeeds replaces the target; the link stays a link.
    const std::string port_file = dir.file("job.port");
    child_process input(
        input_args(dir, {"-l", any_loopback_port, "--port-file", port_file, "-w", "1"}));
    const child_result worker =
        run(shuffler({"-g", "0", "-c", "@" + port_file, "-t", "60", link}), {}, limit);
    job_result job{input.wait(limit), {worker}};
    EXPECT_TRUE(job_ended_cleanly(job));
    job.workers[0].out = read_file(target);
    EXPECT_TRUE(rebuilds_input(job, inputs));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(names_in(dir.file("")).size(), 4u) << "r_1.fq r_2.fq target.fq link.fq, no more";
    // A link into /proc names a descriptor already open, written where it is: /dev/stdout is
    // the worker's standard output, here a file.
    {
        child_process again(
            input_args(dir, {"-l", any_loopback_port, "--port-file", port_file, "-w", "1"}));
        const child_result to_stdout = run(
            shuffler({"-g", "0", "-c", "@" + port_file, "-t", "60", "/dev/stdout"}), {}, limit);
        job_result through_proc{again.wait(limit), {to_stdout}};
        EXPECT_TRUE(job_ended_cleanly(through_proc));
        EXPECT_TRUE(rebuilds_input(through_proc, inputs));
    }

    // Another user's link in a folder everyone may write (/tmp) is not followed, as the kernel
    // would not follow it.
    const std::string shared = shared_folder(dir, true);
    const std::string victim = dir.file("victim.txt");
    write_file(victim, "the user's own file\n");
    const std::string planted = shared + "/out.fq";
    ASSERT_EQ(mallory.sh("ln -s " + victim + " " + planted).exit_status, 0);
    const child_result refused =
        run(shuffler({"-g", "0", "-c", nobody.address(), "-t", "5", planted}), {}, limit);
    EXPECT_EQ(refused.exit_status, 255);
    EXPECT_EQ(one_line(refused), planted + ": a symbolic link of " + mallory.described() +
                                     " in a folder everyone may write; not followed\n");
    EXPECT_EQ(read_file(victim), "the user's own file\n");
}

TEST(SharedNode, ASecretFileOfAnotherUserIsRefusedWithOneLine) {
    NEED_OTHER_USER(mallory);
    const temp_dir dir;
    const std::string shared = shared_folder(dir);
    const std::string secret = shared + "/job.secret";
    // Mode 0600, but the attacker's: they chose the secret and could join.
    ASSERT_EQ(mallory.sh("umask 077; echo a secret the attacker chose > " + secret)
                  .exit_status,
              0);
    const reserved_port nobody; // never reached: the command line is refused first
    for (const std::vector<std::string>& role :
         {std::vector<std::string>{"-l", any_loopback_port, "-w", "1"},
          std::vector<std::string>{"-g", "0", "-c", nobody.address()}}) {
        std::vector<std::string> args = role;
        args.insert(args.end(), {"-t", "5", "--secret-file", secret});
        const child_result r = run(shuffler(args), {}, limit);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, secret + ": belongs to " + mallory.described() +
                             ", not to you; a secret file must be your own\n");
    }
}

TEST(SharedNode, AnotherUserCannotJoinOrSquatAPlainLoopbackJob) {
    NEED_OTHER_USER(mallory);
    const temp_dir dir;
    const auto inputs = make_pair(dir, 2000);
    shared_folder(dir); // makes the inputs readable to the other user
    // A plain job on a known port, without a port file (which would make it TLS). The port is
    // held for the test; the input side binds it too. Workers started before it listens are
    // refused and try again.
    const reserved_port port;
    child_process input(input_args(dir, {"-l", port.address(), "-w", "1"}));
    // The attacker's worker (which trusts any listener) is dropped before the handshake, and
    // receives nothing.
    const child_result theirs = run(
        mallory.as(shuffler({"-g", "0", "-c", port.address(), "-t", "60", "--insecure"})), {},
        limit);
    EXPECT_EQ(theirs.exit_status, 255) << theirs.err;
    EXPECT_EQ(theirs.out, "");
    const child_result ours = run(shuffler({"-g", "0", "-c", port.address(), "-t", "60"}), {},
                                  limit);
    job_result job{input.wait(limit), {ours}};
    EXPECT_EQ(job.input.exit_status, 0) << job.input.err;
    const std::string notice = one_line(job.input);
    EXPECT_EQ(std::count(notice.begin(), notice.end(), '\n'), 1) << notice;
    EXPECT_NE(notice.find(": runs as " + mallory.described() +
                          ", not as this job's user; connection dropped (--insecure accepts it)"),
              std::string::npos)
        << notice;
    EXPECT_TRUE(ended_cleanly(ours));
    EXPECT_TRUE(rebuilds_input(job, inputs));

    // A loopback port the attacker listens on first gets none of the user's data.
    // The sender is refused until the squatter listens, and tries again.
    const reserved_port squatted;
    child_process squatter(mallory.as(
        shuffler({"-g", "0", "-l", squatted.address(), "-t", "60", "--insecure"})));
    const child_result sender = run(shuffler({"-c", squatted.address(), "-t", "60",
                                              dir.file("r_1.fq"), dir.file("r_2.fq")}),
                                    {}, limit);
    EXPECT_EQ(sender.exit_status, 255);
    EXPECT_EQ(one_line(sender), squatted.address() + ": the listener runs as " +
                                    mallory.described() +
                                    ", not as this job's user; not trusted (--insecure connects)\n");
    squatter.signal(SIGTERM);
    EXPECT_EQ(squatter.wait(limit).out, "");
}

TEST(SharedNode, APlainLoopbackJobServesItsOwnUserAndWithInsecureAnyone) {
    NEED_OTHER_USER(mallory);
    const temp_dir dir;
    const auto inputs = make_pair(dir, 2000);
    shared_folder(dir);
    // A job of an ordinary user, every process its own: served as ever.
    {
        const reserved_port port; // workers are refused until the input side listens there too
        child_process input(mallory.as(input_args(dir, {"-l", port.address(), "-w", "1"})));
        const child_result worker =
            run(mallory.as(shuffler({"-g", "0", "-c", port.address(), "-t", "60"})), {}, limit);
        job_result job{input.wait(limit), {worker}};
        EXPECT_TRUE(job_ended_cleanly(job));
        EXPECT_TRUE(rebuilds_input(job, inputs));
    }
    // --insecure turns the check off on both ends: anyone on the machine may join.
    {
        const reserved_port port;
        child_process input(input_args(dir, {"-l", port.address(), "-w", "1", "--insecure"}));
        const child_result worker = run(
            mallory.as(shuffler({"-g", "0", "-c", port.address(), "-t", "60", "--insecure"})), {},
            limit);
        job_result job{input.wait(limit), {worker}};
        EXPECT_TRUE(job_ended_cleanly(job));
        EXPECT_TRUE(rebuilds_input(job, inputs));
    }
}

} // namespace
} // namespace shuffler_test
