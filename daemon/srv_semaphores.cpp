#include "srv_semaphores.h"

#include <sys/sem.h>

#include "qvk_segment.h"

std::int32_t semServerId = -1;
std::int32_t semClientId = -1;

namespace {
// semctl's optional fourth argument, which callers must define.
union semun_value {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};
}  // namespace

int semCreate() noexcept {
    semServerId = semget(SEM_SERVER_KEY, 1, QVK_IPC_FLAGS);
    if (semServerId == -1) return 0;
    semClientId = semget(SEM_CLIENT_KEY, 1, QVK_IPC_FLAGS);
    return semClientId == -1 ? 0 : 1;
}

int semReset(std::int32_t set) noexcept {
    semun_value zero{};
    zero.val = 0;
    return semctl(set, 0, SETVAL, zero) == -1 ? 0 : 1;
}

int semRemove(std::int32_t set) noexcept { return semctl(set, 0, IPC_RMID) == -1 ? 0 : 1; }

int semWait(std::int32_t set) noexcept {
    sembuf take{};
    take.sem_num = 0;
    take.sem_op = -1;
    take.sem_flg = 0;
    return semop(set, &take, 1) == -1 ? 0 : 1;
}
