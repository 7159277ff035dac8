// SPDX-License-Identifier: BSD-3-Clause
// Profile discovery on an arbitrary profiles.ini: any content, read through
// the INI engine exactly as Keyrill reads it. Profile0's directory must stay
// inside its fixed buffer, be terminated, and always be the home plus the
// application's profile parent plus the value (never a path of the file's
// choosing alone); every directory of the whole list is that, or an absolute
// one that an installation names, each once and within the bounds. Input:
// byte 0 picks Firefox or Thunderbird and the home's name length; the rest
// is the file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "profile_dir.h"

namespace {

// A home of its own under $TMPDIR (scripts/fuzz.sh points that at its
// scratch directory), with both applications' directories, and home names
// long enough to test the path buffers.
std::string make_home(std::size_t extra) {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/qvkprofilefuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    std::string home = pattern + "/" + std::string(extra, 'h');
    for (const std::string &dir : {home, home + "/.mozilla", home + "/.mozilla/firefox",
                                   home + "/.thunderbird"})
        if (mkdir(dir.c_str(), 0755) != 0) std::abort();
    return home;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string homes[] = {make_home(1), make_home(200)};
    const std::uint8_t selector = size > 0 ? data[0] : 0;
    const ProfileApp app = selector & 1 ? ProfileApp::Thunderbird : ProfileApp::Firefox;
    const std::string &home = homes[(selector >> 1) & 1];
    const ProfileLocation where = profileLocationOf(app);

    const std::string list = home + where.listFile;
    FILE *out = std::fopen(list.c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size > 1) std::fwrite(data + 1, 1, size - 1, out);
    std::fclose(out);

    ProfileDirBuffer directory;
    directory.fill('\x7F');
    const int found = findProfileDir(home.c_str(), app, directory);
    if (found != 0 && found != 1) __builtin_trap();
    if (found == 1) {
        const void *end = std::memchr(directory.data(), '\0', directory.size());
        if (end == nullptr) __builtin_trap();
        const std::string prefix = home + where.parent;
        const std::string result(directory.data());
        if (result.compare(0, prefix.size(), prefix) != 0 || result.size() == prefix.size())
            __builtin_trap();
    }
    const ProfileDirs all = findProfileDirs(home.c_str(), app);
    if (found == 1 && (all.directories.empty() || all.directories.front() != directory.data()))
        __builtin_trap();
    if (all.directories.size() > PROFILE_DIRS_PER_LIST_MAX ||
        std::set<std::string>(all.directories.begin(), all.directories.end()).size() !=
            all.directories.size())
        __builtin_trap();
    const std::string prefix = home + where.parent;
    for (const std::string &named : all.directories) {
        const bool below = named.compare(0, prefix.size(), prefix) == 0 && named.size() > prefix.size();
        if (named.size() >= PROFILE_DIR_SIZE || named.find('\0') != std::string::npos ||
            (!below && named.front() != '/'))
            __builtin_trap();
    }
    // Mode "r" never changes the file and leaves no working copy beside it.
    std::string working_copy = list;
    working_copy.back() = '~';
    if (access(working_copy.c_str(), F_OK) == 0) __builtin_trap();
    return 0;
}
