#include "connection.h"

#include <sys/sem.h>

#include <algorithm>
#include <cerrno>

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
qvk_result Connection::settle_previous(const StateWord &state, const Deadline &deadline) {
    const std::uint32_t found = state.load();
    if (found == SHM_STATE_IDLE) return QVK_OK;
    if (found == SHM_STATE_REQUEST && answered_by_daemon(ipc_.mapping().block()[REQ_COMMAND_OFFSET])) {
        if (const qvk_result raised = raise_server(); raised != QVK_OK) return raised;
        const WaitResult waited = wait_while(state, SHM_STATE_REQUEST, deadline, &ipc_, policy_);
        if (waited.outcome != WaitOutcome::changed) return wait_error(waited.outcome);
    }
    state.store(SHM_STATE_IDLE);
    return QVK_OK;
}

qvk_result Connection::round_trip(const Request &request, ResponseCopy &response) {
    const Deadline deadline(timeout());
    Turn turn;
    if (const qvk_result taken = turn.take(ipc_.client_set(), deadline); taken != QVK_OK) return taken;

    const StateWord state(ipc_.mapping().state_word());
    if (const qvk_result settled = settle_previous(state, deadline); settled != QVK_OK) return settled;

    const auto block = ipc_.mapping().block();
    std::ranges::copy(request.view(), block.begin());
    state.store(SHM_STATE_REQUEST);
    if (const qvk_result raised = raise_server(); raised != QVK_OK) {
        state.store(SHM_STATE_IDLE);
        return raised;
    }

    const WaitResult waited = wait_while(state, SHM_STATE_REQUEST, deadline, &ipc_, policy_);
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
    const qvk_result copied = response.copy_from(block.data());
    state.store(SHM_STATE_IDLE);
    return copied;
}

}  // namespace qvk::client
