// SPDX-License-Identifier: BSD-3-Clause
// Whose rights a path may be acted on with, judged by root on what it opens
// along the path: each component is opened with O_PATH and without following
// it (nothing is read, created or loaded), checked with fstatfs and fstat,
// and the next one is opened below that very descriptor.
#pragma once

#include "unique_fd.h"

#include <sys/types.h>

#include <string>

struct PathOwner {
    enum class Kind {
        Root,    // root's own: nobody else can change anything on the way
        User,    // the first component on the way owned by someone else
        Nobody,  // others can change something on the way, or it cannot be told
    };
    Kind kind = Kind::Root;
    uid_t uid = 0;  // User: that component's owner and group
    gid_t gid = 0;

    friend bool operator==(const PathOwner &, const PathOwner &) = default;
};

struct CheckedPath {
    PathOwner owner;
    // Root only, and only when the whole path exists: an O_PATH descriptor of
    // the object that was checked, to be opened through /proc/self/fd so
    // that nothing is resolved by name again.
    UniqueFd object;
};

// Walks an absolute path from "/", component by component. A component is
// root's when root owns it and neither its group nor others may write it; a
// root directory that others may write but whose sticky bit is set still
// keeps its existing entries (nobody else can remove or rename them), though
// not a missing entry, which anyone could create, nor the path's last
// component. A symbolic link is followed only while every component before it
// is root's and it is root's itself; its target is then walked the same way
// (at most 40 links).
//
// The result is Root when everything that exists on the way is root's (what
// does not exist lies in a directory only root can write). Otherwise:
// - the first component owned by someone else gives User with its owner,
//   provided that nothing before it is a directory that others may write
//   without the sticky bit (whose entries anyone of them could swap);
// - a component on a FUSE file system gives User with the mounter of that
//   file system (what it reports as owners and modes is the mounter's
//   choice), again provided that nothing before it is open to others, and
//   Nobody when root mounted it or the mounter cannot be told;
// - everything else gives Nobody: a directory open to others on the way, a
//   missing entry in one, and any error but ENOENT (EACCES, ELOOP, EIO...).
// Nothing below the first component that is not root's is opened.
CheckedPath checkPath(const std::string &path);

// The owner part of checkPath.
PathOwner ownerOfPath(const std::string &path);
