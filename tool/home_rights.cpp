// SPDX-License-Identifier: BSD-3-Clause
#include "home_rights.h"

#include "acting_identity.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <span>

namespace {

using AttemptReport = std::array<unsigned char, 2>;  // Firefox, Thunderbird

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
// child shares, the report pipes of other homes) nor whatever its caller
// left open may reach what runs for a home. False when the pipe cannot be moved.
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

// What a report says of one attempt: only kSucceeded, written on purpose
// once the attempt has run, counts as success.
constexpr unsigned char kSucceeded = 'S';
constexpr unsigned char kFailed = 'F';

// A directory itself, not a link to one; also a mount that shuts root out
// (whose owners only the mount can tell, see checkPath).
bool isDirectory(const char *path) {
    return UniqueFd(open(path, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC)).get() >= 0;
}

bool writeWhole(int fd, std::span<const unsigned char> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

// In the attempt's process: takes the identity that access says (none when
// the caller is not root) and runs the operation.
int runAttempt(const ProfileAccess *access, const ProfileOperation &operation, const char *home,
               ProfileApp app) {
    if (access == nullptr) return operation(home, app, nullptr);
    if (!takeIdentity(access->identity, home)) return 0;
    if (access->identity.kind != PathOwner::Kind::Root) return operation(home, app, nullptr);
    std::array<char, 64> directory{};
    if (access->directory)
        std::snprintf(directory.data(), directory.size(), "/proc/self/fd/%d",
                      access->directory.get());
    return operation(home, app, directory.data());
}

// In the child: one attempt in a process of its own, which reports through a
// pipe of its own; kSucceeded only when that report says so.
unsigned char attemptInOwnProcess(const ProfileAccess *access, const ProfileOperation &operation,
                                  const char *home, ProfileApp app) {
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) return kFailed;
    const pid_t attempt = fork();
    if (attempt == 0) {
        // What runs here must not reach the sweep's pipe.
        close(kChildReportFd);
        close(fds[0]);
        const unsigned char report =
            runAttempt(access, operation, home, app) == 1 ? kSucceeded : kFailed;
        writeWhole(fds[1], std::span(&report, 1));
        _exit(0);
    }
    close(fds[1]);
    unsigned char report = kFailed;
    if (attempt > 0) {
        ssize_t got = 0;
        do {
            got = read(fds[0], &report, 1);
        } while (got < 0 && errno == EINTR);
        if (got != 1) report = kFailed;  // ended, or was killed, without a report
        while (waitpid(attempt, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    close(fds[0]);
    return report == kSucceeded ? kSucceeded : kFailed;
}

AttemptReport runAttempts(const char *home, HomeRights rights, const ProfileOperation &operation) {
    // A caller that is not root has no rights to give away.
    const bool root = geteuid() == 0;
    if (root && rights == HomeRights::Owner && !isDirectory(home)) return {kFailed, kFailed};
    AttemptReport report{kFailed, kFailed};
    std::size_t next = 0;
    for (const ProfileApp app : {ProfileApp::Firefox, ProfileApp::Thunderbird}) {
        // Decided afresh for each attempt, right before it runs.
        const ProfileAccess access = root ? checkProfileAccess(home, app) : ProfileAccess{};
        report.at(next++) = attemptInOwnProcess(root ? &access : nullptr, operation, home, app);
    }
    return report;
}

[[noreturn]] void runChild(const char *home, HomeRights rights, const ProfileOperation &operation,
                           int reportFd) {
    // _exit: the parent's stdio buffers and exit handlers are not the child's.
    // Without a report the parent counts two failures.
    if (!keepOnlyReportPipe(reportFd)) _exit(0);
    if (!detachFromTerminal()) _exit(0);
    const AttemptReport report = runAttempts(home, rights, operation);
    writeWhole(kChildReportFd, report);
    _exit(0);
}

}  // namespace

HomeAttempts::HomeAttempts(const char *home, HomeRights rights, const ProfileOperation &operation,
                           std::chrono::milliseconds time_limit)
    : deadline_(std::chrono::steady_clock::now() + time_limit) {
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        settled_ = true;
        return;
    }
    std::fflush(stdout);
    child_ = fork();
    if (child_ == 0) {
        close(fds[0]);
        runChild(home, rights, operation, fds[1]);
    }
    close(fds[1]);
    reportFd_ = fds[0];
    if (child_ < 0 || fcntl(reportFd_, F_SETFL, O_NONBLOCK) != 0) settle(false);
}

HomeAttempts::~HomeAttempts() {
    if (!settled_) settle(false);
    reap();
}

void HomeAttempts::reap() {
    while (child_ > 0 && waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    if (reportFd_ >= 0) close(reportFd_);
    reportFd_ = -1;
}

bool HomeAttempts::progress() {
    while (child_ > 0 && reportFd_ >= 0) {
        std::array<unsigned char, 2> bytes{};
        const std::span<unsigned char> rest =
            settled_ ? std::span(bytes) : std::span(report_).subspan(got_);
        const ssize_t n = read(reportFd_, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            // The child has ended (its end of the pipe is closed with it).
            if (!settled_) settle(false);
            reap();
            break;
        }
        if (settled_) continue;  // nothing more is expected; wait for the end
        got_ += static_cast<std::size_t>(n);
        if (got_ == report_.size()) settle(true);
    }
    // Past the deadline, a child that has not reported is given up, and one
    // that reported but did not end is ended.
    if (child_ > 0 && std::chrono::steady_clock::now() >= deadline_) {
        if (settled_) {
            kill(-child_, SIGKILL);
            kill(child_, SIGKILL);
            reap();
        } else {
            settle(false);
        }
    }
    return settled_;
}

void HomeAttempts::settle(bool complete) {
    settled_ = true;
    // Late, gone already or ended without a report: the child and whatever
    // it started in its session are done. A child that reported ends by
    // itself and is reaped when its end of the pipe closes.
    if (!complete) {
        if (child_ > 0) {
            kill(-child_, SIGKILL);
            kill(child_, SIGKILL);
        }
        reap();
        return;
    }
    results_ = {report_[0] == kSucceeded ? 1 : 0, report_[1] == kSucceeded ? 1 : 0};
}

HomeResults runProfileAttempts(const char *home, HomeRights rights,
                               const ProfileOperation &operation,
                               std::chrono::milliseconds time_limit) {
    HomeAttempts attempts(home, rights, operation, time_limit);
    while (!attempts.progress()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            attempts.deadline() - std::chrono::steady_clock::now());
        pollfd ready{attempts.pollFd(), POLLIN, 0};
        poll(&ready, 1, static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 60000)));
    }
    return attempts.results();
}
