// SPDX-License-Identifier: BSD-3-Clause
#include "user_mounts.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The value of option name= in a comma-separated option list.
std::optional<unsigned> numericOption(const std::string &options, const std::string &name) {
    std::istringstream list(options);
    for (std::string option; std::getline(list, option, ',');) {
        if (option.compare(0, name.size() + 1, name + "=") != 0) continue;
        unsigned value = 0;
        const char *first = option.data() + name.size() + 1, *last = option.data() + option.size();
        const auto [end, error] = std::from_chars(first, last, value);
        if (error != std::errc() || end != last) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

bool isFuseType(const std::string &type) {
    return type == "fuse" || type == "fuseblk" || type.rfind("fuse.", 0) == 0;
}

}  // namespace

std::optional<bool> onFuse(int fd) {
    struct statfs fileSystem {};
    if (fstatfs(fd, &fileSystem) != 0) return std::nullopt;
    return fileSystem.f_type == FUSE_SUPER_MAGIC;
}

std::optional<FuseMounter> fuseMounterOf(int fd) {
    // An empty request mask: FUSE then gives the device number even to a
    // process that its mount shuts out.
    struct statx status {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, 0, &status) != 0) return std::nullopt;
    const std::string device =
        std::to_string(status.stx_dev_major) + ":" + std::to_string(status.stx_dev_minor);

    // "id parent major:minor root mountpoint options [tags...] - type source superoptions"
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        if (!(fields >> id >> parent >> numbers) || numbers != device) continue;
        const std::size_t separator = line.find(" - ");
        if (separator == std::string::npos) continue;
        std::istringstream tail(line.substr(separator + 3));
        std::string type, source, options;
        if (!(tail >> type >> source >> options) || !isFuseType(type)) continue;
        const std::optional<unsigned> uid = numericOption(options, "user_id");
        const std::optional<unsigned> gid = numericOption(options, "group_id");
        if (!uid || !gid) return std::nullopt;
        return FuseMounter{static_cast<uid_t>(*uid), static_cast<gid_t>(*gid)};
    }
    return std::nullopt;
}
