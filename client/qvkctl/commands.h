// SPDX-License-Identifier: BSD-3-Clause
// The qvkctl commands. Each writes its results on standard output, its
// errors on standard error, and returns the process's exit status.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qvkctl {

struct Options {
    // Set by --timeout; otherwise each command uses its own default.
    std::optional<std::chrono::milliseconds> timeout;
};

using Arguments = std::vector<std::string>;

int command_list(const Options &options, const Arguments &arguments);
int command_send(const Options &options, const Arguments &arguments);
int command_status(const Options &options, const Arguments &arguments);

// Prints "qvkctl: <message>" and a hint to use --help on standard error.
int usage_error(const std::string &message);

}  // namespace qvkctl
