// SPDX-License-Identifier: BSD-3-Clause
// Running a home's two profile attempts in a child process, with rights that
// nothing anyone else could plant ever gets from root.
#pragma once

#include "profile_app.h"

#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>

// One profile attempt of a command: 1 for success, 0 for failure.
// checkedDirectory: with root's rights, the profile directory that was
// checked, as "/proc/self/fd/N", or "" when there is none (the attempt then
// has nothing to act on); with a user's rights, or when the caller is not
// root, null: the attempt finds its profile itself, by name.
using ProfileOperation =
    std::function<int(const char *home, ProfileApp app, const char *checkedDirectory)>;

enum class HomeRights {
    Root,   // "/root": the administrator's home, which may also be reached through a link
    Owner,  // a home under "/home", which must be a directory itself
};

struct HomeResults {
    int firefox = 0;
    int thunderbird = 0;
    bool anySucceeded() const { return firefox == 1 || thunderbird == 1; }
};

// A child that has not reported within its time limit is killed and counts
// as two failures: what runs for a home (a module that never returns, a home
// on a file system that stopped answering) must not stall the sweep.
inline constexpr std::chrono::seconds kHomeTimeLimit{120};

// The Firefox and then the Thunderbird attempt for a home, run in a child
// process started by the constructor (the parent's buffered standard output
// is flushed first).
//
// The child leads a session of its own, has /dev/null as standard input,
// output and error, and keeps no other descriptor of the sweeping process
// than its report pipe. Run as root, it decides for each application, with
// root's rights but on what it opens alone (checkProfileAccess), whose rights
// the attempt takes: root's where the profile list, the profile and its
// databases are root's all the way, otherwise the owner of the first thing on
// that way that is not root's (or the user who mounted the FUSE file system
// it lies on), or "nobody" where others may write what root owns or nothing
// can be told. So a home under "/home" is handled with its owner's rights,
// and nothing a user can write or plant is loaded, followed or created by
// root. An attempt with root's rights works on the very directory that was
// checked. A user's rights are taken as at login: all of the user's groups
// and the login's environment, nothing of the caller's.
//
// Only a report written on purpose counts: the child says how many attempts
// it runs, then reports each one right after it has run. An attempt whose
// report is missing (its code exited, crashed or was killed, or the child did
// not report in time) has failed. When the Thunderbird attempt needs other
// rights than the Firefox one, or the Firefox attempt ended the child, the
// Thunderbird attempt gets a child of its own; every attempt gets its turn.
class HomeAttempts {
public:
    HomeAttempts(const char *home, HomeRights rights, const ProfileOperation &operation,
                 std::chrono::milliseconds time_limit = kHomeTimeLimit);
    HomeAttempts(const HomeAttempts &) = delete;
    HomeAttempts &operator=(const HomeAttempts &) = delete;
    // A child still running is killed; the child is reaped (waiting for it).
    ~HomeAttempts();

    // The descriptor to wait on: it becomes readable when the child reports
    // and when it ends; -1 once the last child is reaped.
    int pollFd() const { return child_ > 0 ? reportFd_ : -1; }
    std::chrono::steady_clock::time_point deadline() const { return deadline_; }
    bool settled() const { return settled_; }
    // Takes what has arrived without waiting, reaps a child that has ended
    // (starting the next one when attempts are left), and gives the home up
    // at its deadline. True once the results are settled.
    bool progress();
    HomeResults results() const;
    bool reaped() const { return child_ <= 0; }

private:
    void start();
    void reap();
    void giveUp();
    void take(unsigned char byte);
    void ended();

    const std::string home_;
    const HomeRights rights_;
    const ProfileOperation &operation_;
    const std::chrono::steady_clock::time_point deadline_;
    pid_t child_ = -1;
    int reportFd_ = -1;
    std::size_t next_ = 0;      // the first attempt of the current child
    std::size_t count_ = 0;     // how many attempts the current child runs; 0: not said yet
    std::size_t reported_ = 0;  // how many of them it has reported
    std::array<int, 2> results_{};  // Firefox, Thunderbird
    bool settled_ = false;
};

// Runs one home's attempts and waits for their results.
HomeResults runProfileAttempts(const char *home, HomeRights rights,
                               const ProfileOperation &operation,
                               std::chrono::milliseconds time_limit = kHomeTimeLimit);
