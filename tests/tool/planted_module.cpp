// SPDX-License-Identifier: BSD-3-Clause
// A library that a hostile user names in their module list: when anything
// loads it, it appends "<uid> <euid>\n" to the file KEYRILL_PLANTED_LOG names.
// It is no PKCS#11 module; NSS gives up on it once its constructor has run.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void recordWhoLoadsMe() {
    const char *log = std::getenv("KEYRILL_PLANTED_LOG");
    if (log == nullptr) return;
    const int fd = open(log, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%u %u\n", static_cast<unsigned>(getuid()),
                                     static_cast<unsigned>(geteuid()));
    if (length > 0 && write(fd, line, static_cast<std::size_t>(length)) < 0) {
    }
    close(fd);
}

}  // namespace
