// SPDX-License-Identifier: BSD-3-Clause
// File systems that a user can mount over a directory of their own: FUSE,
// whose set-user-ID helper fusermount3 every user may run. What such a file
// system reports as owners and modes is whatever the user's daemon answers,
// so it proves nothing; only the mount itself tells who is behind it.
//
// Every other mount is root's doing (mount(8) lets a user mount only what the
// administrator lists in fstab), so its owners are the kernel's: the
// directory found at its mount point is checked like any other, and one that
// is not root's gives its owner's rights to everything below it.
#pragma once

#include <sys/types.h>

#include <optional>

// Who mounted a FUSE file system: the user_id and group_id that the kernel
// records for each FUSE mount (and shows among its options in
// /proc/self/mountinfo); on a FUSE mount made without "allow_other" only
// that user may enter it, while root gets EACCES.
struct FuseMounter {
    uid_t uid = 0;
    gid_t gid = 0;
};

// For an opened object (an O_PATH descriptor will do): whether it lies on a
// FUSE file system (fstatfs reports FUSE_SUPER_MAGIC for "fuse", "fuse.*"
// and "fuseblk" alike, also to a process the mount shuts out). Nothing when
// that cannot be told.
std::optional<bool> onFuse(int fd);

// The mounter of the FUSE file system that fd lies on, found by its device
// number in /proc/self/mountinfo; nothing when there is no such FUSE mount or
// its options name no user.
std::optional<FuseMounter> fuseMounterOf(int fd);
