// SPDX-License-Identifier: BSD-3-Clause
// Exclusive sequences: one thread of a process keeps the turn across several
// requests on one connection (the client set held at TURN_EXCLUSIVE), so
// that no other requester's request reaches the daemon in between. The
// other threads wait for the turn like other processes.
//
// The sequence is lost when its thread makes no request for
// EXCLUSIVE_IDLE_LIMIT_S seconds (its next call gives the turn back), when
// another process takes the idle turn away, or when a daemon starting
// afresh resets the set. From then on every call of that thread on the
// connection returns QVK_ERR_EXCLUSIVE_LOST, without a request, until it
// ends the sequence: nothing that relied on the token's state is sent.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <mutex>

#include "deadline.h"
#include "qvkclient.h"
#include "turn.h"

namespace qvk::client {

class ExclusiveSequence {
public:
    ExclusiveSequence();
    // The turn goes back with the connection; the destroying thread's
    // sequence on it ends. (A connection disconnected under another thread
    // in a sequence, a fault of the program, keeps that thread from
    // beginning another.)
    ~ExclusiveSequence();
    ExclusiveSequence(const ExclusiveSequence &) = delete;
    ExclusiveSequence &operator=(const ExclusiveSequence &) = delete;

    // Whether the calling thread is in a sequence on this connection (lost or not).
    bool entered_by_caller() const;
    // Takes the turn at TURN_EXCLUSIVE for the calling thread.
    qvk_result begin(int client_set, const Deadline &deadline);
    // QVK_OK when the sequence held the turn to its end, and gives it back.
    qvk_result end();

    // Around each request of the thread in the sequence. before_request
    // says whether the request may go (QVK_OK) or the sequence is lost.
    qvk_result before_request();
    void after_request();
    // The client set, marked busy while the thread waits for an answer.
    int client_set() const { return client_set_; }

private:
    // Gives the turn back (when `give_back`) or forgets it, if the calling
    // thread still holds it, and marks its sequence lost.
    void lose(bool give_back);

    const std::uint64_t id_;  // never reused, unlike the connection's address
    int client_set_ = -1;
    std::mutex mutex_;        // guards holder_ and turn_ against other threads' begin
    bool held_ = false;
    pthread_t holder_{};
    Turn turn_;
};

}  // namespace qvk::client
