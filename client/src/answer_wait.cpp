#include "answer_wait.h"

#include "ipc.h"

namespace qvk::client {

namespace {

inline void cpu_relax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

WaitResult wait_while(const StateWord &word, std::uint32_t pending, const Deadline &deadline,
                      const Attachment *liveness, const WaitPolicy &policy) {
    using clock = Deadline::clock;
    const auto spin_end = clock::now() + policy.spin;
    for (;;) {
        const std::uint32_t value = word.load();
        if (value != pending) return {WaitOutcome::changed, value};
        if (clock::now() >= spin_end) break;
        cpu_relax();
    }
    auto next_liveness_check = clock::now() + policy.liveness_check;
    for (;;) {
        std::uint32_t value = word.load();
        if (value != pending) return {WaitOutcome::changed, value};
        if (deadline.expired()) return {WaitOutcome::timed_out, value};
        if (liveness != nullptr && clock::now() >= next_liveness_check) {
            if (!liveness->daemon_may_be_attached()) {
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
