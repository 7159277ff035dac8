// SPDX-License-Identifier: BSD-3-Clause
// Whose rights a path may be acted on with, judged by root from the metadata
// along the path alone: nothing is opened, read or created on the way.
#pragma once

#include <sys/types.h>

#include <string>

struct PathOwner {
    enum class Kind {
        Root,    // root's own: nobody else can change anything on the way
        User,    // the first component on the way owned by someone else
        Nobody,  // others can change something on the way and own nothing of it
    };
    Kind kind = Kind::Root;
    uid_t uid = 0;  // User: that component's owner and group
    gid_t gid = 0;

    friend bool operator==(const PathOwner &, const PathOwner &) = default;
};

// Walks an absolute path from "/", component by component, with lstat.
// A component is root's when root owns it and neither its group nor others
// may write it; a root directory that others may write but whose sticky bit
// is set still keeps its existing root-owned entries (nobody else can remove
// or rename them), though not a missing entry, which anyone could create, nor
// the path's last component. A symbolic link is followed only while every
// component before it is root's and it is root's itself; its target is then
// walked the same way (at most 40 links).
//
// The result is Root when everything that exists on the way is root's (what
// does not exist lies in a directory only root can write). Otherwise the walk
// goes on, without following any link, to the first component owned by
// someone else, and the result is User with that owner; when there is none
// (a directory that others may write, a missing component or a link below
// it), the result is Nobody.
PathOwner ownerOfPath(const std::string &path);
