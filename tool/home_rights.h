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
using ProfileOperation = std::function<int(const char *home, ProfileApp app)>;

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
// than its report pipe. Run as root, it then decides for each application,
// with root's rights but from metadata alone, whose rights the attempt takes
// (profileIdentity): root's where the profile list, the profile and its
// databases are root's all the way, otherwise the owner of the first thing on
// that way that is not root's, or "nobody" where others may write what root
// owns. So a home under "/home" is handled with its owner's rights, and
// nothing a user can write or plant is loaded, followed or created by root.
// The identity of a user is taken as at login, with all of the user's groups.
// When the two applications need different identities, each attempt runs in
// a process of its own. A child that cannot take the rights does nothing; a
// child that fails to report counts as two failures.
class HomeAttempts {
public:
    HomeAttempts(const char *home, HomeRights rights, const ProfileOperation &operation,
                 std::chrono::milliseconds time_limit = kHomeTimeLimit);
    HomeAttempts(const HomeAttempts &) = delete;
    HomeAttempts &operator=(const HomeAttempts &) = delete;
    // A child still running is killed; the child is reaped (waiting for it).
    ~HomeAttempts();

    // The descriptor that becomes readable when the child reports or ends;
    // -1 once the results are settled.
    int reportFd() const { return settled_ ? -1 : reportFd_; }
    std::chrono::steady_clock::time_point deadline() const { return deadline_; }
    bool settled() const { return settled_; }
    // Takes what has arrived without waiting, and gives the child up at its
    // deadline. True once the results are settled.
    bool progress();
    HomeResults results() const { return results_; }
    // A child that reported is left to end by itself; true once it is
    // reaped (without waiting for it).
    bool reaped();

private:
    void settle(bool complete);

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
