// SPDX-License-Identifier: BSD-3-Clause
#include "srv_descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

// Every descriptor above 2. close_range where the kernel (or a system call
// filter) allows it, else one by one as /proc lists them.
void close_inherited() {
    if (close_range(3, ~0U, 0) == 0) return;
    DIR *listing = opendir("/proc/self/fd");
    if (listing == nullptr) {
        rlimit limit{};
        const rlim_t last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                                ? limit.rlim_cur
                                : 1024;
        for (rlim_t descriptor = 3; descriptor < last; ++descriptor) close(static_cast<int>(descriptor));
        return;
    }
    const int own = dirfd(listing);
    // Closing while listing would disturb the listing: collect, then close.
    int found[256];
    for (;;) {
        std::size_t count = 0;
        rewinddir(listing);
        while (dirent *entry = readdir(listing)) {
            const int descriptor = std::atoi(entry->d_name);
            if (descriptor > 2 && descriptor != own && count < std::size(found)) found[count++] = descriptor;
        }
        if (count == 0) break;
        for (std::size_t i = 0; i < count; ++i) close(found[i]);
    }
    closedir(listing);
}

}  // namespace

bool srv_settle_descriptors() noexcept {
    std::signal(SIGPIPE, SIG_IGN);
    close_inherited();
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1) continue;
        // The lowest free descriptor: this one.
        const int opened = open("/dev/null", O_RDWR);
        if (opened < 0) {
            std::fputs("qvkserver cannot open /dev/null for its standard descriptors\n", stderr);
            return false;
        }
        if (opened != descriptor) {
            dup2(opened, descriptor);
            close(opened);
        }
    }
    return true;
}

void srv_raise_descriptor_limit() noexcept {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}
