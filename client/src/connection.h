// SPDX-License-Identifier: BSD-3-Clause
// One requester's connection to the daemon and the round trip of a request:
// take the turn, settle what an earlier requester left behind, post, wait,
// copy the answer out, set the state word back to idle, give the turn back.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "answer_wait.h"
#include "codec.h"
#include "exclusive.h"
#include "ipc.h"
#include "qvkclient.h"

namespace qvk::client {

class Connection {
public:
    qvk_result connect() { return ipc_.attach(); }

    void set_timeout(std::chrono::milliseconds timeout) { timeout_ms_ = timeout.count(); }
    std::chrono::milliseconds timeout() const { return std::chrono::milliseconds(timeout_ms_.load()); }

    // Sends one request and copies its answer out. The answer's header is
    // length-checked here; its contents are for the command's decoder.
    qvk_result round_trip(const Request &request, ResponseCopy &response);
    // The same within the given time instead of the connection's timeout.
    qvk_result round_trip(const Request &request, ResponseCopy &response,
                          std::chrono::milliseconds timeout);

    void set_wait_policy(const WaitPolicy &policy) { policy_ = policy; }

    // An exclusive sequence of the calling thread: its requests keep the
    // turn from begin to end (see exclusive.h).
    qvk_result begin_exclusive(std::chrono::milliseconds wait) {
        return exclusive_.begin(ipc_.client_set(), Deadline(wait));
    }
    qvk_result end_exclusive() { return exclusive_.end(); }
    bool in_exclusive_sequence() const { return exclusive_.entered_by_caller(); }

private:
    // The request's round trip once the turn is this thread's; busy_turn_set
    // (or -1) is marked busy while it waits.
    qvk_result serve(const Request &request, ResponseCopy &response, const Deadline &deadline,
                     int busy_turn_set);
    qvk_result settle_previous(const StateWord &state, const Deadline &deadline, int busy_turn_set);
    qvk_result post_and_wait(const Request &request, const StateWord &state, const Deadline &deadline,
                             int busy_turn_set);
    void clear_block() const;
    void clear_block_start(std::size_t length) const;
    qvk_result raise_server();

    Attachment ipc_;
    std::atomic<std::int64_t> timeout_ms_{QVK_DEFAULT_TIMEOUT_MS};
    WaitPolicy policy_;
    ExclusiveSequence exclusive_;
};

}  // namespace qvk::client
