// SPDX-License-Identifier: BSD-3-Clause
#include "scripted_server.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

#include "qvk_segment.h"
#include "requester_helpers.h"

namespace qvk::test {

namespace {

std::uint32_t field(const Bytes &bytes, std::size_t offset) {
    std::uint32_t value = 0;
    if (offset + 4 <= bytes.size()) std::memcpy(&value, &bytes[offset], 4);
    return value;
}

int create_set(key_t key) {
    const int id = semget(key, 1, QVK_IPC_FLAGS);
    if (id < 0 || semctl(id, 0, SETVAL, 0) != 0) _exit(2);
    return id;
}

[[noreturn]] void serve(const ScriptedServer::Handler &handler, ScriptedServer::Options options, int ready) {
    const int server_set = create_set(SEM_SERVER_KEY);
    create_set(SEM_CLIENT_KEY);
    const int segment = shmget(SHM_KEY, SHM_SIZE, QVK_IPC_FLAGS);
    if (segment < 0) _exit(3);
    auto *base = static_cast<std::uint8_t *>(shmat(segment, nullptr, 0));
    if (base == reinterpret_cast<void *>(-1)) _exit(4);
    std::memset(base, 0, SHM_SIZE);
    auto *word = reinterpret_cast<std::uint32_t *>(base + SHM_STATE_OFFSET);
    std::atomic_ref<std::uint32_t> state(*word);
    if (write(ready, "r", 1) != 1) _exit(5);
    close(ready);

    for (;;) {
        sembuf wait{0, -1, 0};
        semop(server_set, &wait, 1);
        if (state.load(std::memory_order_acquire) != SHM_STATE_REQUEST) continue;
        const Bytes request(base + SHM_BLOCK_OFFSET, base + SHM_BLOCK_OFFSET + SHM_BLOCK_SIZE);
        const Bytes response = handler(request);
        if (response.empty()) continue;
        std::memset(base + SHM_BLOCK_OFFSET, 0, SHM_BLOCK_SIZE);
        std::memcpy(base + SHM_BLOCK_OFFSET, response.data(), std::min<std::size_t>(response.size(), SHM_BLOCK_SIZE));
        state.store(SHM_STATE_RESPONSE, std::memory_order_release);
        if (options.wake) syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    }
}

}  // namespace

ScriptedServer::ScriptedServer(Handler handler) : ScriptedServer(std::move(handler), Options{}) {}

ScriptedServer::ScriptedServer(Handler handler, Options options) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        close(pipe_ends[0]);
        serve(handler, options, pipe_ends[1]);
    }
    close(pipe_ends[1]);
    char byte = 0;
    const bool ready = read(pipe_ends[0], &byte, 1) == 1;
    close(pipe_ends[0]);
    if (!ready) {
        kill();
        throw std::runtime_error("scripted server did not start");
    }
}

ScriptedServer::~ScriptedServer() { kill(); }

void ScriptedServer::stop() { ::kill(pid_, SIGSTOP); }
void ScriptedServer::resume() { ::kill(pid_, SIGCONT); }

void ScriptedServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

Bytes answer_block(std::uint8_t command, const Bytes &payload) {
    Bytes block{command, 0, 0, 0};
    block = block + le32(static_cast<std::uint32_t>(payload.size()));
    block.insert(block.end(), payload.begin(), payload.end());
    return block;
}

Bytes token_answers(const Bytes &request) {
    const std::uint8_t command = request[REQ_COMMAND_OFFSET];
    Bytes payload;
    switch (command) {
    case CMD_ENUM_DEV_PATH: {
        payload = {1, 0, 0, 0, 2};
        for (const std::string path : {"/dev/QVUsbKey0", "/dev/QVUsbKey1"}) {
            Bytes slot(DEV_PATH_SLOT_SIZE, 0);
            std::copy(path.begin(), path.end(), slot.begin());
            payload.insert(payload.end(), slot.begin(), slot.end());
        }
        break;
    }
    case CMD_OPEN_DEV: {
        const char *path = reinterpret_cast<const char *>(&request[REQ_ARGS_OFFSET]);
        payload = payload + le32(std::strcmp(path, "/dev/QVUsbKey0") == 0 ? 7 : 0);
        break;
    }
    case CMD_CLOSE_DEV:
        payload = {1};
        break;
    case CMD_ICC_TSI_API: {
        const std::uint32_t handle = field(request, REQ_TSI_HANDLE_OFFSET);
        const std::uint32_t n = std::min<std::uint32_t>(field(request, REQ_TSI_LENGTH_OFFSET), CMD_BUF_SIZE);
        const std::uint32_t capacity = field(request, REQ_TSI_APDU_OFFSET + n);
        if (handle != 7) {
            payload.assign(capacity, 0);
            payload = payload + le32(QVK_STATUS_NOT_OPEN);
            break;
        }
        const Bytes apdu(request.begin() + REQ_TSI_APDU_OFFSET, request.begin() + REQ_TSI_APDU_OFFSET + n);
        payload = apdu;
        std::reverse(payload.begin(), payload.end());
        payload.resize(std::min<std::size_t>(payload.size(), capacity));
        payload = payload + le32(0x9000);
        break;
    }
    default:
        return {};
    }
    return answer_block(command, payload);
}

}  // namespace qvk::test
