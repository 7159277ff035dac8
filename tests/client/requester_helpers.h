// SPDX-License-Identifier: BSD-3-Clause
// Small helpers shared by the requester tests: a connection owner, a peek at
// the state word and the turn, and child processes that report a result
// through their exit status.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

#include "qvk_segment.h"
#include "qvkclient.h"
#include "scripted_card.h"

namespace qvk::test {

// The bytes of a, then those of b.
inline Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A connected qvk_client, disconnected on destruction.
class Requester {
public:
    explicit Requester(std::uint32_t timeout_ms = QVK_DEFAULT_TIMEOUT_MS);
    ~Requester() { qvk_disconnect(client_); }
    Requester(const Requester &) = delete;
    Requester &operator=(const Requester &) = delete;
    qvk_client *get() const { return client_; }

    // One APDU on `handle`; the answer data, and the result and status words.
    Bytes transmit(std::uint32_t handle, const Bytes &apdu, qvk_result *result = nullptr,
                   std::uint32_t *status = nullptr, std::size_t capacity = RESP_MAX_DATA);

private:
    qvk_client *client_ = nullptr;
};

// The state word at the start of the daemon's segment (0 when there is none).
std::uint32_t state_word();
// The client set's value: 1 while a requester holds the turn (-1 when missing).
int turn_value();
// Polls `condition` for up to `seconds`; true as soon as it holds.
bool eventually(const std::function<bool()> &condition, double seconds = 10);

// Runs `body` in a forked child whose exit status is body's result.
pid_t run_in_child(const std::function<int()> &body);
// One transmit in a forked child whose exit status is the call's qvk_result.
pid_t transmit_in_child(std::uint32_t handle, const Bytes &apdu, std::uint32_t timeout_ms);
// The exit status of a child (-1 when it did not exit normally).
int exit_status_of(pid_t child);

}  // namespace qvk::test

namespace qvk::test {

// `count` transmits on `handle`, the i-th sending apdu_for(i), each answer
// (data, then SW1 SW2) checked against expected(apdu). Returns 0 when every
// answer was the right one, 1 on a wrong answer, 2 on a failed call.
int transmit_many(qvk_client *client, std::uint32_t handle, int count,
                  const std::function<Bytes(int i)> &apdu_for,
                  const std::function<Bytes(const Bytes &apdu)> &expected);

}  // namespace qvk::test
