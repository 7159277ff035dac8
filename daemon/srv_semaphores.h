// The daemon's two System V semaphore sets, one semaphore each: the server
// set that requesters raise after posting a request, and the client set,
// which the daemon only creates, resets and removes.
#pragma once

#include <cstdint>

// Set identifiers; -1 while a set was not obtained.
extern std::int32_t semServerId;
extern std::int32_t semClientId;

// Each returns 1 on success and 0 when the system call fails.

// Gets the server set, and only then the client set (keys SEM_SERVER_KEY and
// SEM_CLIENT_KEY, flags QVK_IPC_FLAGS): an existing set is taken over.
int semCreate() noexcept;
// Sets semaphore 0 of the set to 0.
int semReset(std::int32_t set) noexcept;
// Removes the set from the system.
int semRemove(std::int32_t set) noexcept;
// Takes 1 from semaphore 0, blocking while it is 0. Without SEM_UNDO: the
// daemon never gives these back, and an undo count would reach the kernel's
// bound after 32767 waits, after which every wait fails at once.
int semWait(std::int32_t set) noexcept;
