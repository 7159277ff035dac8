// SPDX-License-Identifier: BSD-3-Clause
#include "exclusive.h"

#include <atomic>
#include <chrono>

#include "qvk_segment.h"

namespace qvk::client {

namespace {

using clock = std::chrono::steady_clock;

std::atomic<std::uint64_t> next_id{1};

// The calling thread's sequence: on which connection, whether it was lost,
// and when it last made a request. Kept with the thread, so that a lost
// sequence stays lost for its own thread whatever other threads begin.
struct ThreadSequence {
    std::uint64_t connection = 0;
    bool lost = false;
    clock::time_point last_request{};
};
constinit thread_local ThreadSequence current{};

bool idle_too_long() {
    return clock::now() - current.last_request > std::chrono::seconds(EXCLUSIVE_IDLE_LIMIT_S);
}

}  // namespace

ExclusiveSequence::ExclusiveSequence() : id_(next_id.fetch_add(1, std::memory_order_relaxed)) {}

ExclusiveSequence::~ExclusiveSequence() {
    if (current.connection == id_) current = {};
}

bool ExclusiveSequence::entered_by_caller() const { return current.connection == id_; }

qvk_result ExclusiveSequence::begin(int client_set, const Deadline &deadline) {
    // One sequence per thread: a second would wait for the thread's own turn.
    if (current.connection != 0) return QVK_ERR_INVALID_ARGUMENT;
    Turn taken;
    if (const qvk_result result = taken.take(client_set, deadline, TURN_EXCLUSIVE); result != QVK_OK)
        return result;
    {
        const std::lock_guard lock(mutex_);
        client_set_ = client_set;
        turn_ = std::move(taken);
        holder_ = pthread_self();
        held_ = true;
    }
    current = {id_, false, clock::now()};
    return QVK_OK;
}

void ExclusiveSequence::lose(bool give_back) {
    current.lost = true;
    Turn released;
    {
        const std::lock_guard lock(mutex_);
        if (!held_ || !pthread_equal(holder_, pthread_self())) return;
        held_ = false;
        released = std::move(turn_);
    }
    if (!give_back) released.drop();
}

qvk_result ExclusiveSequence::before_request() {
    if (current.lost) return QVK_ERR_EXCLUSIVE_LOST;
    if (idle_too_long()) {
        lose(true);
        return QVK_ERR_EXCLUSIVE_LOST;
    }
    // Marked first, then checked: a waiter that takes the turn away after
    // the check saw the mark, and would have waited.
    if (!mark_turn_busy(client_set_) || !take_still_recorded(client_set_)) {
        lose(false);
        return QVK_ERR_EXCLUSIVE_LOST;
    }
    return QVK_OK;
}

void ExclusiveSequence::after_request() {
    mark_turn_busy(client_set_);
    current.last_request = clock::now();
}

qvk_result ExclusiveSequence::end() {
    if (!entered_by_caller()) return QVK_ERR_INVALID_ARGUMENT;
    qvk_result result = QVK_OK;
    if (current.lost || idle_too_long() || !take_still_recorded(client_set_)) result = QVK_ERR_EXCLUSIVE_LOST;
    lose(true);  // gives the turn back, when it is still this process's own
    current = {};
    return result;
}

}  // namespace qvk::client
