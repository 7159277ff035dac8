// SPDX-License-Identifier: BSD-3-Clause
#include "srv_request_loop.h"

#include <linux/futex.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "key_registry.h"
#include "qvk_segment.h"
#include "srv_access.h"
#include "srv_dispatch.h"
#include "srv_mutex.h"
#include "srv_semaphores.h"

namespace {

// The request copy, reserved once. The request is carried out from this
// private copy only, so a requester that keeps writing the block cannot
// change it half-way.
srv_block request_copy;

// How far the answers written since the segment was cleared reach into its
// block; past that point, and past the part any request is read from, the
// block holds only zeros. Each answer clears no further than that.
std::size_t answers_reach = SHM_BLOCK_SIZE;

// The attached segment; detached when the owner goes away.
class SharedSegment {
public:
    explicit SharedSegment(void *address) noexcept
        : bytes_(static_cast<std::uint8_t *>(address)) {}
    ~SharedSegment() {
        if (bytes_ != nullptr) shmdt(bytes_);
    }
    SharedSegment(const SharedSegment &) = delete;
    SharedSegment &operator=(const SharedSegment &) = delete;

    std::uint8_t *block() const noexcept { return bytes_ + SHM_BLOCK_OFFSET; }
    srv_block &response_block() const noexcept {
        return *reinterpret_cast<srv_block *>(block());
    }
    std::uint32_t &state_word() const noexcept {
        return *reinterpret_cast<std::uint32_t *>(bytes_ + SHM_STATE_OFFSET);
    }
    std::atomic_ref<std::uint32_t> state() const noexcept {
        return std::atomic_ref<std::uint32_t>(state_word());
    }

private:
    std::uint8_t *bytes_;
};

// Wakes every process blocked on the state word (a shared futex: requesters
// live in other processes).
void wake_state_waiters(std::uint32_t &word) {
    syscall(SYS_futex, &word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// How long the loop waits for a request before it looks after itself: are
// its IPC objects still there, did some requester die holding handles.
constexpr timespec kIdleLook{1, 0};

// Whether the segment is still to be found: removing it (ipcrm) only marks
// it while the daemon has it attached, but no requester can attach it then.
bool segment_present(int id) {
    shmid_ds status{};
    if (shmctl(id, IPC_STAT, &status) != 0) return errno != EIDRM && errno != EINVAL;
    return (status.shm_perm.mode & SHM_DEST) == 0;
}

// Waits until a posted request with a known command has been carried out.
// The response is written into the segment's block (with zeros over what
// the request and earlier answers left there) while the state word still
// reads "request", so a requester sees it only once the state word says it
// is complete. An unknown command leaves
// the block untouched. The mutex stays held throughout. False when one of
// the IPC objects has been removed: waiting on is then in vain, and only a
// new start makes them again.
bool await_request(const SharedSegment &segment, int segment_id) {
    for (;;) {
        switch (semWait(semServerId, kIdleLook)) {
        case SEM_WAIT_GONE:
            return false;
        case SEM_WAIT_AGAIN:  // idle for a while, or interrupted
            if (!segment_present(segment_id) || !semPresent(semClientId)) return false;
            key_reclaim_orphans();
            continue;
        case SEM_WAIT_TAKEN:
            break;
        }
        if (segment.state().load(std::memory_order_acquire) != SHM_STATE_REQUEST) continue;
        // Only the part of the block that any request is read from is copied;
        // the dispatch never looks further.
        std::memcpy(request_copy.data(), segment.block(), REQ_READ_SIZE);
        // Who opens a handle: the holder of the turn.
        const pid_t requester =
            request_copy[REQ_COMMAND_OFFSET] == CMD_OPEN_DEV ? semTurnHolder(semClientId) : 0;
        if (srv_dispatch_request(request_copy, segment.response_block(), requester, &answers_reach))
            return true;
        // Unknown command: no answer; the block and the state word stay.
    }
}

}  // namespace

int srv_request_loop(void (*serving)() noexcept) noexcept {
    const int id = srv_access_segment();
    if (id == -1) {
        std::fputs("shmger failed!\n", stderr);
        return SRV_LOOP_NO_SEGMENT;
    }
    void *address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        std::fputs("shmat failed!\n", stderr);
        return SRV_LOOP_NO_SEGMENT;
    }
    const SharedSegment segment(address);
    // The state word first: a requester that is still copying an answer of
    // the previous run checks the word after its copy, and so never takes
    // the cleared block for that answer.
    segment.state().store(SHM_STATE_IDLE, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::memset(address, 0, SHM_SIZE);
    answers_reach = 0;
    // A request posted from here on is waited for, whether it comes before
    // the first wait or after.
    if (serving != nullptr) serving();

    for (;;) {
        srv_mutex_lock();
        if (!await_request(segment, id)) {
            srv_mutex_unlock();
            return SRV_LOOP_OBJECTS_REMOVED;
        }
        segment.state().store(SHM_STATE_RESPONSE, std::memory_order_release);
        wake_state_waiters(segment.state_word());
        srv_mutex_unlock();
    }
}
