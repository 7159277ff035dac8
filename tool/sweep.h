// The sweep of a command over every home of the machine: "/root" first, then
// every directory directly under "/home", in the order the listing gives them.
#pragma once

#include "home_rights.h"

#include <cstddef>

// A home under "/home": "/home/" and the entry's name, with its NUL.
inline constexpr std::size_t HOME_PATH_SIZE = 256;

struct SweepCommand {
    ProfileOperation operation;
    void (*printRootLine)();
    void (*printUserLine)(const char *entryName);
};

// Runs the operation for Firefox and Thunderbird of each home and prints the
// command's line for each home where at least one of the two succeeded.
// Entries that the listing does not report as directories (symbolic links
// among them), "." and "..", and names too long for HOME_PATH_SIZE are skipped.
void sweepAllHomes(const SweepCommand &command);
