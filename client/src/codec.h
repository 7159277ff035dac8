// SPDX-License-Identifier: BSD-3-Clause
// Encoding of requests and checked decoding of responses. Pure functions on
// byte buffers: no IPC, so every bounds check can be tested on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "qvk_segment.h"
#include "qvkclient.h"

namespace qvk::client {

// The bytes of one request block that the daemon reads, built before the turn
// is taken so that a bad argument never holds up other requesters.
struct Request {
    static constexpr std::size_t kCapacity = REQ_READ_SIZE;
    // Only the first `size` bytes are ever written or read.
    std::array<std::uint8_t, kCapacity> bytes;
    std::size_t size = 0;

    std::uint8_t command() const { return bytes[REQ_COMMAND_OFFSET]; }
    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};
static_assert(Request::kCapacity <= SHM_BLOCK_SIZE);

void encode_enumerate(Request &request);
qvk_result encode_open(Request &request, const char *path);
void encode_close(Request &request, std::uint32_t handle);
// capacity: the room for answer data offered to the daemon (0 to 8188).
qvk_result encode_transmit(Request &request, std::uint32_t handle,
                           std::span<const std::uint8_t> apdu, std::uint32_t capacity);

// A response block as copied out of the segment: the header and exactly L
// payload bytes, never more than the block holds.
class ResponseCopy {
public:
    // Copies the header and, when L fits the block, the payload. Returns
    // QVK_ERR_MALFORMED_RESPONSE when it does not.
    qvk_result copy_from(const std::uint8_t *block);

    std::uint8_t command() const { return bytes_[RESP_COMMAND_OFFSET]; }
    // The header's three padding bytes, which the daemon writes as zero.
    bool padding_is_zero() const { return bytes_[1] == 0 && bytes_[2] == 0 && bytes_[3] == 0; }
    std::span<const std::uint8_t> payload() const {
        return {bytes_.data() + RESP_PAYLOAD_OFFSET, payload_length_};
    }

private:
    // Only the header and the payload's L bytes are ever written or read:
    // left uninitialised, as clearing 8200 bytes per call costs more than the
    // rest of the copy.
    std::array<std::uint8_t, SHM_BLOCK_SIZE> bytes_;
    std::size_t payload_length_ = 0;
};

// Each decoder first checks the echoed command and the padding, then the
// exact payload length its command allows, then the payload's own fields.
qvk_result decode_enumerate(const ResponseCopy &response, qvk_device_list &devices);
qvk_result decode_open(const ResponseCopy &response, std::uint32_t &handle);
qvk_result decode_close(const ResponseCopy &response);
// capacity: what the request offered. data receives the answer data; it must
// hold at least `capacity` bytes. length and status are set whenever the
// response is well formed.
qvk_result decode_transmit(const ResponseCopy &response, std::uint32_t capacity,
                           std::span<std::uint8_t> data, std::size_t &length, std::uint32_t &status);

// Host-order 32-bit field at any offset of a buffer (fields after variable
// data are not aligned).
std::uint32_t load_u32(std::span<const std::uint8_t> bytes, std::size_t offset);
void store_u32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);

}  // namespace qvk::client
