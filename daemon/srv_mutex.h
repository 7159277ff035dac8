// SPDX-License-Identifier: BSD-3-Clause
// The request mutex, private to the daemon's process: the request loop holds
// it while it waits for and serves one request. Each wrapper returns the
// result of the underlying call (0 on success).
#pragma once

#include <pthread.h>

extern pthread_mutex_t srv_mutex;

int srv_mutex_init() noexcept;     // default attributes
int srv_mutex_lock() noexcept;
int srv_mutex_unlock() noexcept;
int srv_mutex_destroy() noexcept;
