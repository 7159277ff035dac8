// SPDX-License-Identifier: BSD-3-Clause
#include "srv_semaphores.h"

#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "qvk_segment.h"
#include "srv_access.h"

std::int32_t semServerId = -1;
std::int32_t semClientId = -1;

namespace {
// semctl's optional fourth argument, which callers must define.
union semun_value {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

bool alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }
}  // namespace

int semCreate() noexcept {
    semServerId = srv_access_semaphore_set(SEM_SERVER_KEY);
    if (semServerId == -1) return 0;
    semClientId = srv_access_semaphore_set(SEM_CLIENT_KEY);
    return semClientId == -1 ? 0 : 1;
}

int semReset(std::int32_t set) noexcept {
    semun_value zero{};
    zero.val = 0;
    return semctl(set, 0, SETVAL, zero) == -1 ? 0 : 1;
}

int semResetTurn(std::int32_t set) noexcept {
    const int value = semctl(set, 0, GETVAL);
    if (value == -1) return 0;
    // Free already: nothing to reset, and a reset could strike just after a
    // requester took the turn.
    if (value == 0) return 1;
    if (value == 1) {
        const int holder = semctl(set, 0, GETPID);
        if (holder == -1) return 0;
        // Only its holder can lower a 1, so the check cannot be overtaken.
        if (holder == 0 || (holder != getpid() && alive(holder))) return 1;
    }
    return semReset(set);
}

int semRemove(std::int32_t set) noexcept { return semctl(set, 0, IPC_RMID) == -1 ? 0 : 1; }

sem_wait_result semWait(std::int32_t set, const timespec &limit) noexcept {
    sembuf take{};
    take.sem_num = 0;
    take.sem_op = -1;
    take.sem_flg = 0;
    timespec left = limit;
    if (semtimedop(set, &take, 1, &left) == 0) return SEM_WAIT_TAKEN;
    return errno == EIDRM || errno == EINVAL ? SEM_WAIT_GONE : SEM_WAIT_AGAIN;
}

bool semPresent(std::int32_t set) noexcept {
    return semctl(set, 0, GETVAL) != -1 || (errno != EIDRM && errno != EINVAL);
}

pid_t semTurnHolder(std::int32_t set, pid_t claimed) noexcept {
    if (claimed <= 0 || claimed == getpid()) return 0;
    return semctl(set, 0, GETPID) == claimed ? claimed : 0;
}
