// SPDX-License-Identifier: BSD-3-Clause
// qvkvtoken as a program: foreground and background modes, clean unmount on
// signals, clear errors, and the script that puts the tokens under /dev.
// Every process started here is a child (or, since the test process is
// process 1 of its own PID namespace, an adopted grandchild) of the test, and
// is ended by its id when a test ends.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "vtoken_fixture.h"

using qvk::test::read_file;
using qvk::test::TempDir;
using qvk::test::VirtualToken;

namespace {

// Direct children of this process (adopted orphans included).
std::vector<pid_t> children() {
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent *entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        const auto close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        std::istringstream fields(stat.substr(close_paren + 1));
        std::string state;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == getpid()) found.push_back(pid);
    }
    closedir(proc);
    return found;
}

bool mounted(const std::string &path) {
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);)
        if (line.find(" " + path + " ") != std::string::npos) return true;
    return false;
}

bool wait_for(const std::function<bool()> &condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Ends, by id, every process this test started or adopted, and lazily
// unmounts the mount point, whatever happened in the test.
class ProcessGuard {
public:
    explicit ProcessGuard(std::string mountpoint) : mountpoint_(std::move(mountpoint)) {}
    ~ProcessGuard() {
        umount2(mountpoint_.c_str(), MNT_DETACH);
        for (const pid_t pid : children()) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    std::string mountpoint_;
};

struct ProgramRun {
    int status = -1;  // exit status, or -1 when ended by a signal
    std::string output;
};

// Starts the program, from `working_directory` when one is given.
pid_t start(const std::vector<std::string> &arguments, const std::string &output_path,
            const std::string &working_directory = {}) {
    std::vector<std::string> copy = arguments;
    std::vector<char *> argv;
    for (std::string &argument : copy) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!working_directory.empty() && chdir(working_directory.c_str()) != 0) _exit(126);
        const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

ProgramRun finish(pid_t pid, const std::string &output_path) {
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(output_path)};
}

ProgramRun run(const std::vector<std::string> &arguments, const TempDir &directory,
               const std::string &working_directory = {}) {
    const std::string output = directory / "output.txt";
    return finish(start(arguments, output, working_directory), output);
}

class Program : public ::testing::Test {
protected:
    void SetUp() override { QVK_REQUIRE_VIRTUAL_TOKEN(); }
    TempDir directory;
    const std::string mountpoint = directory / "mnt";
    const std::string program = VirtualToken::program();
};

TEST_F(Program, ForegroundUnmountsCleanlyOnSigtermAndSigint) {
    qvk::test::make_directories(mountpoint);
    ProcessGuard guard(mountpoint);
    for (const int signal : {SIGTERM, SIGINT}) {
        const std::string output = directory / "output.txt";
        const pid_t pid = start({program, "-f", "-n", "0", mountpoint}, output);
        ASSERT_TRUE(wait_for([&] { return qvk::test::is_fuse_mount(mountpoint); }))
            << read_file(output);
        EXPECT_EQ(access((mountpoint + "/QVUsbKey0").c_str(), F_OK), 0);
        kill(pid, signal);
        const ProgramRun ended = finish(pid, output);
        EXPECT_EQ(ended.status, 0) << "signal " << signal << ": " << ended.output;
        EXPECT_FALSE(mounted(mountpoint)) << "signal " << signal;
    }
}

TEST_F(Program, BackgroundModeReturnsOnceMountedAndServes) {
    qvk::test::make_directories(mountpoint);
    ProcessGuard guard(mountpoint);
    // Named relative to where it starts: the background process runs from
    // "/" and must still unmount this mount point when it stops.
    const ProgramRun started =
        run({program, "-n", "2", "-F", "0015=text:hi", "mnt"}, directory, directory.path());
    ASSERT_EQ(started.status, 0) << started.output;
    EXPECT_TRUE(qvk::test::is_fuse_mount(mountpoint)) << "mounted before the command returned";

    const int node = open((mountpoint + "/QVUsbKey2").c_str(), O_RDWR);
    ASSERT_GE(node, 0);
    const unsigned char select[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x15};
    EXPECT_EQ(write(node, select, sizeof select), 7);
    unsigned char answer[2038];
    ASSERT_EQ(read(node, answer, sizeof answer), 2);
    EXPECT_EQ(answer[0], 0x90);
    EXPECT_EQ(read(node, answer, sizeof answer), 0) << "an answer is read once";

    // A command longer than the driver's buffer is refused whole; an answer is
    // never cut to fit a short read, and waits for a read that can take it.
    const std::vector<unsigned char> too_long(2039, 0);
    EXPECT_EQ(write(node, too_long.data(), too_long.size()), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    ASSERT_EQ(write(node, challenge, sizeof challenge), 5);
    EXPECT_EQ(read(node, answer, 4), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(read(node, answer, sizeof answer), 10);
    close(node);

    EXPECT_EQ(read_file(mountpoint + "/.control"), "QVUsbKey2 plugged fault=none\n");
    ASSERT_EQ(system(("echo 'plug 7' > " + mountpoint + "/.control").c_str()), 0)
        << "a shell's truncating open of the control file works";
    EXPECT_EQ(access((mountpoint + "/QVUsbKey7").c_str(), F_OK), 0);

    const std::vector<pid_t> daemons = children();
    ASSERT_EQ(daemons.size(), 1u) << "the background process, adopted by this test";
    kill(daemons[0], SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(daemons[0], &status, 0), daemons[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(mounted(mountpoint));
}

TEST_F(Program, ClearErrorsForBadSpecsMissingOrBusyMountPoints) {
    // Should a run be accepted after all, it goes to the background: the
    // guard ends it rather than leave it serving for good.
    ProcessGuard guard(mountpoint);
    ProgramRun result = run({program, "-F", "15:10", mountpoint}, directory);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.output.find("bad file description '15:10'"), std::string::npos) << result.output;

    result = run({program, "-n", "0", mountpoint}, directory);  // not created yet
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("No such file or directory"), std::string::npos) << result.output;

    VirtualToken token(qvk::test::VirtualTokenSetup().with_nodes({0}).without_dev_links());
    result = run({program, "-n", "1", token.mountpoint()}, directory);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("is in use"), std::string::npos) << result.output;
    EXPECT_EQ(access((token.mountpoint() + "/QVUsbKey1").c_str(), F_OK), -1)
        << "nothing was stacked on the busy mount";

    // The program of a mount dies: the mount point answers ENOTCONN.
    token.kill_program();
    ASSERT_TRUE(wait_for([&] { return access(token.node_path(0).c_str(), F_OK) != 0; }));
    result = run({program, "-n", "1", token.mountpoint()}, directory);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("whose program has gone"), std::string::npos) << result.output;

    result = run({program, "--help"}, directory);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("Usage: qvkvtoken"), std::string::npos);
}

