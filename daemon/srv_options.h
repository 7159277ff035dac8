// SPDX-License-Identifier: BSD-3-Clause
// The command line of qvkserver. Without arguments it serves as it always
// did; --help and --version answer and end; any other argument is refused.
// Options that take a value are written "--name VALUE" or "--name=VALUE".
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <optional>

// What the command line asked for. Options that take a value add a field.
struct srv_options {
    // --exchange-timeout: how long a call into a device family may take
    // before it is abandoned (1 to 86400 seconds).
    unsigned exchange_timeout_seconds = 60;
    // --group: the IPC objects are for root and this group only (mode 0660).
    std::optional<gid_t> group;
};

enum srv_options_verdict {
    SRV_OPTIONS_SERVE,  // go on and serve with these options
    SRV_OPTIONS_DONE,   // --help or --version answered: exit 0
    SRV_OPTIONS_BAD,    // refused, a usage line printed: exit 2
};

inline constexpr int SRV_EXIT_USAGE = 2;

// Parses argv[1..argc-1] into options. --help and --version print on out;
// a refused argument prints what was wrong and the usage line on err.
srv_options_verdict srv_parse_options(int argc, const char *const argv[], srv_options &options,
                                      std::FILE *out, std::FILE *err);
