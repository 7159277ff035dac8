// SPDX-License-Identifier: BSD-3-Clause
// One daemon per IPC namespace. The lock is a POSIX message queue of the
// IPC namespace itself, locked with flock: it lives in the same namespace as
// the segment and the semaphore sets it guards, no requester ever opens it
// (so being attached to the segment never counts), its lock goes with the
// open file description (a fork keeps it), and the kernel drops it when the
// holder dies, however it dies.
#pragma once

enum srv_lock_result {
    SRV_LOCK_HELD = 1,     // this process (and its forks) now hold it
    SRV_LOCK_TAKEN = 0,    // another daemon holds it
    SRV_LOCK_FAILED = -1,  // no lock could be made
};

// Takes the lock without waiting, except for a short grace in which a
// daemon that was just killed finishes dying. Its descriptor stays open for
// the rest of the process's life.
srv_lock_result srv_lock_instance() noexcept;
