// SPDX-License-Identifier: BSD-3-Clause
// One daemon per IPC namespace. The lock is a file named after the IPC
// namespace ("ipc-<namespace inode>.lock") in /run/qvkserver, a directory
// that only root may write (the service's RuntimeDirectory=; made with mode
// 0700 when the daemon is started by hand), created with mode 0600 and
// locked with flock. No other user can create, open or lock it, and it
// takes no resource that another user could use up: nothing a user does
// keeps the daemon from starting. The lock goes with the open file
// description (a fork keeps it), and the kernel drops it when the holder
// dies, however it dies. The file is never removed, so two starters always
// lock the same file.
#pragma once

enum srv_lock_result {
    SRV_LOCK_HELD = 1,     // this process (and its forks) now hold it
    SRV_LOCK_TAKEN = 0,    // another daemon holds it
    SRV_LOCK_FAILED = -1,  // no lock could be made
};

// Takes the lock without waiting on a daemon that serves. While its holder
// is dying (killed, and still closing its devices) or not yet known, it
// tries again for a few seconds. The descriptor stays open for the rest of
// the process's life.
srv_lock_result srv_lock_instance() noexcept;

// Writes this process's id into the lock file, so that a later start can
// tell a serving holder from a dying one. The detached daemon calls it.
void srv_lock_note_holder() noexcept;
