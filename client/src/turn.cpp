// SPDX-License-Identifier: BSD-3-Clause
#include "turn.h"

#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>

#include "ipc.h"

namespace qvk::client {

qvk_result Turn::take(int client_set, const Deadline &deadline) {
    sembuf operations[2] = {
        {0, 0, 0},                               // wait for zero ...
        {0, 1, static_cast<short>(SEM_UNDO)},    // ... and take it, in one step
    };
    for (;;) {
        timespec left = deadline.remaining_timespec();
        if (semtimedop(client_set, operations, 2, &left) == 0) {
            client_set_ = client_set;
            return QVK_OK;
        }
        if (errno == EAGAIN) return QVK_ERR_TIMEOUT;
        if (errno != EINTR) return ipc_error(errno);
        if (deadline.expired()) return QVK_ERR_TIMEOUT;
    }
}

void Turn::give() {
    if (!held()) return;
    // While this process holds the turn nobody else can complete an
    // operation on the set, so the last one is this process's take. Anything
    // else means that a daemon starting afresh has reset the set (and with it
    // this process's undo entry), and maybe another requester has taken the
    // turn since: lowering the set now would take that one's turn away and
    // let a third in beside it. There is nothing left to give back then.
    if (semctl(client_set_, 0, GETPID) == getpid()) {
        // IPC_NOWAIT: never wait for somebody else's turn.
        sembuf give_back{0, -1, static_cast<short>(SEM_UNDO | IPC_NOWAIT)};
        while (semop(client_set_, &give_back, 1) != 0 && errno == EINTR) {
        }
    }
    // Any failure means the set has gone: nothing left to give back.
    client_set_ = -1;
}

}  // namespace qvk::client
