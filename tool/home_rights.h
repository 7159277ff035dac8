// SPDX-License-Identifier: BSD-3-Clause
// Running the attempts on a home's stores and profiles in a child process,
// with rights that nothing anyone else could plant ever gets from root.
#pragma once

#include "inherited_memory.h"
#include "profile_app.h"

#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The work on one profile of a command: 1 for success, 0 for failure.
// directory: what NSS is started on. With root's rights, the profile
// directory that was checked, as "/proc/self/fd/N", or "" when it does not
// exist (the attempt then has nothing to act on); with a user's rights, or
// when the caller is not root, the directory as the store names it. A store
// that is one database gets it with "sql:" before it.
using ProfileOperation =
    std::function<int(const char *home, ProfileApp app, const char *directory)>;

enum class HomeRights {
    Root,   // "/root": the administrator's home, which may also be reached through a link
    Owner,  // a home under "/home", which must be a directory itself
};

// One profile directory that a store's attempt worked on.
struct ProfileResult {
    std::string directory;  // as the store names it, as the child reported it
    int result = 0;         // 1: it took the change
    bool reported = false;  // false: the attempt ended while working on it
};

// What came of one store of a home.
struct StoreResults {
    enum class State {
        Absent,     // no profile list (or database) there
        NoProfile,  // a profile list that names no profile
        Handled,    // its profiles were worked on (see profiles)
        Refused,    // in a sandbox that cannot be relied on to see the required file
        Lost,       // the attempt ended without saying which
    };
    State state = State::Absent;
    std::vector<ProfileResult> profiles;
    bool succeeded() const;
};

struct HomeResults {
    std::array<StoreResults, PROFILE_APPS.size()> stores;
    const StoreResults &of(ProfileApp app) const { return stores.at(static_cast<std::size_t>(app)); }
    bool anySucceeded() const;
};

// The directories worked on in a home: each by its file where it could be
// looked at, else by its name.
struct HandledDirectories {
    std::set<std::pair<dev_t, ino_t>> files;
    std::set<std::string> names;
};

// A child that has not reported within its time limit is killed and
// everything it had not reported failed: what runs for a home (a module that
// never returns, a home on a file system that stopped answering) must not
// stall the sweep.
inline constexpr std::chrono::seconds kHomeTimeLimit{120};

// Every store of a home (PROFILE_APPS, in that order) and each profile in it,
// run in a child process started by the constructor (the parent's buffered
// standard output is flushed first).
//
// The child leads a session of its own, has /dev/null as standard input,
// output and error, and keeps no other descriptor of the sweeping process
// than its report pipe. Run as root, it decides for each store, with root's
// rights but on what it opens alone (checkProfileAccess), whose rights the
// store's attempt takes: root's where the profile list, the profiles and
// their databases are root's all the way, otherwise the owner of the first
// thing on that way that is not root's (or the user who mounted the FUSE
// file system it lies on), or "nobody" where others may write what root owns
// or nothing can be told. So a home under "/home" is handled with its
// owner's rights, and nothing a user can write or plant is loaded, followed
// or created by root. An attempt with root's rights works on the very
// directories that were checked; one with a user's rights reads the profile
// list itself, with those rights. A user's rights are taken as at login: all
// of the user's groups and the login's environment, nothing of the caller's.
//
// requiredFile (the module of the add command, or null): a store in a
// sandbox gets the change only when the sandbox can be relied on to open
// this file (visibleInSandbox); otherwise it is Refused and none of its
// profiles is opened. A directory that the same child has worked on already
// (the same file, however named) is not worked on again.
//
// Only a report written on purpose counts: the child says how many stores it
// runs, then reports each profile before and after it is worked on and each
// store when it is done. A profile whose report is missing (its code exited,
// crashed or was killed, or the child did not report in time) has failed.
// The profiles and stores after it, and the stores that need other rights,
// get a child of their own; every profile gets its turn.
//
// inherited (or null): what each child takes in one step when it starts.
class HomeAttempts {
public:
    HomeAttempts(const char *home, HomeRights rights, const ProfileOperation &operation,
                 const char *requiredFile = nullptr,
                 std::chrono::milliseconds time_limit = kHomeTimeLimit,
                 const InheritedMemory *inherited = nullptr);
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
    const HomeResults &results() const { return results_; }
    bool reaped() const { return child_ <= 0; }

private:
    void start();
    void reap();
    void giveUp();
    bool take();
    void ended();

    const std::string home_;
    const HomeRights rights_;
    const ProfileOperation &operation_;
    const std::string requiredFile_;  // "": none
    const std::chrono::steady_clock::time_point deadline_;
    const InheritedMemory *const inherited_;
    pid_t child_ = -1;
    int reportFd_ = -1;
    std::size_t next_ = 0;      // the first store of the current child
    std::size_t skip_ = 0;      // how many of its profiles earlier children went through
    std::size_t count_ = 0;     // how many stores the current child runs; 0: not said yet
    std::size_t reported_ = 0;  // how many of them it has reported as done
    std::size_t passed_ = 0;    // profiles of the current store gone through (skip_ included)
    bool working_ = false;      // a profile has begun and not been reported
    std::string received_;      // report bytes not taken yet
    HandledDirectories handled_;  // as reported; each child starts from them
    HomeResults results_;
    bool settled_ = false;
};

// Runs one home's attempts and waits for their results.
HomeResults runProfileAttempts(const char *home, HomeRights rights,
                               const ProfileOperation &operation,
                               const char *requiredFile = nullptr,
                               std::chrono::milliseconds time_limit = kHomeTimeLimit);
