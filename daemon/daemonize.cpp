// SPDX-License-Identifier: BSD-3-Clause
#include "daemonize.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

int daemonize() noexcept {
    const pid_t child = fork();
    if (child == -1) return -1;
    if (child != 0) std::_Exit(0);
    setsid();
    umask(0);
    return 0;
}
