// SPDX-License-Identifier: BSD-3-Clause
// A point on the monotonic clock by which a call has to be done.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>

namespace qvk::client {

class Deadline {
public:
    using clock = std::chrono::steady_clock;

    explicit Deadline(std::chrono::milliseconds timeout) : end_(clock::now() + timeout) {}

    bool expired() const { return clock::now() >= end_; }

    // Time left, never negative, at most `cap`.
    std::chrono::nanoseconds remaining(std::chrono::nanoseconds cap = std::chrono::nanoseconds::max()) const {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end_ - clock::now());
        return std::clamp(left, std::chrono::nanoseconds::zero(), cap);
    }

    // The same as a relative timespec, for semtimedop and futex.
    timespec remaining_timespec(std::chrono::nanoseconds cap = std::chrono::nanoseconds::max()) const {
        return to_timespec(remaining(cap));
    }

    static timespec to_timespec(std::chrono::nanoseconds span) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(seconds.count());
        ts.tv_nsec = static_cast<long>((span - seconds).count());
        return ts;
    }

private:
    clock::time_point end_;
};

}  // namespace qvk::client
