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
#include <optional>
#include <string>

namespace {

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

// The child's reports, each written on purpose: first how many attempts it
// runs (one byte, kFirstCount + n), then, right after each of them has run,
// kSucceeded or kFailed. Only kSucceeded counts as success.
constexpr unsigned char kFirstCount = '0';
constexpr unsigned char kSucceeded = 'S';
constexpr unsigned char kFailed = 'F';

constexpr std::array<ProfileApp, 2> kApps{ProfileApp::Firefox, ProfileApp::Thunderbird};

// A directory itself, not a link to one; also a mount that shuts root out
// (whose owners only the mount can tell, see checkPath).
bool isDirectory(const char *path) {
    return UniqueFd(open(path, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC)).get() >= 0;
}

bool writeByte(int fd, unsigned char byte) {
    ssize_t written = 0;
    do {
        written = write(fd, &byte, 1);
    } while (written < 0 && errno == EINTR);
    return written == 1;
}

bool sameRights(const ProfileAccess &a, const ProfileAccess &b) {
    return a.identity == b.identity;
}

// In the child, with the rights taken: one attempt.
int runAttempt(const std::optional<ProfileAccess> &access, const ProfileOperation &operation,
               const char *home, ProfileApp app) {
    if (!access || access->identity.kind != PathOwner::Kind::Root)
        return operation(home, app, nullptr);
    std::array<char, 64> directory{};
    if (access->directory)
        std::snprintf(directory.data(), directory.size(), "/proc/self/fd/%d",
                      access->directory.get());
    return operation(home, app, directory.data());
}

// In the child: the attempts from kApps[first] on that take the same rights
// as that one, with those rights. What the others need is decided afresh by
// the child that runs them.
void runAttempts(const char *home, HomeRights rights, const ProfileOperation &operation,
                 std::size_t first) {
    // A caller that is not root has no rights to give away.
    const bool root = geteuid() == 0;
    if (root && rights == HomeRights::Owner && !isDirectory(home)) {
        writeByte(kChildReportFd, static_cast<unsigned char>(kFirstCount + kApps.size() - first));
        for (std::size_t index = first; index < kApps.size(); ++index)
            writeByte(kChildReportFd, kFailed);
        return;
    }
    std::array<std::optional<ProfileAccess>, kApps.size()> access;
    std::size_t last = first + 1;
    if (root) {
        access.at(first) = checkProfileAccess(home, kApps.at(first));
        for (; last < kApps.size(); ++last) {
            ProfileAccess next = checkProfileAccess(home, kApps.at(last));
            if (!sameRights(next, *access.at(first))) break;
            access.at(last) = std::move(next);
        }
    } else {
        last = kApps.size();
    }
    if (!writeByte(kChildReportFd, static_cast<unsigned char>(kFirstCount + last - first))) return;
    if (access.at(first) && !takeIdentity(access.at(first)->identity, home)) return;
    for (std::size_t index = first; index < last; ++index) {
        const int result = runAttempt(access.at(index), operation, home, kApps.at(index));
        if (!writeByte(kChildReportFd, result == 1 ? kSucceeded : kFailed)) return;
    }
}

[[noreturn]] void runChild(const char *home, HomeRights rights, const ProfileOperation &operation,
                           std::size_t first, int reportFd) {
    // _exit: the parent's stdio buffers and exit handlers are not the child's.
    if (keepOnlyReportPipe(reportFd) && detachFromTerminal())
        runAttempts(home, rights, operation, first);
    _exit(0);
}

}  // namespace

HomeAttempts::HomeAttempts(const char *home, HomeRights rights, const ProfileOperation &operation,
                           std::chrono::milliseconds time_limit)
    : home_(home),
      rights_(rights),
      operation_(operation),
      deadline_(std::chrono::steady_clock::now() + time_limit) {
    start();
}

HomeAttempts::~HomeAttempts() {
    if (!settled_) giveUp();
    reap();
}

void HomeAttempts::start() {
    count_ = 0;
    reported_ = 0;
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        settled_ = true;
        return;
    }
    std::fflush(stdout);
    child_ = fork();
    if (child_ == 0) {
        close(fds[0]);
        runChild(home_.c_str(), rights_, operation_, next_, fds[1]);
    }
    close(fds[1]);
    reportFd_ = fds[0];
    if (child_ < 0 || fcntl(reportFd_, F_SETFL, O_NONBLOCK) != 0) giveUp();
}

void HomeAttempts::reap() {
    while (child_ > 0 && waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    if (reportFd_ >= 0) close(reportFd_);
    reportFd_ = -1;
}

void HomeAttempts::giveUp() {
    // Late, or unable to go on: the child and whatever it started in its
    // session are done, and every attempt without a report has failed.
    if (child_ > 0) {
        kill(-child_, SIGKILL);
        kill(child_, SIGKILL);
    }
    reap();
    settled_ = true;
}

void HomeAttempts::take(unsigned char byte) {
    if (count_ == 0) {
        const std::size_t count = byte - kFirstCount;
        count_ = byte > kFirstCount && count <= kApps.size() - next_ ? count : 0;
        if (count_ == 0) giveUp();  // no report of this protocol
        return;
    }
    if (reported_ == count_) return;  // nothing more is expected from this child
    results_.at(next_ + reported_++) = byte == kSucceeded ? 1 : 0;
    if (next_ + reported_ == kApps.size()) settled_ = true;  // the child ends by itself
}

// The child has ended. An attempt that it did not report on ended it (its
// code exited, crashed or was killed) and failed; the attempts after it get a
// child of their own, and so do those that need other rights.
void HomeAttempts::ended() {
    reap();
    if (settled_) return;
    next_ += count_ == 0 ? 1 : std::min(count_, reported_ + 1);
    if (next_ >= kApps.size())
        settled_ = true;
    else
        start();
}

bool HomeAttempts::progress() {
    while (child_ > 0 && reportFd_ >= 0) {
        std::array<unsigned char, 4> bytes{};
        const ssize_t n = read(reportFd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            ended();  // its end of the pipe closed with it
            continue;
        }
        for (ssize_t i = 0; i < n && child_ > 0; ++i) take(bytes.at(static_cast<std::size_t>(i)));
    }
    // Past the deadline, a child that has not reported is given up, and one
    // that reported but did not end is ended.
    if (child_ > 0 && std::chrono::steady_clock::now() >= deadline_) giveUp();
    return settled_;
}

HomeResults HomeAttempts::results() const {
    return {results_[0], results_[1]};
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
