// The shared-memory request loop: sets the segment up once, then serves
// posted requests one at a time for the rest of the process's life.
#pragma once

// Returns 0, and only when the segment cannot be got or attached (after
// printing why on standard error). Needs the semaphore sets and srv_mutex.
int srv_request_loop() noexcept;
