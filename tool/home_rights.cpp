// SPDX-License-Identifier: BSD-3-Clause
#include "home_rights.h"

#include "acting_identity.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

bool isDirectory(const char *path) {
    struct stat status {};
    return lstat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// In the child: one attempt in a process of its own that takes identity
// first; 1 when it ran and succeeded.
unsigned char attemptAs(const PathOwner &identity, const ProfileOperation &operation,
                        const char *home, ProfileApp app) {
    const pid_t attempt = fork();
    if (attempt < 0) return 0;
    if (attempt == 0) _exit(takeIdentity(identity) && operation(home, app) == 1 ? 1 : 0);
    int status = 0;
    while (waitpid(attempt, &status, 0) < 0)
        if (errno != EINTR) return 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 1 ? 1 : 0;
}

AttemptReport runAttempts(const char *home, HomeRights rights, const ProfileOperation &operation) {
    auto attempt = [&](ProfileApp app) -> unsigned char {
        return operation(home, app) == 1 ? 1 : 0;
    };
    // A caller that is not root has no rights to give away.
    if (geteuid() != 0) return {attempt(ProfileApp::Firefox), attempt(ProfileApp::Thunderbird)};
    if (rights == HomeRights::Owner && !isDirectory(home)) return {0, 0};

    const PathOwner firefox = profileIdentity(home, ProfileApp::Firefox);
    const PathOwner thunderbird = profileIdentity(home, ProfileApp::Thunderbird);
    if (firefox == thunderbird) {
        if (!takeIdentity(firefox)) return {0, 0};
        return {attempt(ProfileApp::Firefox), attempt(ProfileApp::Thunderbird)};
    }
    return {attemptAs(firefox, operation, home, ProfileApp::Firefox),
            attemptAs(thunderbird, operation, home, ProfileApp::Thunderbird)};
}

[[noreturn]] void runChild(const char *home, HomeRights rights, const ProfileOperation &operation,
                           int reportFd) {
    // _exit: the parent's stdio buffers and exit handlers are not the child's.
    // Without a report the parent counts two failures.
    if (!keepOnlyReportPipe(reportFd)) _exit(0);
    AttemptReport report{0, 0};
    if (detachFromTerminal()) report = runAttempts(home, rights, operation);
    ssize_t written = 0;
    do {
        written = write(kChildReportFd, report.data(), report.size());
    } while (written < 0 && errno == EINTR);
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
    while (child_ > 0 && waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

bool HomeAttempts::reaped() {
    if (child_ > 0 && waitpid(child_, nullptr, WNOHANG) != 0) child_ = -1;
    return child_ <= 0;
}

bool HomeAttempts::progress() {
    while (!settled_ && got_ < report_.size()) {
        const std::span<unsigned char> rest = std::span(report_).subspan(got_);
        const ssize_t n = read(reportFd_, rest.data(), rest.size());
        if (n > 0) {
            got_ += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else {
            settle(false);  // ended without a whole report
        }
    }
    if (!settled_ && got_ == report_.size()) settle(true);
    if (!settled_ && std::chrono::steady_clock::now() >= deadline_) settle(false);
    return settled_;
}

void HomeAttempts::settle(bool complete) {
    settled_ = true;
    // Late, gone already or ended without a report: the child and whatever
    // it started in its session are done. A child that reported ends by
    // itself and is reaped later.
    if (child_ > 0 && !complete) {
        kill(-child_, SIGKILL);
        kill(child_, SIGKILL);
        while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
        }
        child_ = -1;
    }
    if (reportFd_ >= 0) close(reportFd_);
    reportFd_ = -1;
    if (complete) results_ = {report_[0], report_[1]};
}

HomeResults runProfileAttempts(const char *home, HomeRights rights,
                               const ProfileOperation &operation,
                               std::chrono::milliseconds time_limit) {
    HomeAttempts attempts(home, rights, operation, time_limit);
    while (!attempts.progress()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            attempts.deadline() - std::chrono::steady_clock::now());
        pollfd ready{attempts.reportFd(), POLLIN, 0};
        poll(&ready, 1, static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 60000)));
    }
    return attempts.results();
}
