// SPDX-License-Identifier: BSD-3-Clause
#include "srv_access.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qvk_segment.h"

namespace {

constexpr mode_t kEveryone = 0777;
// Read, write and the execute bit for owner and group: the execute bit means
// nothing to IPC objects, but a requester that asks for all of 0777 when it
// gets them (as the daemon's own creation flags do, and so may the token's
// own modules) is refused unless it is granted.
constexpr mode_t kGroupOnly = 0770;

bool limited = false;
gid_t access_group = 0;

mode_t wanted_mode() { return limited ? kGroupOnly : kEveryone; }

bool has_access(const ipc_perm &perm) {
    return (perm.mode & 0777) == wanted_mode() && (!limited || perm.gid == access_group);
}

// The owner is the daemon itself: only an object's owner may change it, and
// in a user namespace only mapped ids can be given (root, and the group when
// the unit names it in Group=).
void set_access(ipc_perm &perm) {
    perm.uid = geteuid();
    perm.gid = limited ? access_group : getegid();
    perm.mode = wanted_mode();
}

void report(const char *object, int error) {
    std::fprintf(stderr, "qvkserver: cannot give its %s to group %u only: %s%s\n", object,
                 static_cast<unsigned>(access_group), std::strerror(error),
                 error == EINVAL ? " (in a user namespace such as the unit's PrivateUsers=, the group "
                                   "must be mapped: name it in Group= as well)"
                                 : "");
}

// A change the object refused: the end for a limited access; the default
// one takes the object over as it is.
bool refused(const char *object, int error) {
    if (!limited) return true;
    report(object, error);
    return false;
}

// semctl's optional fourth argument, which callers must define.
union semun_value {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

// Each: true when the object has this run's access now.
bool give_set_access(int id) {
    semid_ds status{};
    semun_value argument{};
    argument.buf = &status;
    if (semctl(id, 0, IPC_STAT, argument) != 0) return refused("semaphore sets", errno);
    if (has_access(status.sem_perm)) return true;
    set_access(status.sem_perm);
    return semctl(id, 0, IPC_SET, argument) == 0 || refused("semaphore sets", errno);
}

bool give_segment_access(int id) {
    shmid_ds status{};
    if (shmctl(id, IPC_STAT, &status) != 0) return refused("segment", errno);
    if (has_access(status.shm_perm)) return true;
    set_access(status.shm_perm);
    return shmctl(id, IPC_SET, &status) == 0 || refused("segment", errno);
}

}  // namespace

void srv_access_limit_to(gid_t group) noexcept {
    limited = true;
    access_group = group;
}

int srv_access_semaphore_set(key_t key) noexcept {
    // No access asked for in the lookup: the daemon, without capabilities,
    // must find a set whatever mode an earlier run left it with.
    int id = semget(key, 1, 0);
    while (id == -1 && errno == ENOENT) {
        id = semget(key, 1, IPC_CREAT | IPC_EXCL | static_cast<int>(wanted_mode()));
        if (id == -1 && errno == EEXIST) id = semget(key, 1, 0);
    }
    if (id == -1) return -1;
    return give_set_access(id) ? id : -1;
}

int srv_access_segment() noexcept {
    int id = shmget(SHM_KEY, SHM_SIZE, 0);
    if (id != -1 && limited) {
        shmid_ds status{};
        if (shmctl(id, IPC_STAT, &status) != 0) {
            report("segment", errno);
            return -1;
        }
        if (!has_access(status.shm_perm)) {
            if (shmctl(id, IPC_RMID, nullptr) != 0) {
                report("segment", errno);
                return -1;
            }
            id = -1;
            errno = ENOENT;
        }
    }
    while (id == -1 && errno == ENOENT) {
        id = shmget(SHM_KEY, SHM_SIZE, IPC_CREAT | IPC_EXCL | static_cast<int>(wanted_mode()));
        if (id == -1 && errno == EEXIST) id = shmget(SHM_KEY, SHM_SIZE, 0);
    }
    if (id == -1) return -1;
    return give_segment_access(id) ? id : -1;
}
