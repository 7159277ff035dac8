// SPDX-License-Identifier: BSD-3-Clause
// The shared-memory request loop: sets the segment up once, then serves
// posted requests one at a time for the rest of the process's life.
#pragma once

enum {
    SRV_LOOP_NO_SEGMENT = 0,       // the segment could not be got or attached
    SRV_LOOP_OBJECTS_REMOVED = 2,  // a semaphore set or the segment was removed
};

// Returns only when the segment cannot be got or attached (after printing
// why on standard error), or when one of the IPC objects has been removed
// under it. Needs the semaphore sets and srv_mutex. serving, when given, is
// called once the segment is set up, right before the first wait for a
// request: from then on a posted request is served. When family calls are
// bounded (family_calls_bound), a watchdog thread abandons a call that runs
// past the bound and another thread serves on (family_calls.h); the daemon
// then ends from that thread when its objects are removed (status 1, the
// same message), and this call never returns.
int srv_request_loop(void (*serving)() noexcept = nullptr) noexcept;
