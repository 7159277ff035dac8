// SPDX-License-Identifier: BSD-3-Clause
#include "turn.h"

#include <sys/sem.h>

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

namespace {

// Whether this process still holds the undo entry of its take (-1 on
// semaphore 0). The probe raises and lowers the semaphore by 16384 four
// times each, half of them with SEM_UNDO so that the entry dips by 32768 on
// the way and comes back: the semaphore's value and the entry end as they
// were. The kernel bounds an undo entry at -32768, so the probe fails with
// ERANGE exactly when the entry started at -1, and succeeds (changing
// nothing) when a reset of the set (SETVAL, as a daemon starting afresh
// does) has cleared it. Nothing another process does on the set, short of
// such a reset, changes the answer.
bool take_still_recorded(int client_set) {
    constexpr short kStep = 16384;
    constexpr short kUndo = SEM_UNDO | IPC_NOWAIT;
    constexpr short kPlain = IPC_NOWAIT;
    sembuf probe[8] = {{0, kStep, kUndo},  {0, -kStep, kPlain}, {0, kStep, kUndo},  {0, -kStep, kPlain},
                       {0, kStep, kPlain}, {0, -kStep, kUndo},  {0, kStep, kPlain}, {0, -kStep, kUndo}};
    for (;;) {
        if (semop(client_set, probe, 8) == 0) return false;
        if (errno == ERANGE) return true;
        if (errno != EINTR) return false;  // the set has gone
    }
}

}  // namespace

void Turn::give() {
    if (!held()) return;
    // Only this process's own undo entry says whether the turn is still its
    // own. The set's last operator says nothing: any process may operate on
    // the set (a -1 and +1 at once changes nothing but that), and taking
    // that for a reset would keep the turn from everybody. A reset by a
    // daemon starting afresh does clear the entry, and maybe another
    // requester has taken the turn since: lowering the set then would take
    // that one's turn away and let a third in beside it.
    if (take_still_recorded(client_set_)) {
        // IPC_NOWAIT: never wait for somebody else's turn.
        sembuf give_back{0, -1, static_cast<short>(SEM_UNDO | IPC_NOWAIT)};
        while (semop(client_set_, &give_back, 1) != 0 && errno == EINTR) {
        }
    }
    // Any failure means the set has gone: nothing left to give back.
    client_set_ = -1;
}

}  // namespace qvk::client
