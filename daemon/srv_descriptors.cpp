// SPDX-License-Identifier: BSD-3-Clause
#include "srv_descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

void srv_open_standard_descriptors() noexcept {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1) continue;
        // The lowest free descriptor: this one.
        const int opened = open("/dev/null", O_RDWR);
        if (opened != descriptor && opened >= 0) {
            dup2(opened, descriptor);
            close(opened);
        }
    }
}

void srv_raise_descriptor_limit() noexcept {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}
