// SPDX-License-Identifier: BSD-3-Clause
#include "vtoken_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qvk::test {

namespace {

constexpr long kFuseSuperMagic = 0x65735546;
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(10);
constexpr int kNodeCount = 32;

std::string join(const std::vector<int> &indices) {
    std::string text;
    for (const int index : indices) text.append(text.empty() ? "" : ",").append(std::to_string(index));
    return text;
}

// Waits for `pid` to end, up to `timeout`; true when it has been reaped,
// with its wait status in `status`.
bool reap_within(pid_t pid, std::chrono::milliseconds timeout, int &status) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (waitpid(pid, &status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

}  // namespace

std::string VirtualToken::program() { return QVK_VTOKEN_PATH; }

bool virtual_token_available() {
    return in_private_namespaces() && access("/dev/fuse", F_OK) == 0;
}

bool is_fuse_mount(const std::string &path) {
    struct statfs info{};
    return statfs(path.c_str(), &info) == 0 && info.f_type == kFuseSuperMagic;
}

void link_token_nodes_into_dev(const std::string &mountpoint) {
    private_dev({"null", "zero", "full", "random", "urandom", "tty", "fuse"});
    for (int index = 0; index < kNodeCount; ++index) {
        const std::string name = "QVUsbKey" + std::to_string(index);
        const std::string link = "/dev/" + name;
        unlink(link.c_str());
        if (symlink((mountpoint + "/" + name).c_str(), link.c_str()) != 0)
            throw std::runtime_error("symlink " + link + ": " + std::strerror(errno));
    }
}

VirtualToken::VirtualToken(const VirtualTokenSetup &setup)
    : mountpoint_(directory_ / "mnt"),
      log_path_(directory_ / "commands.log"),
      diagnostics_path_(directory_ / "stderr.txt") {
    make_directories(mountpoint_);
    std::vector<std::string> arguments{program(), "--foreground", "--log", log_path_};
    if (!setup.nodes.empty()) arguments.insert(arguments.end(), {"--node", join(setup.nodes)});
    for (const std::string &file : setup.files) arguments.insert(arguments.end(), {"--file", file});
    for (const std::string &fault : setup.faults)
        arguments.insert(arguments.end(), {"--fault", fault});
    if (setup.vpcd_port != 0)
        arguments.insert(arguments.end(), {"--vpcd", std::to_string(setup.vpcd_port)});
    arguments.push_back(mountpoint_);
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0) {
        // Ends with the test process, cleanly (SIGTERM unmounts), however it ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        const int output = open(diagnostics_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output >= 0) {
            dup2(output, STDOUT_FILENO);
            dup2(output, STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    try {
        wait_until_mounted();
        if (setup.link_dev) {
            link_token_nodes_into_dev(mountpoint_);
            linked_dev_ = true;
        }
    } catch (...) {
        stop();
        throw;
    }
}

VirtualToken::~VirtualToken() { stop(); }

void VirtualToken::wait_until_mounted() {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!is_fuse_mount(mountpoint_)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("qvkvtoken ended before mounting: " + diagnostics());
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("qvkvtoken did not mount in time: " + diagnostics());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void VirtualToken::kill_program() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void VirtualToken::stop() {
    if (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            ADD_FAILURE() << "qvkvtoken ended during the test (" << describe_status(status)
                          << "): " << diagnostics();
        } else {
            kill(pid_, SIGTERM);
            if (!reap_within(pid_, kStopTimeout, status)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                ADD_FAILURE() << "qvkvtoken did not stop on SIGTERM: " << diagnostics();
            } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                ADD_FAILURE() << "qvkvtoken did not stop cleanly (" << describe_status(status)
                              << "): " << diagnostics();
            }
        }
        pid_ = -1;
    }
    // Normally already gone; after a SIGKILL this removes the dead mount.
    umount2(mountpoint_.c_str(), MNT_DETACH);
    if (linked_dev_) {
        for (int index = 0; index < kNodeCount; ++index)
            unlink(("/dev/QVUsbKey" + std::to_string(index)).c_str());
        linked_dev_ = false;
    }
}

std::string VirtualToken::node_path(int index) const {
    return mountpoint_ + "/QVUsbKey" + std::to_string(index);
}

void VirtualToken::control(const std::string &command) {
    const std::string path = mountpoint_ + "/.control";
    const int descriptor = open(path.c_str(), O_WRONLY);
    if (descriptor < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    const std::string line = command + "\n";
    const ssize_t written = write(descriptor, line.data(), line.size());
    const int error = errno;
    close(descriptor);
    if (written != static_cast<ssize_t>(line.size()))
        throw std::runtime_error("control command '" + command + "' refused: " +
                                 std::strerror(error));
}

void VirtualToken::plug(int index) { control("plug " + std::to_string(index)); }
void VirtualToken::unplug(int index) { control("unplug " + std::to_string(index)); }
void VirtualToken::set_fault(int index, const std::string &kind) {
    control("fault " + std::to_string(index) + " " + kind);
}

std::vector<std::string> VirtualToken::commands() {
    const std::string text = read_file(log_path_);
    std::vector<std::string> lines;
    std::istringstream in(text.substr(std::min(log_offset_, text.size())));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    log_offset_ = text.size();
    return lines;
}

std::string VirtualToken::diagnostics() const { return read_file(diagnostics_path_); }

}  // namespace qvk::test
