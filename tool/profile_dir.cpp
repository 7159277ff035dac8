// SPDX-License-Identifier: BSD-3-Clause
#include "profile_dir.h"

#include "path_text.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct IniClose {
    void operator()(ini_t *ini) const { ini_close(ini); }
};
using IniHandle = std::unique_ptr<ini_t, IniClose>;

// Opens the profile list without waiting for anything (a named pipe that
// nobody writes, a device) and keeps it only when it is a regular file of at
// most PROFILES_INI_MAX_SIZE bytes; -1 otherwise.
UniqueFd openProfileList(const char *path) {
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return fd;
    struct stat status {};
    if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        static_cast<unsigned long long>(status.st_size) > PROFILES_INI_MAX_SIZE)
        fd.reset();
    return fd;
}

std::array<char, 64> viaDescriptor(int fd) {
    std::array<char, 64> path{};
    std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", fd);
    return path;
}

// The engine reads the list through the descriptor checked above, so that
// nothing put in its place after the check is read instead.
IniHandle openCheckedList(const UniqueFd &list, const char *path) {
    IniHandle ini(ini_open(viaDescriptor(list.get()).data(), "r", nullptr));
    // Without /proc the path (if any) is read again; the time limit of each
    // home still bounds what a swap could stall.
    if (!ini && path != nullptr && access("/proc/self/fd", F_OK) != 0)
        ini.reset(ini_open(path, "r", nullptr));
    return ini;
}

// Reads the profile directory from the opened list; path: the list's name,
// when it may be read again by name.
int readProfileDir(const UniqueFd &list, const char *path, const char *home, ProfileApp app,
                   ProfileDirBuffer &out) {
    if (!list) return 0;
    const ProfileLocation location = profileLocationOf(app);

    std::array<char, PROFILE_PATH_VALUE_SIZE> value{};
    {
        // Read only: the engine works on a private copy and profiles.ini is
        // never rewritten. A missing heading or key leaves the value empty.
        const IniHandle ini = openCheckedList(list, path);
        if (!ini) return 0;
        ini_selectHeading(ini.get(), "Profile0");
        ini_selectKey(ini.get(), "Path");
        // The whole value is read: one that does not fit the value buffer
        // once trimmed is skipped, never cut into another directory's name.
        const int length = ini_dataLength(ini.get());
        if (length <= 0) return 0;
        std::string whole(static_cast<std::size_t>(length) + 1, '\0');
        if (ini_readText(ini.get(), whole.data(), whole.size()) < 0) return 0;
        const std::size_t used = std::strlen(whole.c_str());
        if (used >= value.size()) return 0;
        std::memcpy(value.data(), whole.data(), used);
    }
    if (value[0] == '\0') return 0;

    out.fill('\0');
    // The value is taken as relative to the application's directory, whatever
    // the file says about it; home and value together always fit.
    return joinText(out, {home, location.parent, value.data()}) ? 1 : 0;
}

}  // namespace

int findProfileDir(const char *home, ProfileApp app, ProfileDirBuffer &out) {
    std::array<char, PROFILES_INI_PATH_SIZE> listPath{};
    if (!joinText(listPath, {home, profileLocationOf(app).listFile})) return 0;
    return readProfileDir(openProfileList(listPath.data()), listPath.data(), home, app, out);
}

int findProfileDirThrough(int listFd, const char *home, ProfileApp app, ProfileDirBuffer &out) {
    return readProfileDir(openProfileList(viaDescriptor(listFd).data()), nullptr, home, app, out);
}
