// SPDX-License-Identifier: BSD-3-Clause
#include "mount_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qvk::vtoken {

namespace {

// Undoes the octal escapes (\040 for a space) of a mount table field.
std::string unescaped(const std::string &field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            text += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// True when the mount table lists `path` (already resolved) as a mount point.
bool listed_as_mountpoint(const std::string &path) {
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountpoint;
        if (fields >> id >> parent >> device >> root >> mountpoint && unescaped(mountpoint) == path)
            return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> fuse_device_problem() {
    if (access("/dev/fuse", F_OK) != 0)
        return "/dev/fuse is missing: FUSE is not available here (load the fuse module, "
               "or give the container the /dev/fuse device)";
    return std::nullopt;
}

std::optional<std::string> mountpoint_problem(const std::string &path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOTCONN)
            return "mount point '" + path + "' is a FUSE mount whose program has gone; "
                   "unmount it with: fusermount3 -u " + path;
        return "mount point '" + path + "': " + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) return "mount point '" + path + "' is not a directory";

    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr)
        return "mount point '" + path + "': " + std::strerror(errno);
    struct stat parent{};
    const std::string parent_path = std::string(resolved) + "/..";
    const bool other_device = stat(parent_path.c_str(), &parent) == 0 && parent.st_dev != st.st_dev;
    if (other_device || listed_as_mountpoint(resolved))
        return "mount point '" + path + "' is in use: something is already mounted there "
               "(another qvkvtoken? unmount it with: fusermount3 -u " + path + ")";
    return std::nullopt;
}

}  // namespace qvk::vtoken
