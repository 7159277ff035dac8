// SPDX-License-Identifier: BSD-3-Clause
#include "raw_requester.h"

#include <linux/futex.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace qvk::test {

RawRequester::RawRequester() {
    const int id = shmget(SHM_KEY, SHM_SIZE, 0);
    if (id == -1) throw std::runtime_error("no segment with key 2222");
    void *address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) throw std::runtime_error("cannot attach the segment");
    segment_ = static_cast<std::uint8_t *>(address);
    server_set_ = semget(SEM_SERVER_KEY, 0, 0);
    if (server_set_ == -1) throw std::runtime_error("no server semaphore set");
}

RawRequester::~RawRequester() { shmdt(segment_); }

std::uint32_t *RawRequester::state_address() const {
    return reinterpret_cast<std::uint32_t *>(segment_ + SHM_STATE_OFFSET);
}

std::atomic_ref<std::uint32_t> RawRequester::state() const {
    return std::atomic_ref<std::uint32_t>(*state_address());
}

std::span<std::uint8_t, SHM_BLOCK_SIZE> RawRequester::block() const {
    return std::span<std::uint8_t, SHM_BLOCK_SIZE>(segment_ + SHM_BLOCK_OFFSET, SHM_BLOCK_SIZE);
}

Bytes RawRequester::block_bytes() const { return Bytes(block().begin(), block().end()); }

void RawRequester::write_request(const Bytes &request) const {
    if (request.size() > SHM_BLOCK_SIZE) throw std::invalid_argument("request larger than the block");
    std::copy(request.begin(), request.end(), block().begin());
}

void RawRequester::raise() const {
    sembuf give{};
    give.sem_op = 1;
    if (semop(server_set_, &give, 1) != 0) throw std::runtime_error("cannot raise the server set");
}

bool RawRequester::await_response(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::uint32_t seen = state().load();
        if (seen == SHM_STATE_RESPONSE) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        const timespec slice{0, 20'000'000};
        syscall(SYS_futex, state_address(), FUTEX_WAIT, seen, &slice, nullptr, 0);
    }
}

Bytes RawRequester::exchange(const Bytes &request) const {
    write_request(request);
    state().store(SHM_STATE_REQUEST);
    raise();
    if (!await_response()) throw std::runtime_error("no response from the daemon");
    return block_bytes();
}

namespace {
Bytes header(std::uint8_t command) {
    Bytes block(REQ_ARGS_OFFSET, 0);
    block[REQ_COMMAND_OFFSET] = command;
    return block;
}
void append(Bytes &to, const Bytes &bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }
}  // namespace

Bytes enum_request() { return header(CMD_ENUM_DEV_PATH); }

Bytes open_request(const std::string &path) {
    Bytes block(REQ_ARGS_OFFSET + path.size() + 1, 0);  // the text and its terminator
    block[REQ_COMMAND_OFFSET] = CMD_OPEN_DEV;
    std::copy(path.begin(), path.end(), block.begin() + REQ_ARGS_OFFSET);
    return block;
}

Bytes close_request(std::uint32_t handle) {
    Bytes block = header(CMD_CLOSE_DEV);
    append(block, le32(handle));
    return block;
}

Bytes transmit_request(std::uint32_t handle, const Bytes &apdu, std::uint32_t capacity,
                       std::uint32_t reserved) {
    return transmit_request(handle, static_cast<std::uint32_t>(apdu.size()), apdu, capacity, reserved);
}

Bytes transmit_request(std::uint32_t handle, std::uint32_t length, const Bytes &apdu,
                       std::uint32_t capacity, std::uint32_t reserved) {
    Bytes block = header(CMD_ICC_TSI_API);
    append(block, le32(handle));
    append(block, le32(length));
    append(block, apdu);
    append(block, le32(capacity));
    append(block, le32(reserved));
    return block;
}

Response parse_response(const Bytes &block) {
    Response response;
    if (block.size() != SHM_BLOCK_SIZE) throw std::invalid_argument("not a whole block");
    response.command = block[RESP_COMMAND_OFFSET];
    response.zero_after_command.assign(block.begin() + 1, block.begin() + RESP_LENGTH_OFFSET);
    std::memcpy(&response.length, block.data() + RESP_LENGTH_OFFSET, 4);
    const std::size_t end = RESP_PAYLOAD_OFFSET + std::min<std::size_t>(response.length, RESP_PAYLOAD_SIZE);
    response.payload.assign(block.begin() + RESP_PAYLOAD_OFFSET, block.begin() + end);
    response.rest_is_zero = std::all_of(block.begin() + end, block.end(), [](std::uint8_t b) { return b == 0; });
    return response;
}

}  // namespace qvk::test
