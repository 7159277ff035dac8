// SPDX-License-Identifier: BSD-3-Clause
// Finding the directory of a home's default Firefox or Thunderbird profile
// through the application's profiles.ini.
#pragma once

#include "profile_app.h"

#include <array>
#include <cstddef>

inline constexpr std::size_t PROFILES_INI_PATH_SIZE = 512;
inline constexpr std::size_t PROFILE_PATH_VALUE_SIZE = 256;
inline constexpr std::size_t PROFILE_DIR_SIZE = 1024;
// A real profiles.ini is a few hundred bytes; anything larger than this is
// no profile list and is not read.
inline constexpr std::size_t PROFILES_INI_MAX_SIZE = std::size_t{1} << 20;

using ProfileDirBuffer = std::array<char, PROFILE_DIR_SIZE>;

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
