// SPDX-License-Identifier: BSD-3-Clause
#include "state_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

#include "deadline.h"

namespace qvk::client {

namespace {

// Shared futexes (no FUTEX_PRIVATE_FLAG): the word lives in a segment that
// other processes map at other addresses.
long futex(std::uint32_t *word, int operation, std::uint32_t value, const timespec *timeout) {
#if defined(SYS_futex_time64)
    // A 32-bit build with a 64-bit time_t needs the time64 variant.
    if constexpr (sizeof(time_t) > sizeof(long))
        return syscall(SYS_futex_time64, word, operation, value, timeout, nullptr, 0);
#endif
    return syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

}  // namespace

void StateWord::sleep_while(std::uint32_t expected, std::chrono::nanoseconds limit) const {
    const timespec timeout = Deadline::to_timespec(limit);
    // EAGAIN (the word changed already), ETIMEDOUT and EINTR all mean: look again.
    futex(word_, FUTEX_WAIT, expected, &timeout);
}

void StateWord::wake_all() const { futex(word_, FUTEX_WAKE, INT_MAX, nullptr); }

}  // namespace qvk::client
