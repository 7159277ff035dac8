// Running a home's two profile attempts with the rights of that home's owner.
#pragma once

#include "profile_app.h"

#include <chrono>
#include <functional>

// One profile attempt of a command: 1 for success, 0 for failure.
using ProfileOperation = std::function<int(const char *home, ProfileApp app)>;

enum class HomeRights {
    Root,   // keep the caller's rights ("/root")
    Owner,  // take the rights of the home directory's owner, unless that is root
};

struct HomeResults {
    int firefox = 0;
    int thunderbird = 0;
    bool anySucceeded() const { return firefox == 1 || thunderbird == 1; }
};

// Runs the Firefox and then the Thunderbird attempt for home in a child
// process and returns both results. With HomeRights::Owner and run as root,
// the child first takes the supplementary group, group and user of the home
// directory's owner, so nothing that the owner controls (profiles.ini, the
// profile directory, its module list) is ever acted on with root's rights,
// and the files NSS rewrites stay the owner's. Every child runs in a session
// of its own with /dev/null as standard input, output and error, and keeps no
// other descriptor of the sweeping process than its report pipe. A child that
// cannot take those rights does nothing; a child that fails to report counts
// as two failures.
// A child that has not reported within time_limit is killed and counts as
// two failures: what runs for a home (a profiles.ini that is a named pipe, a
// module that never returns) must not stall the sweep over the other homes.
// The parent's buffered standard output is flushed first.
inline constexpr std::chrono::seconds kHomeTimeLimit{120};
HomeResults runProfileAttempts(const char *home, HomeRights rights,
                               const ProfileOperation &operation,
                               std::chrono::milliseconds time_limit = kHomeTimeLimit);
