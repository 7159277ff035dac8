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
    // The add command's module: a store in a sandbox that cannot be relied on
    // to open it is refused, with a line on standard error (see HomeAttempts).
    const char *requiredFile = nullptr;
    // One line on standard error for each store and profile worked on.
    bool listProfiles = false;
};

struct SweepLimits {
    std::chrono::milliseconds timeLimit = kHomeTimeLimit;  // for each home
    unsigned jobs = 0;  // homes worked on at once; 0: defaultSweepJobs()
};

// The homes worked on at once by default: about one per CPU this process may
// run on (one more than their number), at least two.
unsigned defaultSweepJobs();

// Runs the operation on every profile of every store of each home (see
// HomeAttempts) and prints the command's line for each home where at least
// one profile took the change. Before a home's line, standard error gets one
// line for each of its stores that was refused and, with listProfiles, for
// each profile worked on and its outcome, and for each store that names no
// profile or ended without a report:
//   "Keyrill: <home's name>: <store>: <directory>: <outcome>"
// (bytes that are not printable shown as \ooo, a backslash as \\).
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
