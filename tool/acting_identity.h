// SPDX-License-Identifier: BSD-3-Clause
// The identity that one profile attempt runs with: decided by root before
// anything of the profile is opened, then taken for good.
#pragma once

#include "path_owner.h"
#include "profile_app.h"
#include "unique_fd.h"

#include <string>
#include <vector>

// The Mozilla databases that NSS may open, create or convert in a profile directory.
inline constexpr const char *PROFILE_DATABASE_FILES[] = {"cert9.db", "key4.db", "pkcs11.txt",
                                                         "cert8.db", "key3.db", "secmod.db"};

// A profile directory that root checked, for an attempt with root's rights.
struct CheckedProfile {
    std::string path;  // as the profile list names it
    // An O_PATH descriptor of the very directory that was checked, to be
    // handed to NSS as "/proc/self/fd/N"; none when it does not exist.
    UniqueFd directory;
};

// Whose rights one store's attempt takes and, with root's, what it works on.
struct ProfileAccess {
    PathOwner identity;
    // Root only: whether the store is there (its profile list, or the
    // directory of a store that is one database), and each directory it
    // names, in the order of the list.
    bool present = false;
    std::vector<CheckedProfile> profiles;
};

// Root when the store's profile list, every profile directory it names and
// the databases in them (or the database directory and its files) are
// root's all the way (see checkPath); otherwise the first owner found on
// that way, or Nobody. profiles.ini is read here only when it is root's, and
// then through the descriptor that was checked, so that nothing anyone else
// wrote is read as root.
ProfileAccess checkProfileAccess(const char *home, ProfileApp app);

// Loads the user and group database's modules (nsswitch.conf) in the calling
// process, so that the children it starts find them loaded instead of each
// loading them again.
void prepareIdentityLookups();

// Takes the identity for the rest of the process: Root keeps the caller's
// rights and environment; User becomes that user with the groups of a login
// (the primary group of the user's passwd entry and every group that lists
// the user) or, without a passwd entry, with the component's group as the
// only group; Nobody becomes the user "nobody" (65534 when there is none).
// Before it gives up root's rights it replaces the environment with the one
// of that user's login (see enterLoginEnvironment; home: the home being
// worked on). False unless all of it took.
bool takeIdentity(const PathOwner &identity, const char *home);
