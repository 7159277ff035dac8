// SPDX-License-Identifier: BSD-3-Clause
// Running a home's two profile attempts in a child process, with rights that
// nothing anyone else could plant ever gets from root.
#pragma once

#include "profile_app.h"

#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>

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
// checked.
//
// Each attempt runs in a process of its own, which gives up the sweep's
// report pipe, takes its identity (a user's as at login: all of the user's
// groups and the login's environment, nothing of the caller's) and reports
// through a pipe of its own. Only a report written on purpose counts: an
// attempt that exits, whatever its status, is killed or says nothing has
// failed, and so has a child that does not report.
class HomeAttempts {
public:
    HomeAttempts(const char *home, HomeRights rights, const ProfileOperation &operation,
                 std::chrono::milliseconds time_limit = kHomeTimeLimit);
    HomeAttempts(const HomeAttempts &) = delete;
    HomeAttempts &operator=(const HomeAttempts &) = delete;
    // A child still running is killed; the child is reaped (waiting for it).
    ~HomeAttempts();

    // The descriptor to wait on: it becomes readable when the child reports
    // and again when it ends; -1 once the child is reaped.
    int pollFd() const { return child_ > 0 ? reportFd_ : -1; }
    std::chrono::steady_clock::time_point deadline() const { return deadline_; }
    bool settled() const { return settled_; }
    // Takes what has arrived without waiting, gives the child up at its
    // deadline, and reaps a child that has ended. True once the results are
    // settled.
    bool progress();
    HomeResults results() const { return results_; }
    bool reaped() const { return child_ <= 0; }

private:
    void settle(bool complete);
    void reap();

    pid_t child_ = -1;
    int reportFd_ = -1;
    std::chrono::steady_clock::time_point deadline_;
    std::array<unsigned char, 2> report_{};  // Firefox, Thunderbird
    std::size_t got_ = 0;
    bool settled_ = false;
    HomeResults results_;
};

// Runs one home's attempts and waits for their results.
HomeResults runProfileAttempts(const char *home, HomeRights rights,
                               const ProfileOperation &operation,
                               std::chrono::milliseconds time_limit = kHomeTimeLimit);
