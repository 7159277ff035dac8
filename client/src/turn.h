// SPDX-License-Identifier: BSD-3-Clause
// Requesters take turns on the client semaphore set: 0 means free, 1 held.
// The holder's +1 carries SEM_UNDO, so the kernel gives the turn back when a
// holder dies, whatever it was doing.
#pragma once

#include "deadline.h"
#include "qvkclient.h"

namespace qvk::client {

class Turn {
public:
    Turn() = default;
    ~Turn() { give(); }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;

    // One atomic operation: wait until the set is 0, then raise it to 1.
    // QVK_ERR_TIMEOUT when the deadline passes first.
    qvk_result take(int client_set, const Deadline &deadline);
    // Lowers the set again (with SEM_UNDO, cancelling the take's undo).
    void give();

    bool held() const { return client_set_ >= 0; }

private:
    int client_set_ = -1;
};

}  // namespace qvk::client
