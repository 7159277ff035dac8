// SPDX-License-Identifier: BSD-3-Clause
// The sweep of a command over every home of the machine: "/root" first, then
// every directory directly under "/home", in the order the listing gives them.
#pragma once

#include "home_rights.h"

#include <chrono>
#include <cstddef>

// A home under "/home": "/home/" and the entry's name, with its NUL.
inline constexpr std::size_t HOME_PATH_SIZE = 256;

struct SweepCommand {
    ProfileOperation operation;
    void (*printRootLine)();
    void (*printUserLine)(const char *entryName);
};

struct SweepLimits {
    std::chrono::milliseconds timeLimit = kHomeTimeLimit;  // for each home
    unsigned jobs = 0;  // homes worked on at once; 0: defaultSweepJobs()
};

// The homes worked on at once by default: about one per CPU this process may
// run on (one more than their number), at least two.
unsigned defaultSweepJobs();

// Runs the operation for Firefox and Thunderbird of each home and prints the
// command's line for each home where at least one of the two succeeded.
// Entries that are not directories (symbolic links among them; an entry
// whose type the listing does not give is looked up without following it),
// "." and "..", and names too long for HOME_PATH_SIZE are skipped.
//
// Several homes are worked on at once, each in its own child (see
// HomeAttempts), but the lines come out exactly as a sweep of one home after
// the other prints them, in the same order: a home's line waits for the
// homes before it. A slow home holds up nothing but the lines after its own,
// and those only until its time limit.
void sweepAllHomes(const SweepCommand &command, const SweepLimits &limits = {});
