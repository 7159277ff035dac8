// SPDX-License-Identifier: BSD-3-Clause
#include "answer_wait.h"

#include <sched.h>

#include "ipc.h"
#include "turn.h"

namespace qvk::client {

WaitResult wait_while(const StateWord &word, std::uint32_t pending, const Deadline &deadline,
                      const Attachment *liveness, const WaitPolicy &policy, int busy_turn_set) {
    using clock = Deadline::clock;
    const auto spin_end = clock::now() + policy.spin;
    for (;;) {
        const std::uint32_t value = word.load();
        if (value != pending) return {WaitOutcome::changed, value};
        if (clock::now() >= spin_end) break;
        // Yield rather than pause: the daemon, just woken by this process's
        // raise, is often queued on this very CPU, and a busy spin would
        // keep it from answering until the spin ends.
        sched_yield();
    }
    auto next_liveness_check = clock::now() + policy.liveness_check;
    for (;;) {
        std::uint32_t value = word.load();
        if (value != pending) return {WaitOutcome::changed, value};
        if (deadline.expired()) return {WaitOutcome::timed_out, value};
        if ((liveness != nullptr || busy_turn_set >= 0) && clock::now() >= next_liveness_check) {
            if (busy_turn_set >= 0) mark_turn_busy(busy_turn_set);
            if (liveness != nullptr && !liveness->daemon_may_be_attached()) {
                // One last look: it may have answered just before it went.
                value = word.load();
                if (value != pending) return {WaitOutcome::changed, value};
                return {WaitOutcome::daemon_gone, value};
            }
            next_liveness_check = clock::now() + policy.liveness_check;
        }
        word.sleep_while(pending, deadline.remaining(policy.sleep_slice));
    }
}

}  // namespace qvk::client
