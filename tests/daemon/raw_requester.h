// SPDX-License-Identifier: BSD-3-Clause
// A requester that follows only the request protocol: it attaches the
// segment, writes a request block, sets the state word to 1, raises the
// server semaphore and waits for the state word to turn to 0x12345678.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "qvk_segment.h"
#include "scripted_card.h"

namespace qvk::test {

class RawRequester {
public:
    // Attaches the existing segment (key SHM_KEY) and finds the server set.
    RawRequester();
    ~RawRequester();
    RawRequester(const RawRequester &) = delete;
    RawRequester &operator=(const RawRequester &) = delete;

    std::atomic_ref<std::uint32_t> state() const;
    std::uint32_t *state_address() const;
    std::span<std::uint8_t, SHM_BLOCK_SIZE> block() const;
    // The whole block as it is now.
    Bytes block_bytes() const;

    // Writes the request over the start of the block (the rest stays as it is).
    void write_request(const Bytes &request) const;
    // Raises the server semaphore by one.
    void raise() const;
    // Waits (on the state word, as a shared futex) until it reads
    // SHM_STATE_RESPONSE. False on time-out.
    bool await_response(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // write_request, state 1, raise, await; the whole response block.
    Bytes exchange(const Bytes &request) const;

private:
    std::uint8_t *segment_ = nullptr;
    int server_set_ = -1;
};

// Request blocks (the start of the block; the daemon reads nothing else).
Bytes enum_request();
Bytes open_request(const std::string &path);
Bytes close_request(std::uint32_t handle);
Bytes transmit_request(std::uint32_t handle, const Bytes &apdu, std::uint32_t capacity,
                       std::uint32_t reserved = 0);
// Same, with a command length that need not match the APDU.
Bytes transmit_request(std::uint32_t handle, std::uint32_t length, const Bytes &apdu,
                       std::uint32_t capacity, std::uint32_t reserved);

// The parts of a response block.
struct Response {
    std::uint8_t command = 0;
    Bytes zero_after_command;  // bytes 1 .. 3
    std::uint32_t length = 0;  // L
    Bytes payload;             // L bytes
    bool rest_is_zero = false;  // every byte past 8 + L
};
Response parse_response(const Bytes &block);

}  // namespace qvk::test
