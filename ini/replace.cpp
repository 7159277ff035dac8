// SPDX-License-Identifier: BSD-3-Clause
// Replacing a file in one step: the new content goes to a fresh file in the
// same directory, reaches the disk, takes the old file's permission bits and
// owner, and is then renamed over the old one. Readers see either the whole
// old file or the whole new one, and a failure leaves the old file as it was.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "replace.h"

namespace {

// The file a path names: a symbolic link is replaced at its target.
std::string resolve(const char *path) {
    struct stat st {};
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char *real = realpath(path, nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return path;
}

void syncDirectoryOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);  // durability of the rename only; the new content is already safe
    close(fd);
}

}  // namespace

FileReplacement::FileReplacement(const char *path) : target_(resolve(path)) {
    for (int attempt = 0; attempt < 100 && !stream_; ++attempt) {
        unsigned char random[6];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return;
        char suffix[2 * sizeof random + 3] = ".";
        for (std::size_t i = 0; i < sizeof random; ++i)
            std::snprintf(suffix + 1 + 2 * i, 3, "%02x", random[i]);
        temporary_ = target_ + suffix;
        // Created like fopen(path, "w") creates a file, so that a new file
        // gets the usual permissions.
        const int fd = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return;
        }
        stream_ = fdopen(fd, "w");
        if (!stream_) {
            close(fd);
            unlink(temporary_.c_str());
            return;
        }
    }
}

FileReplacement::~FileReplacement() {
    if (stream_) {
        std::fclose(stream_);
        unlink(temporary_.c_str());
    }
}

bool FileReplacement::commit() {
    FILE *stream = stream_;
    stream_ = nullptr;
    const int fd = fileno(stream);
    bool ok = std::fflush(stream) == 0 && !std::ferror(stream);
    struct stat old {};
    if (ok && stat(target_.c_str(), &old) == 0) {
        // The owner is kept where the process may set it; the permission bits always.
        if (old.st_uid != geteuid() || old.st_gid != getegid()) (void)!fchown(fd, old.st_uid, old.st_gid);
        ok = fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && fsync(fd) == 0;
    ok = std::fclose(stream) == 0 && ok;
    ok = ok && rename(temporary_.c_str(), target_.c_str()) == 0;
    if (!ok) {
        unlink(temporary_.c_str());
        return false;
    }
    syncDirectoryOf(target_);
    return true;
}
