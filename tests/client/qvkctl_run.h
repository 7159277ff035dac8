// SPDX-License-Identifier: BSD-3-Clause
// Runs the built qvkctl and captures what it prints and its exit status.
#pragma once

#include <string>
#include <vector>

namespace qvk::test {

struct QvkctlRun {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out;
    std::string err;
};

// As this process's user, or as the given user and group (not 0).
QvkctlRun run_qvkctl(const std::vector<std::string> &arguments, unsigned as_user = 0);

}  // namespace qvk::test
