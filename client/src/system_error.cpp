// SPDX-License-Identifier: BSD-3-Clause
#include "system_error.h"

namespace qvk::client {

namespace {

// The latest failed system call of the current call, and what it gave.
struct Noted {
    int error;
    qvk_result result;
};
constinit thread_local Noted noted{0, QVK_OK};

// What the latest finished call of this thread left.
struct Recorded {
    const qvk_client *client;
    int error;
};
constinit thread_local Recorded recorded{nullptr, 0};

}  // namespace

void note_system_error(int error, qvk_result result) noexcept { noted = {error, result}; }

namespace detail {

void begin_call() noexcept { noted = {0, QVK_OK}; }

// Only when the call ended on the very result that the failed system call
// gave: a failure that was got over, or a time-out after one, keeps nothing.
void end_call(const qvk_client *client, qvk_result result) noexcept {
    const bool from_system_call = result != QVK_OK && noted.error != 0 && noted.result == result;
    recorded = {client, from_system_call ? noted.error : 0};
}

}  // namespace detail

int last_system_error(const qvk_client *client) noexcept {
    return recorded.client == client ? recorded.error : 0;
}

void forget_system_error(const qvk_client *client) noexcept {
    if (recorded.client == client) recorded = {nullptr, 0};
}

}  // namespace qvk::client
