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
    // IPC_NOWAIT: the set may read 0 although this process holds the turn,
    // when a daemon starting afresh has reset it. A reset also clears every
    // process's undo entry for the set, so there is then nothing to give back
    // and nothing left to undo; waiting would only take someone else's turn.
    sembuf give_back{0, -1, static_cast<short>(SEM_UNDO | IPC_NOWAIT)};
    while (semop(client_set_, &give_back, 1) != 0 && errno == EINTR) {
    }
    // Any other failure means the set has gone: nothing left to give back.
    client_set_ = -1;
}

}  // namespace qvk::client