TEST_F(Program, MissingFuseDeviceIsReported) {
    qvk::test::make_directories(mountpoint);
    qvk::test::private_dev({"null"});
    const ProgramRun result = run({program, "-n", "0", mountpoint}, directory);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("/dev/fuse is missing"), std::string::npos) << result.output;
    EXPECT_FALSE(mounted(mountpoint));
}

TEST_F(Program, DevScriptRunsACommandAgainstTheTokensAndCleansUp) {
    ProcessGuard guard(mountpoint);
    // SELECT of file 0015 on /dev/QVUsbKey2, then unplug it and list /dev again.
    const std::string command =
        "exec 3<>/dev/QVUsbKey2 && printf '\\000\\244\\000\\000\\002\\000\\025' >&3 && "
        "dd bs=2038 count=1 <&3 2>/dev/null | od -An -tx1 && exec 3>&- && "
        "ls /dev | grep QVUsbKey | while read n; do [ -e /dev/$n ] && echo present $n; done; "
        "echo 'unplug 2' > \"$QVK_VTOKEN_MOUNT/.control\" && "
        "{ [ -e /dev/QVUsbKey2 ] || echo gone QVUsbKey2; }";
    const ProgramRun result = run({"/bin/bash", QVK_DEV_SCRIPT, "--vtoken", program, "-n", "2,5", "-F",
                            "0015:4", "--", "/bin/sh", "-c", command},
                           directory);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find(" 90 00"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("present QVUsbKey2\npresent QVUsbKey5\n"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("present QVUsbKey0"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("gone QVUsbKey2"), std::string::npos) << result.output;
    EXPECT_TRUE(children().empty()) << "the script left a process behind";
    EXPECT_EQ(access("/dev/QVUsbKey2", F_OK), -1) << "the script's /dev stayed private";

    const ProgramRun failed = run({"/bin/bash", QVK_DEV_SCRIPT, "--vtoken", program, "-F", "bad", "--",
                            "/bin/true"},
                           directory);
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.output.find("bad file description 'bad'"), std::string::npos) << failed.output;
    EXPECT_TRUE(children().empty());
}

}  // namespace
