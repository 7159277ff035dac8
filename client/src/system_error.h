// SPDX-License-Identifier: BSD-3-Clause
// The errno behind a result that a failed system call gave, kept per thread
// (as errno is) for the caller to ask after the call: each call of the C
// interface records it under its connection, or under none for the calls
// that have no connection yet (qvk_connect, qvk_probe).
#pragma once

#include "qvkclient.h"

namespace qvk::client {

// Notes that a failed system call with this errno gave this result, in the
// calling thread's current call.
void note_system_error(int error, qvk_result result) noexcept;

// Runs one call of the C interface on `client` (null: none) and records the
// errno behind its result, when a failed system call gave it.
template <class Body>
qvk_result recorded_call(const qvk_client *client, Body &&body);

// The errno recorded by the calling thread's latest call when that call was
// on `client`; 0 otherwise.
int last_system_error(const qvk_client *client) noexcept;
// Forgets what was recorded for a connection that goes away.
void forget_system_error(const qvk_client *client) noexcept;

namespace detail {
void begin_call() noexcept;
void end_call(const qvk_client *client, qvk_result result) noexcept;
}  // namespace detail

template <class Body>
qvk_result recorded_call(const qvk_client *client, Body &&body) {
    detail::begin_call();
    const qvk_result result = body();
    detail::end_call(client, result);
    return result;
}

}  // namespace qvk::client
