// SPDX-License-Identifier: BSD-3-Clause
#include "srv_mutex.h"

pthread_mutex_t srv_mutex;

int srv_mutex_init() noexcept { return pthread_mutex_init(&srv_mutex, nullptr); }
int srv_mutex_lock() noexcept { return pthread_mutex_lock(&srv_mutex); }
int srv_mutex_unlock() noexcept { return pthread_mutex_unlock(&srv_mutex); }
int srv_mutex_destroy() noexcept { return pthread_mutex_destroy(&srv_mutex); }
