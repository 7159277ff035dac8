// SPDX-License-Identifier: BSD-3-Clause
#include "connection.h"

#include <pthread.h>
#include <sys/sem.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <span>

#include "turn.h"

namespace qvk::client {

namespace {

qvk_result wait_error(WaitOutcome outcome) {
    return outcome == WaitOutcome::timed_out ? QVK_ERR_TIMEOUT : QVK_ERR_NOT_RUNNING;
}

// The daemon answers only these commands; any other request stays posted
// without an answer for as long as the daemon runs.
bool answered_by_daemon(std::uint8_t command) {
    return command >= CMD_ENUM_DEV_PATH && command <= CMD_ICC_TSI_API;
}

}  // namespace

// +1 on the server set, without SEM_UNDO: the raise must outlive this
// process if it dies before the daemon wakes.
qvk_result Connection::raise_server() {
    sembuf operation{0, 1, 0};
    while (semop(ipc_.server_set(), &operation, 1) != 0) {
        if (errno != EINTR) return ipc_error(errno);
    }
    return QVK_OK;
}

namespace {

// The handle that a block holds when it is the well-formed answer to an
// open that found a device; QVK_HANDLE_NONE otherwise.
std::uint32_t opened_handle(std::span<const std::uint8_t, SHM_BLOCK_SIZE> block) {
    ResponseCopy answer;
    std::uint32_t handle = QVK_HANDLE_NONE;
    if (answer.copy_from(block.data()) != QVK_OK || decode_open(answer, handle) != QVK_OK)
        return QVK_HANDLE_NONE;
    return handle;
}

// This process's id, asked of the kernel once per process rather than once
// per request (a system call is a measurable part of a round trip); a
// forked child asks again.
pid_t own_process_id() {
    static std::atomic<pid_t> known{0};
    static std::once_flag forks_watched;
    std::call_once(forks_watched, [] { pthread_atfork(nullptr, nullptr, [] { known.store(0); }); });
    pid_t pid = known.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        known.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace

// The segment may be readable by other local users: once an answer has been
// copied (or dropped), nothing of it may stay there. The whole block, when
// it is not known what was written there.
void Connection::clear_block() const {
    const auto block = ipc_.mapping().block();
    std::fill(block.begin(), block.end(), std::uint8_t{0});
}

// Its first `length` bytes: what this requester's request and its answer
// used. The daemon writes zeros after its answer as far as the request and
// earlier answers reached, so the block past them is zero already.
void Connection::clear_block_start(std::size_t length) const {
    const auto block = ipc_.mapping().block();
    std::fill_n(block.begin(), std::min(length, block.size()), std::uint8_t{0});
}

// The state word as the turn's new holder finds it:
//  - idle: the last requester finished normally;
//  - an answer: a requester gave up (timed out) or died before reading it;
//  - a request: a requester gave up or died after posting, and the daemon has
//    not answered yet. It may be serving that request right now and would
//    then write its answer over whatever is posted next, so the new holder
//    waits for that answer first. A spare raise of the server set makes sure
//    the request is served even if its poster died before raising; a raise
//    too many is harmless, since the daemon ignores a wake that finds no
//    request posted. A request with a command the daemon does not know
//    (anyone may write the segment) is never answered: waiting for it would
//    hold up every requester until the daemon restarts, so it is dropped.
// Whatever was left is wiped. When the answer waited for is that of an open
// that found a device, nobody will ever learn its handle: it is closed here,
// or the device would stay open in the daemon.
qvk_result Connection::settle_previous(const StateWord &state, const Deadline &deadline, int busy_turn_set) {
    const std::uint32_t found = state.load();
    if (found == SHM_STATE_IDLE) return QVK_OK;
    const auto block = ipc_.mapping().block();
    std::uint32_t abandoned = QVK_HANDLE_NONE;
    const bool open_posted = block[REQ_COMMAND_OFFSET] == CMD_OPEN_DEV;
    if (found == SHM_STATE_REQUEST && answered_by_daemon(block[REQ_COMMAND_OFFSET])) {
        if (const qvk_result raised = raise_server(); raised != QVK_OK) return raised;
        const WaitResult waited = wait_while(state, SHM_STATE_REQUEST, deadline, &ipc_, policy_, busy_turn_set);
        if (waited.outcome != WaitOutcome::changed) return wait_error(waited.outcome);
        if (open_posted && waited.value == SHM_STATE_RESPONSE) abandoned = opened_handle(block);
    } else if (found == SHM_STATE_RESPONSE && open_posted) {
        // The answer came after its requester gave up, before anybody
        // else took the turn: nobody collected it.
        abandoned = opened_handle(block);
    }
    clear_block();
    state.store(SHM_STATE_IDLE);
    if (abandoned == QVK_HANDLE_NONE) return QVK_OK;
    Request close;
    encode_close(close, abandoned);
    const qvk_result closed = post_and_wait(close, state, deadline, busy_turn_set);
    if (closed != QVK_OK) return closed;  // still posted: the next holder collects it
    clear_block();
    state.store(SHM_STATE_IDLE);
    return QVK_OK;
}

// Posts the request and waits until the state word reads the answer.
qvk_result Connection::post_and_wait(const Request &request, const StateWord &state,
                                     const Deadline &deadline, int busy_turn_set) {
    const auto block = ipc_.mapping().block();
    std::ranges::copy(request.view(), block.begin());
    // Who asks: the daemon believes it only from the holder of the turn.
    const auto requester = static_cast<std::uint32_t>(own_process_id());
    for (std::size_t i = 0; i < REQ_REQUESTER_SIZE; ++i)
        block[REQ_REQUESTER_OFFSET + i] = static_cast<std::uint8_t>(requester >> (8 * i));
    state.store(SHM_STATE_REQUEST);
    if (const qvk_result raised = raise_server(); raised != QVK_OK) {
        state.store(SHM_STATE_IDLE);
        return raised;
    }

    const WaitResult waited = wait_while(state, SHM_STATE_REQUEST, deadline, &ipc_, policy_, busy_turn_set);
    if (waited.outcome != WaitOutcome::changed) {
        // The request stays posted: the daemon may still answer it, and the
        // next holder of the turn collects that answer before posting.
        return wait_error(waited.outcome);
    }
    if (waited.value != SHM_STATE_RESPONSE) {
        // Only a daemon starting afresh clears the word while a request is
        // posted; whatever else wrote it, no answer to this request will come.
        state.store(SHM_STATE_IDLE);
        return QVK_ERR_REQUEST_LOST;
    }
    return QVK_OK;
}

qvk_result Connection::round_trip(const Request &request, ResponseCopy &response) {
    return round_trip(request, response, timeout());
}

qvk_result Connection::round_trip(const Request &request, ResponseCopy &response,
                                  std::chrono::milliseconds timeout) {
    const Deadline deadline(timeout);
    if (exclusive_.entered_by_caller()) {
        // The thread's exclusive sequence holds the turn already.
        if (const qvk_result allowed = exclusive_.before_request(); allowed != QVK_OK) return allowed;
        const qvk_result served = serve(request, response, deadline, exclusive_.client_set());
        exclusive_.after_request();
        return served;
    }
    Turn turn;
    if (const qvk_result taken = turn.take(ipc_.client_set(), deadline); taken != QVK_OK) return taken;
    return serve(request, response, deadline, -1);
}

qvk_result Connection::serve(const Request &request, ResponseCopy &response, const Deadline &deadline,
                             int busy_turn_set) {
    const StateWord state(ipc_.mapping().state_word());
    if (const qvk_result settled = settle_previous(state, deadline, busy_turn_set); settled != QVK_OK)
        return settled;
    if (const qvk_result posted = post_and_wait(request, state, deadline, busy_turn_set); posted != QVK_OK)
        return posted;

    qvk_result copied = response.copy_from(ipc_.mapping().block().data());
    // A daemon starting afresh clears the word before the block: an answer
    // still there after the copy was whole.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (state.load() != SHM_STATE_RESPONSE) copied = QVK_ERR_REQUEST_LOST;
    if (copied == QVK_OK)
        clear_block_start(std::max(request.size, RESP_PAYLOAD_OFFSET + response.payload().size()));
    else
        clear_block();
    state.store(SHM_STATE_IDLE);
    return copied;
}

}  // namespace qvk::client
