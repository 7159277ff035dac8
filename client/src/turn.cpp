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

void Turn::give() {
    if (!held()) return;
    const short undo_nowait = static_cast<short>(SEM_UNDO | IPC_NOWAIT);
    sembuf give_back{0, -1, undo_nowait};
    int result;
    while ((result = semop(client_set_, &give_back, 1)) != 0 && errno == EINTR) {
    }
    if (result != 0 && errno == EAGAIN) {
        // The set reads 0 although this process holds the turn: a daemon
        // starting afresh reset it. Nothing to give back, but the take's
        // undo entry must go, or it would lower the set (someone else's turn)
        // when this process ends: raise and lower in one step, the lowering
        // with SEM_UNDO, which cancels the entry and leaves the value as it is.
        sembuf cancel_undo[2] = {{0, 1, static_cast<short>(IPC_NOWAIT)}, {0, -1, undo_nowait}};
        while (semop(client_set_, cancel_undo, 2) != 0 && errno == EINTR) {
        }
    }
    // Any other failure means the set has gone: nothing left to give back.
    client_set_ = -1;
}

}  // namespace qvk::client
