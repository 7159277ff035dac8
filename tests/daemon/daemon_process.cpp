// SPDX-License-Identifier: BSD-3-Clause
#include "daemon_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "qvk_segment.h"
#include "sandbox.h"

namespace qvk::test {
namespace {

// The fields of /proc/<pid>/stat after the command name, from field 3 on.
std::vector<std::string> stat_fields(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) return fields;
    std::istringstream rest(stat.substr(close + 2));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

// Empties the bounding, inheritable and ambient capability sets, so that
// root keeps no capability across execve (as the service's
// CapabilityBoundingSet= leaves it).
bool drop_capabilities() {
    for (int capability = 0; capability <= 63; ++capability)
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL) return false;
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[0].inheritable = data[1].inheritable = 0;
    return syscall(SYS_capset, &header, data) == 0;
}

// Daemons that a live DaemonProcess owns.
std::set<pid_t> &owned_daemons() {
    static std::set<pid_t> owned;
    return owned;
}

// The child of this process that runs qvkserver (zombies included) and that
// no other DaemonProcess owns.
pid_t find_daemon_child() {
    DIR *proc = opendir("/proc");
    pid_t found = 0;
    while (dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::vector<std::string> fields = stat_fields(pid);
        if (fields.size() < 2 || std::stoi(fields[1]) != getpid() || owned_daemons().count(pid) != 0) continue;
        if (read_file("/proc/" + std::to_string(pid) + "/comm") == "qvkserver\n") found = pid;
    }
    if (proc != nullptr) closedir(proc);
    return found;
}

}  // namespace

DaemonProcess::DaemonProcess(const std::string &working_directory,
                             const std::vector<std::string> &environment,
                             const std::string &output_directory, DaemonOptions options)
    : output_directory_(output_directory) {
    const std::string out = output_directory + "/stdout";
    const std::string err = output_directory + "/stderr";
    std::vector<std::string> entries{"PATH=/usr/bin:/bin"};
    entries.insert(entries.end(), environment.begin(), environment.end());
    std::vector<char *> envp;
    for (std::string &entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    // QVK_TEST_SERVER names another build of the daemon to run instead, e.g.
    // the 32-bit one serving this 64-bit test program.
    const char *chosen = std::getenv("QVK_TEST_SERVER");
    std::string program = chosen != nullptr && *chosen != '\0' ? chosen : QVK_SERVER_PATH;
    std::vector<std::string> arguments = options.arguments;
    std::vector<char *> argv{program.data()};
    for (std::string &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t starter = fork();
    if (starter == -1) throw std::runtime_error("fork failed");
    if (starter == 0) {
        // As from a shell: SIGPIPE as the system sets it, not as the tests do.
        signal(SIGPIPE, SIG_DFL);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_fd < 0 || err_fd < 0 || chdir(working_directory.c_str()) != 0) _exit(126);
        if (options.descriptor_hard_limit != 0) {
            const rlimit limit{options.descriptor_soft_limit, options.descriptor_hard_limit};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
        }
        if (options.inherited_descriptor >= 0 && dup2(options.inherited_descriptor, 10) != 10) _exit(125);
        if (options.without_capabilities && !drop_capabilities()) _exit(125);
        if (options.close_standard_streams) {
            for (int descriptor = 0; descriptor <= 2; ++descriptor) close(descriptor);
        } else {
            const int null_fd = open("/dev/null", O_RDONLY);
            if (null_fd < 0) _exit(126);
            dup2(null_fd, 0);
            if (options.close_standard_input) close(0);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            int unread[2];
            if (options.broken_standard_error && (pipe(unread) != 0 || dup2(unread[1], 2) != 2 || close(unread[0]) != 0))
                _exit(125);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    waitpid(starter, &status, 0);
    starter_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = find_daemon_child();
    if (pid_ != 0) owned_daemons().insert(pid_);
}

DaemonProcess::~DaemonProcess() {
    if (pid_ != 0 && !exit_status_) {
        kill(pid_, SIGKILL);
        reap(0);
    }
    owned_daemons().erase(pid_);
}

bool DaemonProcess::reap(int options) {
    int status = 0;
    if (waitpid(pid_, &status, options) != pid_) return false;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool DaemonProcess::wait_until_serving(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ != 0 && !exit_status_ && std::chrono::steady_clock::now() < deadline) {
        if (reap(WNOHANG)) return false;
        const int set = semget(SEM_SERVER_KEY, 0, 0);
        if (set != -1 && semctl(set, 0, GETNCNT) == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::optional<int> DaemonProcess::wait_for_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ != 0 && !exit_status_ && std::chrono::steady_clock::now() < deadline) {
        if (!reap(WNOHANG)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return exit_status_;
}

std::string DaemonProcess::standard_output() const { return read_file(output_directory_ + "/stdout"); }
std::string DaemonProcess::standard_error() const { return read_file(output_directory_ + "/stderr"); }

std::uint64_t DaemonProcess::cpu_ticks() const {
    // utime and stime are fields 14 and 15 of the stat line.
    const std::vector<std::string> fields = stat_fields(pid_);
    if (fields.size() < 13) throw std::runtime_error("no stat for the daemon");
    return std::stoull(fields[11]) + std::stoull(fields[12]);
}

}  // namespace qvk::test
