// SPDX-License-Identifier: BSD-3-Clause
#include "acting_identity.h"

#include "login_environment.h"
#include "profile_dir.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

constexpr uid_t kNobodyId = 65534;

bool becomeUser(uid_t uid, gid_t gid, const char *home) {
    if (uid == 0) return false;
    // One look-up: without an entry it goes through every database there is.
    const passwd *entry = getpwuid(uid);
    const std::string name = entry != nullptr ? entry->pw_name : "";
    if (entry != nullptr) gid = entry->pw_gid;
    if (!enterLoginEnvironment(uid, entry, home)) return false;
    if (!name.empty() ? initgroups(name.c_str(), gid) != 0 : setgroups(1, &gid) != 0)
        return false;
    if (setgid(gid) != 0 || setuid(uid) != 0) return false;
    uid_t realUid = 0, effectiveUid = 0, savedUid = 0;
    gid_t realGid = 0, effectiveGid = 0, savedGid = 0;
    if (getresuid(&realUid, &effectiveUid, &savedUid) != 0 ||
        getresgid(&realGid, &effectiveGid, &savedGid) != 0)
        return false;
    return realUid == uid && effectiveUid == uid && savedUid == uid && realGid == gid &&
           effectiveGid == gid && savedGid == gid;
}

// Checks a profile directory and the databases in it: Root, with the
// directory's descriptor in directory when it exists and is a directory, or
// the first owner that is not root.
PathOwner checkProfileDirectory(const std::string &path, UniqueFd &directory) {
    CheckedPath checked = checkPath(path);
    if (checked.owner.kind != PathOwner::Kind::Root) return checked.owner;
    for (const char *file : PROFILE_DATABASE_FILES) {
        const PathOwner owner = ownerOfPath(path + "/" + file);
        if (owner.kind != PathOwner::Kind::Root) return owner;
    }
    struct stat status {};
    if (checked.object && fstat(checked.object.get(), &status) == 0 && S_ISDIR(status.st_mode))
        directory = std::move(checked.object);
    return checked.owner;
}

}  // namespace

ProfileAccess checkProfileAccess(const char *home, ProfileApp app) {
    const ProfileLocation location = profileLocationOf(app);
    if (location.listFile == nullptr) {
        // One database, used where it is and never created.
        CheckedProfile database{std::string(home) + location.parent, {}};
        const PathOwner owner = checkProfileDirectory(database.path, database.directory);
        if (owner.kind != PathOwner::Kind::Root || !database.directory) return {owner, false, {}};
        ProfileAccess access{owner, true, {}};
        access.profiles.push_back(std::move(database));
        return access;
    }

    const CheckedPath list = checkPath(std::string(home) + location.listFile);
    if (list.owner.kind != PathOwner::Kind::Root || !list.object) return {list.owner, false, {}};
    const ProfileDirs named = findProfileDirsThrough(list.object.get(), home, app);
    ProfileAccess access{list.owner, named.listed, {}};
    for (const std::string &path : named.directories) {
        CheckedProfile profile{path, {}};
        const PathOwner owner = checkProfileDirectory(path, profile.directory);
        // One profile that is not root's gives the whole store its owner's
        // rights: the attempt then finds the profiles by name.
        if (owner.kind != PathOwner::Kind::Root) return {owner, false, {}};
        access.profiles.push_back(std::move(profile));
    }
    return access;
}

void prepareIdentityLookups() {
    // Look-ups that no database answers go through every module of the
    // passwd and group lines, and so load each of them.
    constexpr uid_t kNoUser = 0x7ffffff3;
    constexpr gid_t kNoGroup = 0x7ffffff3;
    getpwuid(kNoUser);
    getgrgid(kNoGroup);
    gid_t groups[1];
    int count = 1;
    getgrouplist("nobody", kNoGroup, groups, &count);
}

bool takeIdentity(const PathOwner &identity, const char *home) {
    switch (identity.kind) {
        case PathOwner::Kind::Root:
            return true;
        case PathOwner::Kind::User:
            return becomeUser(identity.uid, identity.gid, home);
        case PathOwner::Kind::Nobody:
            if (const passwd *nobody = getpwnam("nobody"); nobody != nullptr && nobody->pw_uid != 0)
                return becomeUser(nobody->pw_uid, nobody->pw_gid, home);
            return becomeUser(kNobodyId, kNobodyId, home);
    }
    return false;
}
