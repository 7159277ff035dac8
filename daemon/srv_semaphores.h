// SPDX-License-Identifier: BSD-3-Clause
// The daemon's two System V semaphore sets, one semaphore each: the server
// set that requesters raise after posting a request, and the client set, on
// which requesters take turns (0 free, 1 held) and which the daemon only
// creates, resets and removes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>

// Set identifiers; -1 while a set was not obtained.
extern std::int32_t semServerId;
extern std::int32_t semClientId;

// Each returns 1 on success and 0 when the system call fails.

// Gets the server set, and only then the client set (keys SEM_SERVER_KEY and
// SEM_CLIENT_KEY, with the access of srv_access.h): an existing set is taken
// over.
int semCreate() noexcept;
// Sets semaphore 0 of the set to 0.
int semReset(std::int32_t set) noexcept;
// Resets the client set, except while a requester that is still alive (or
// that cannot be seen from here) holds the turn: resetting would clear that
// holder's undo entry and let a second requester in beside it. A turn left
// by a requester that died without giving it back, or any value a requester
// cannot have set, is reset.
int semResetTurn(std::int32_t set) noexcept;
// Removes the set from the system.
int semRemove(std::int32_t set) noexcept;

enum sem_wait_result {
    SEM_WAIT_TAKEN = 1,  // 1 taken
    SEM_WAIT_AGAIN = 0,  // the time ran out or a signal came: look again
    SEM_WAIT_GONE = -1,  // the set was removed
};
// Takes 1 from semaphore 0, blocking while it is 0 but no longer than
// `limit`. Without SEM_UNDO: the daemon never gives these back, and an undo
// count would reach the kernel's bound after 32767 waits, after which every
// wait fails at once.
sem_wait_result semWait(std::int32_t set, const timespec &limit) noexcept;

// Whether the set still exists.
bool semPresent(std::int32_t set) noexcept;

// Who opens: `claimed` (the requester word of the open) when the client
// set's last operator, as seen from here, is that very process (a requester
// that takes the turn is the last to operate on the set while it posts); 0
// otherwise (the word is 0 or names somebody else, the requester took no
// turn or lives in another PID namespace, an error). A process that merely
// operates on the set cannot pass for another requester, and the set's last
// operator is taken for nobody who does not say so. One system call.
pid_t semTurnHolder(std::int32_t set, pid_t claimed) noexcept;
