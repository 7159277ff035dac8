// SPDX-License-Identifier: BSD-3-Clause
// Exit statuses of qvkctl, which scripts may rely on.
#pragma once

#include "qvkclient.h"

namespace qvkctl {

enum ExitStatus {
    EXIT_OK = 0,
    EXIT_FAILED = 1,        // anything not listed below (system error, out of memory)
    EXIT_USAGE = 2,         // bad command line
    EXIT_NOT_RUNNING = 3,   // qvkserver is not running
    EXIT_TIMEOUT = 4,       // qvkserver did not answer in time
    EXIT_MALFORMED = 5,     // qvkserver's answer was malformed
    EXIT_NO_DEVICE = 6,     // the path is not listed, or the device did not open
    EXIT_TOKEN_ERROR = 7,   // no answer from the token, handle lost, close refused, request lost
    EXIT_ACCESS_DENIED = 8  // no permission on qvkserver's IPC objects
};

ExitStatus exit_status_for(qvk_result result);

// Prints "qvkctl: <what>: <plain-words text of result>" on standard error and
// returns the matching exit status.
int report_failure(const char *what, qvk_result result);

}  // namespace qvkctl
