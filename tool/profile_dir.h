// SPDX-License-Identifier: BSD-3-Clause
// Finding the profile directories of a home's Firefox or Thunderbird
// profile list (profiles.ini) with the INI engine.
#pragma once

#include "profile_app.h"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

inline constexpr std::size_t PROFILES_INI_PATH_SIZE = 512;
inline constexpr std::size_t PROFILE_PATH_VALUE_SIZE = 256;
inline constexpr std::size_t PROFILE_DIR_SIZE = 1024;
// A real profiles.ini is a few hundred bytes; anything larger than this is
// no profile list and is not read.
inline constexpr std::size_t PROFILES_INI_MAX_SIZE = std::size_t{1} << 20;

// A profile list naming more directories than this is no list a browser
// wrote; the rest are left alone.
inline constexpr std::size_t PROFILE_DIRS_PER_LIST_MAX = 64;

using ProfileDirBuffer = std::array<char, PROFILE_DIR_SIZE>;

// What a profile list names.
struct ProfileDirs {
    bool listed = false;  // the list was there and read
    // Each directory once: Profile0's first (as findProfileDir gives it), then
    // the Default of every heading whose name begins with "Install" (the
    // profile each installation starts with), in the order of the file: a
    // relative one below the list's own directory, as the browsers write it,
    // an absolute one as it stands. Values are taken as findProfileDir takes
    // Path: trimmed, never cut, skipped when empty or too long.
    std::vector<std::string> directories;
};

// The directories that the app's profile list under home names; nothing for
// an app without a profile list. The list is read as findProfileDir reads it.
ProfileDirs findProfileDirs(const char *home, ProfileApp app);

// The same, with profiles.ini opened through listFd (see findProfileDirThrough).
ProfileDirs findProfileDirsThrough(int listFd, const char *home, ProfileApp app);

// Reads key "Path" of heading "Profile0" from the app's profiles.ini under home
// and writes home + the app's profile parent + that value into out.
// Returns 1 when a directory was written, 0 otherwise: also when profiles.ini
// is no regular file or larger than PROFILES_INI_MAX_SIZE (it is opened
// without waiting, so a named pipe fails at once), and when the value, once
// trimmed, does not fit PROFILE_PATH_VALUE_SIZE with its NUL (never cut).
int findProfileDir(const char *home, ProfileApp app, ProfileDirBuffer &out);

// The same, with profiles.ini opened through listFd, a descriptor of the
// very file that was checked (an O_PATH one will do), never by its name.
int findProfileDirThrough(int listFd, const char *home, ProfileApp app, ProfileDirBuffer &out);
