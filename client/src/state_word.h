// SPDX-License-Identifier: BSD-3-Clause
// The state word at the start of the segment, read and written atomically,
// and slept on with a futex shared between processes (the daemon wakes
// every sleeper on its address after it has published an answer).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qvk::client {

class StateWord {
public:
    explicit StateWord(std::uint32_t *word) : word_(word) {}

    std::uint32_t load() const {
        return std::atomic_ref<std::uint32_t>(*word_).load(std::memory_order_acquire);
    }
    // Release: whatever was written to the block before is seen by whoever
    // reads this value.
    void store(std::uint32_t value) const {
        std::atomic_ref<std::uint32_t>(*word_).store(value, std::memory_order_release);
    }

    // Sleeps while the word still reads `expected`, for at most `limit`;
    // returns early on a wake or a signal.
    void sleep_while(std::uint32_t expected, std::chrono::nanoseconds limit) const;
    // Wakes every process sleeping on the word.
    void wake_all() const;

private:
    std::uint32_t *word_;
};

}  // namespace qvk::client
