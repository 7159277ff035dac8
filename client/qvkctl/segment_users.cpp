// SPDX-License-Identifier: BSD-3-Clause
#include "segment_users.h"

#include <sys/sem.h>
#include <sys/shm.h>

#include <fstream>
#include <string>

#include "qvk_segment.h"

namespace qvkctl {

namespace {

bool is_daemon(pid_t pid) {
    if (pid <= 0) return false;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return std::getline(comm, name) && name == "qvkserver";
}

}  // namespace

SegmentUsers segment_users() {
    SegmentUsers users;
    const int segment = shmget(SHM_KEY, 0, 0);
    shmid_ds status{};
    if (segment == -1 || shmctl(segment, IPC_STAT, &status) != 0) return users;
    users.attachments = static_cast<long>(status.shm_nattch);
    if (users.attachments == 0) return users;
    const int server_set = semget(SEM_SERVER_KEY, 0, 0);
    const pid_t last_waiter = server_set == -1 ? 0 : semctl(server_set, 0, GETPID);
    for (const pid_t candidate : {last_waiter, status.shm_lpid, status.shm_cpid}) {
        if (is_daemon(candidate)) {
            users.daemon = candidate;
            break;
        }
    }
    return users;
}

}  // namespace qvkctl
