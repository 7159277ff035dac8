#include "home_rights.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <span>

namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

using AttemptReport = std::array<unsigned char, 2>;  // Firefox, Thunderbird

// In the child: becomes the owner of home (user, group, and that group as the
// only supplementary group). Root-owned homes, HomeRights::Root and callers
// that are not root keep their rights. False when the rights could not be
// taken completely.
bool takeHomeRights(const char *home, HomeRights rights) {
    if (rights == HomeRights::Root || geteuid() != 0) return true;
    struct stat status {};
    if (lstat(home, &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    if (status.st_uid == 0) return true;

    const uid_t uid = status.st_uid;
    const gid_t gid = status.st_gid;
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return false;
    uid_t realUid = 0, effectiveUid = 0, savedUid = 0;
    gid_t realGid = 0, effectiveGid = 0, savedGid = 0;
    if (getresuid(&realUid, &effectiveUid, &savedUid) != 0 ||
        getresgid(&realGid, &effectiveGid, &savedGid) != 0)
        return false;
    return realUid == uid && effectiveUid == uid && savedUid == uid && realGid == gid &&
           effectiveGid == gid && savedGid == gid;
}

// In the child: leaves the caller's session and terminal behind, so that
// nothing run for a home (a user's own module list names libraries that NSS
// loads) can reach the administrator's terminal. Standard input, output and
// error become /dev/null; the child has nothing to print.
bool detachFromTerminal() {
    if (setsid() < 0) return false;
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) return false;
    const bool redirected = dup2(null, 0) == 0 && dup2(null, 1) == 1 && dup2(null, 2) == 2;
    if (null > 2) close(null);
    return redirected;
}

// In the child: the report pipe moves to descriptor 3, above standard input,
// output and error, which detaching replaces (a caller started without them
// leaves the pipe among them), and every other descriptor is closed. Neither
// the sweeping process's own (the listing of "/home", whose position the
// child shares) nor whatever its caller left open may reach what runs for a
// home. False when the pipe cannot be moved.
constexpr int kChildReportFd = 3;

bool keepOnlyReportPipe(int reportFd) {
    if (reportFd != kChildReportFd && dup2(reportFd, kChildReportFd) != kChildReportFd)
        return false;
    if (close_range(kChildReportFd + 1, ~0u, 0) != 0) {  // kernels without close_range
        const long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = kChildReportFd + 1; fd < limit; ++fd) close(static_cast<int>(fd));
    }
    return true;
}

[[noreturn]] void runChild(const char *home, HomeRights rights, const ProfileOperation &operation,
                           int reportFd) {
    // _exit: the parent's stdio buffers and exit handlers are not the child's.
    // Without a report the parent counts two failures.
    if (!keepOnlyReportPipe(reportFd)) _exit(0);
    AttemptReport report{0, 0};
    if (detachFromTerminal() && takeHomeRights(home, rights)) {
        report[0] = operation(home, ProfileApp::Firefox) == 1 ? 1 : 0;
        report[1] = operation(home, ProfileApp::Thunderbird) == 1 ? 1 : 0;
    }
    ssize_t written = 0;
    do {
        written = write(kChildReportFd, report.data(), report.size());
    } while (written < 0 && errno == EINTR);
    _exit(0);
}

// Reads the child's two results, waiting at most until deadline.
bool readReport(int fd, AttemptReport &report, std::chrono::steady_clock::time_point deadline) {
    std::size_t got = 0;
    while (got < report.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (polled < 0 && errno == EINTR) continue;
        if (polled < 0) return false;
        if (polled == 0) continue;
        const std::span<unsigned char> rest = std::span(report).subspan(got);
        const ssize_t n = read(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void reap(pid_t child) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

HomeResults runProfileAttempts(const char *home, HomeRights rights,
                               const ProfileOperation &operation,
                               std::chrono::milliseconds time_limit) {
    const auto deadline = std::chrono::steady_clock::now() + time_limit;
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) return {};
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) return {};
    if (child == 0) {
        readEnd.reset();
        runChild(home, rights, operation, writeEnd.get());
    }
    writeEnd.reset();

    AttemptReport report{};
    const bool complete = readReport(readEnd.get(), report, deadline);
    if (!complete) kill(child, SIGKILL);  // late, or gone already: either way done
    reap(child);
    if (!complete) return {};
    return {report[0], report[1]};
}
