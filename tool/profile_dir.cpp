// SPDX-License-Identifier: BSD-3-Clause
#include "profile_dir.h"

#include "path_text.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
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

// The whole value of the current key, trimmed; nothing when there is none,
// or when it is empty or does not fit PROFILE_PATH_VALUE_SIZE with its NUL
// once trimmed (never cut into another directory's name).
std::optional<std::string> readValue(ini_t *ini) {
    const int length = ini_dataLength(ini);
    if (length <= 0) return std::nullopt;
    std::string whole(static_cast<std::size_t>(length) + 1, '\0');
    if (ini_readText(ini, whole.data(), whole.size()) < 0) return std::nullopt;
    whole.resize(std::strlen(whole.c_str()));
    if (whole.empty() || whole.size() >= PROFILE_PATH_VALUE_SIZE) return std::nullopt;
    return whole;
}

bool startsWithInstall(const char *heading) {
    return heading != nullptr && strncasecmp(heading, "Install", 7) == 0;
}

// Reads the profile directories from the opened list (Profile0's alone when
// profile0Only); path: the list's name, when it may be read again by name.
ProfileDirs readProfileDirs(const UniqueFd &list, const char *path, const char *home,
                            ProfileApp app, bool profile0Only) {
    ProfileDirs found;
    if (!list) return found;
    const ProfileLocation location = profileLocationOf(app);
    // Read only: the engine works on a private copy and profiles.ini is
    // never rewritten. A missing heading or key leaves nothing to read.
    const IniHandle ini = openCheckedList(list, path);
    if (!ini) return found;
    found.listed = true;
    const auto add = [&](const std::string &directory) {
        if (directory.size() >= PROFILE_DIR_SIZE ||
            found.directories.size() >= PROFILE_DIRS_PER_LIST_MAX ||
            std::find(found.directories.begin(), found.directories.end(), directory) !=
                found.directories.end())
            return;
        found.directories.push_back(directory);
    };

    // Profile0's Path is taken as relative to the application's directory,
    // whatever the file says about it.
    ini_selectHeading(ini.get(), "Profile0");
    ini_selectKey(ini.get(), "Path");
    if (const std::optional<std::string> value = readValue(ini.get()))
        add(std::string(home) + location.parent + *value);
    if (profile0Only) return found;

    while (ini_selectNextHeading(ini.get()) == 0) {
        if (!startsWithInstall(ini_currentHeading(ini.get()))) continue;
        if (ini_selectKey(ini.get(), "Default") != 0) continue;
        const std::optional<std::string> value = readValue(ini.get());
        if (!value) continue;
        add(value->front() == '/' ? *value : std::string(home) + location.parent + *value);
    }
    return found;
}

int profile0Dir(const ProfileDirs &found, ProfileDirBuffer &out) {
    if (found.directories.empty()) return 0;
    out.fill('\0');
    return joinText(out, {found.directories.front().c_str()}) ? 1 : 0;
}

std::string listPathOf(const char *home, ProfileApp app) {
    const char *listFile = profileLocationOf(app).listFile;
    return listFile != nullptr ? std::string(home) + listFile : std::string();
}

}  // namespace

ProfileDirs findProfileDirs(const char *home, ProfileApp app) {
    const std::string list = listPathOf(home, app);
    if (list.empty() || list.size() >= PROFILES_INI_PATH_SIZE) return {};
    return readProfileDirs(openProfileList(list.c_str()), list.c_str(), home, app, false);
}

ProfileDirs findProfileDirsThrough(int listFd, const char *home, ProfileApp app) {
    if (profileLocationOf(app).listFile == nullptr) return {};
    return readProfileDirs(openProfileList(viaDescriptor(listFd).data()), nullptr, home, app,
                           false);
}

int findProfileDir(const char *home, ProfileApp app, ProfileDirBuffer &out) {
    const std::string list = listPathOf(home, app);
    if (list.empty() || list.size() >= PROFILES_INI_PATH_SIZE) return 0;
    return profile0Dir(
        readProfileDirs(openProfileList(list.c_str()), list.c_str(), home, app, true), out);
}

int findProfileDirThrough(int listFd, const char *home, ProfileApp app, ProfileDirBuffer &out) {
    if (profileLocationOf(app).listFile == nullptr) return 0;
    return profile0Dir(readProfileDirs(openProfileList(viaDescriptor(listFd).data()), nullptr,
                                       home, app, true),
                       out);
}
