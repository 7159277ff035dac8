// SPDX-License-Identifier: BSD-3-Clause
// A library that a hostile user names in their module list. When anything
// loads it, it appends "<uid> <euid> <HOME> <environment>\n" to the file
// "loads" next to itself, where <environment> is "leaked" when the process's
// environment (its variables or /proc/self/environ) still holds
// KEYRILL_TEST_SECRET, else "clean". A copy whose file name contains "exit"
// then calls exit(1), as a library's failure path may. It is no PKCS#11
// module; NSS gives up on it once its constructor has run.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *kSecret = "KEYRILL_TEST_SECRET";

bool environmentLeaks() {
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        if (std::strstr(*entry, kSecret) != nullptr) return true;
    std::string block;
    if (std::FILE *file = std::fopen("/proc/self/environ", "rb")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) block.append(buffer, n);
        std::fclose(file);
    }
    return block.find(kSecret) != std::string::npos;
}

__attribute__((constructor)) void recordWhoLoadsMe() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&recordWhoLoadsMe), &self) == 0 || self.dli_fname == nullptr)
        return;
    const std::string path = self.dli_fname;
    const std::string log = path.substr(0, path.rfind('/') + 1) + "loads";
    const char *home = std::getenv("HOME");
    const std::string line = std::to_string(getuid()) + " " + std::to_string(geteuid()) + " " +
                             (home != nullptr ? home : "-") + " " +
                             (environmentLeaks() ? "leaked" : "clean") + "\n";
    const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
        if (write(fd, line.data(), line.size()) < 0) {
        }
        close(fd);
    }
    if (path.find("exit", path.rfind('/')) != std::string::npos) std::exit(1);
}

}  // namespace
