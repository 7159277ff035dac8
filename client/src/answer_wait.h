// SPDX-License-Identifier: BSD-3-Clause
// Waiting for the state word to leave a value: a short spin for the common
// quick answer, then futex sleeps of a bounded length each, so that a daemon
// that publishes without waking anybody is still noticed within one slice.
#pragma once

#include <chrono>
#include <cstdint>

#include "deadline.h"
#include "state_word.h"

namespace qvk::client {

class Attachment;

struct WaitPolicy {
    std::chrono::nanoseconds spin{std::chrono::microseconds(20)};
    std::chrono::nanoseconds sleep_slice{std::chrono::milliseconds(2)};
    // How often, while sleeping, to look whether the daemon is still attached.
    std::chrono::nanoseconds liveness_check{std::chrono::milliseconds(100)};
};

enum class WaitOutcome { changed, timed_out, daemon_gone };

struct WaitResult {
    WaitOutcome outcome;
    std::uint32_t value;  // the word's value when the wait ended
};

// Waits while the word reads `pending`. With `liveness` set, a daemon that
// detached from the segment (it died) ends the wait early. With
// `busy_turn_set` set (the client set, while this thread holds an exclusive
// turn), the set is marked busy at each look, so that no waiter takes the
// turn away during a long answer.
WaitResult wait_while(const StateWord &word, std::uint32_t pending, const Deadline &deadline,
                      const Attachment *liveness, const WaitPolicy &policy = WaitPolicy{},
                      int busy_turn_set = -1);

}  // namespace qvk::client
