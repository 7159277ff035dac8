// SPDX-License-Identifier: BSD-3-Clause
// Requesters take turns on the client semaphore set: 0 means free, 1 held
// for one request, TURN_EXCLUSIVE held for an exclusive sequence. The
// holder's raise carries SEM_UNDO, so the kernel gives the turn back when a
// holder dies, whatever it was doing.
#pragma once

#include "deadline.h"
#include "qvk_segment.h"
#include "qvkclient.h"

namespace qvk::client {

class Turn {
public:
    Turn() = default;
    ~Turn() { give(); }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;
    Turn(Turn &&other) noexcept : client_set_(other.client_set_), weight_(other.weight_) { other.client_set_ = -1; }
    Turn &operator=(Turn &&other) noexcept;

    // One atomic operation: wait until the set is 0, then raise it by
    // `weight` (1, or TURN_EXCLUSIVE). While it waits, it takes the turn
    // from an exclusive holder of another process that has left it idle too
    // long. QVK_ERR_TIMEOUT when the deadline passes first.
    qvk_result take(int client_set, const Deadline &deadline, short weight = 1);
    // Lowers the set again (with SEM_UNDO, cancelling the take's undo), as
    // long as the take is still this process's own.
    void give();
    // Forgets the turn without giving anything back.
    void drop() { client_set_ = -1; }

    bool held() const { return client_set_ >= 0; }
    int client_set() const { return client_set_; }

private:
    int client_set_ = -1;
    short weight_ = 1;
};

// Whether this process still holds the undo entry of a take on the set:
// false once a reset (a daemon starting afresh, or a waiter taking an idle
// exclusive turn away) has cleared it, or when the set has gone.
bool take_still_recorded(int client_set);

// Marks the set as used just now (its sem_otime), changing nothing else:
// what an exclusive holder does to show that it is busy. False when the set
// has gone.
bool mark_turn_busy(int client_set);

}  // namespace qvk::client
