// SPDX-License-Identifier: BSD-3-Clause
// What a hostile user mounts over their own directory with FUSE: the
// directory's own content, passed through with the user's rights, but with
// every file reported as root's and writable by neither group nor others.
//
//   keyrill_lying_fs <directory> <uid> <gid> [allow_other]
//
// Run as root: mounts over <directory> as fusermount3 would for user uid
// (the kernel records user_id and group_id; without allow_other only that
// user may enter the mount), gives up root for uid:gid, prints "ready" and
// serves until the mount goes away.
#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int g_base = -1;  // the directory mounted over, opened before the mount

std::string relative(const char *path) {
    return path[1] == '\0' ? "." : path + 1;
}

int result(int status) {
    return status < 0 ? -errno : 0;
}

int lieGetattr(const char *path, struct stat *status, fuse_file_info *file) {
    const int got = file != nullptr ? fstat(static_cast<int>(file->fh), status)
                                    : fstatat(g_base, relative(path).c_str(), status,
                                              AT_SYMLINK_NOFOLLOW);
    if (got != 0) return -errno;
    status->st_uid = 0;
    status->st_gid = 0;
    status->st_mode &= ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
    return 0;
}

int lieOpen(const char *path, fuse_file_info *file) {
    const int fd = openat(g_base, relative(path).c_str(), file->flags | O_CLOEXEC);
    if (fd < 0) return -errno;
    file->fh = static_cast<uint64_t>(fd);
    return 0;
}

int lieCreate(const char *path, mode_t mode, fuse_file_info *file) {
    const int fd = openat(g_base, relative(path).c_str(), file->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) return -errno;
    file->fh = static_cast<uint64_t>(fd);
    return 0;
}

int lieRead(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *file) {
    const ssize_t got = pread(static_cast<int>(file->fh), buffer, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

int lieWrite(const char *, const char *buffer, size_t size, off_t offset, fuse_file_info *file) {
    const ssize_t put = pwrite(static_cast<int>(file->fh), buffer, size, offset);
    return put < 0 ? -errno : static_cast<int>(put);
}

int lieRelease(const char *, fuse_file_info *file) {
    close(static_cast<int>(file->fh));
    return 0;
}

int lieUnlink(const char *path) {
    return result(unlinkat(g_base, relative(path).c_str(), 0));
}

int lieRename(const char *from, const char *to, unsigned int flags) {
    return result(renameat2(g_base, relative(from).c_str(), g_base, relative(to).c_str(), flags));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <directory> <uid> <gid> [allow_other]\n", argv[0]);
        return 2;
    }
    const uid_t uid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
    const gid_t gid = static_cast<gid_t>(std::strtoul(argv[3], nullptr, 10));
    const bool allowOther = argc > 4 && std::string(argv[4]) == "allow_other";

    g_base = open(argv[1], O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int device = open("/dev/fuse", O_RDWR);
    if (g_base < 0 || device < 0) {
        std::perror("open");
        return 1;
    }
    std::string options = "fd=" + std::to_string(device) + ",rootmode=40000,user_id=" +
                          std::to_string(uid) + ",group_id=" + std::to_string(gid);
    if (allowOther) options += ",allow_other";
    if (mount("lyingfs", argv[1], "fuse.lyingfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        std::perror("mount");
        return 1;
    }
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
        std::perror("setresuid");
        return 1;
    }

    fuse_operations operations{};
    operations.getattr = lieGetattr;
    operations.open = lieOpen;
    operations.create = lieCreate;
    operations.read = lieRead;
    operations.write = lieWrite;
    operations.release = lieRelease;
    operations.unlink = lieUnlink;
    operations.rename = lieRename;

    char *arguments[] = {argv[0], nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, arguments);
    fuse *fileSystem = fuse_new(&args, &operations, sizeof operations, nullptr);
    const std::string mounted = "/dev/fd/" + std::to_string(device);
    if (fileSystem == nullptr || fuse_mount(fileSystem, mounted.c_str()) != 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    const int status = fuse_loop(fileSystem);
    fuse_destroy(fileSystem);
    return status < 0 ? 1 : 0;
}
