// SPDX-License-Identifier: BSD-3-Clause
#include "turn.h"

#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "ipc.h"

namespace qvk::client {

namespace {

// semctl's optional fourth argument, which callers must define.
union semun_argument {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

// How long one wait for the turn lasts before the waiter looks whether an
// exclusive holder has left it idle too long.
constexpr std::chrono::seconds kIdleHolderLook{1};

bool semop_retrying(int client_set, sembuf *operations, std::size_t count) {
    for (;;) {
        if (semop(client_set, operations, count) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// Takes the turn from an exclusive holder of another process that has not
// used it for EXCLUSIVE_RECLAIM_S seconds (the set's sem_otime; the holder
// marks it before, during and after each of its requests, and gives up by
// itself after EXCLUSIVE_IDLE_LIMIT_S), so that a holder that forgot to end
// its sequence, or hangs, does not keep everybody out for good. A holder
// of this same process is left alone: its undo entry is this process's
// too, so it could not tell that it lost the turn.
bool take_from_idle_holder(int client_set, short weight) {
    if (semctl(client_set, 0, GETVAL) < TURN_EXCLUSIVE) return false;
    if (semctl(client_set, 0, GETPID) == getpid()) return false;
    semid_ds status{};
    semun_argument stat_argument{};
    stat_argument.buf = &status;
    if (semctl(client_set, 0, IPC_STAT, stat_argument) != 0) return false;
    if (std::time(nullptr) - status.sem_otime < EXCLUSIVE_RECLAIM_S) return false;
    // Atomically: only while an exclusive holder still holds it, lower it
    // to this process's one turn.
    sembuf seize[2] = {{0, -TURN_EXCLUSIVE, IPC_NOWAIT}, {0, 1, static_cast<short>(SEM_UNDO | IPC_NOWAIT)}};
    if (!semop_retrying(client_set, seize, 2)) return false;
    // The old holder's undo entry must go, or its end (or its exit) would
    // lower the set under the next holder; only a reset clears another
    // process's entry. The set stays 1 throughout: nobody else gets in.
    semun_argument one{};
    one.val = 1;
    semctl(client_set, 0, SETVAL, one);
    // The reset cleared this process's entry too: hold the turn with an
    // entry of its own again, at the weight asked for.
    sembuf own[2] = {{0, weight, static_cast<short>(SEM_UNDO | IPC_NOWAIT)}, {0, -1, IPC_NOWAIT}};
    semop_retrying(client_set, own, 2);
    return true;
}

}  // namespace

Turn &Turn::operator=(Turn &&other) noexcept {
    if (this != &other) {
        give();
        client_set_ = other.client_set_;
        weight_ = other.weight_;
        other.client_set_ = -1;
    }
    return *this;
}

qvk_result Turn::take(int client_set, const Deadline &deadline, short weight) {
    sembuf operations[2] = {
        {0, 0, 0},                                 // wait for zero ...
        {0, weight, static_cast<short>(SEM_UNDO)},  // ... and take it, in one step
    };
    for (;;) {
        timespec left = deadline.remaining_timespec(kIdleHolderLook);
        if (semtimedop(client_set, operations, 2, &left) == 0) break;
        if (errno != EAGAIN && errno != EINTR) return ipc_error(errno);
        if (deadline.expired()) return QVK_ERR_TIMEOUT;
        if (errno == EAGAIN && take_from_idle_holder(client_set, weight)) break;
    }
    client_set_ = client_set;
    weight_ = weight;
    return QVK_OK;
}

// Whether this process still holds the undo entry of its take (a negative
// entry on semaphore 0). The probe raises and lowers the semaphore by 16384
// four times each, half of them with SEM_UNDO so that the entry dips by
// 32768 on the way and comes back: the semaphore's value and the entry end
// as they were. The kernel bounds an undo entry at -32768, so the probe
// fails with ERANGE exactly when the entry started below 0, and succeeds
// (changing nothing) when a reset of the set (SETVAL, as a daemon starting
// afresh does) has cleared it. Nothing another process does on the set,
// short of such a reset, changes the answer.
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

bool mark_turn_busy(int client_set) {
    sembuf touch[2] = {{0, 1, IPC_NOWAIT}, {0, -1, IPC_NOWAIT}};
    return semop_retrying(client_set, touch, 2);
}

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
        sembuf give_back{0, static_cast<short>(-weight_), static_cast<short>(SEM_UNDO | IPC_NOWAIT)};
        semop_retrying(client_set_, &give_back, 1);
    }
    // Any failure means the set has gone: nothing left to give back.
    client_set_ = -1;
}

}  // namespace qvk::client
