// SPDX-License-Identifier: BSD-3-Clause
#include "codec.h"

#include <algorithm>
#include <cstring>

namespace qvk::client {

std::uint32_t load_u32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, bytes.subspan(offset, sizeof value).data(), sizeof value);
    return value;
}

void store_u32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    std::memcpy(bytes.subspan(offset, sizeof value).data(), &value, sizeof value);
}

namespace {

// Command byte, then seven zero bytes that the daemon does not read.
std::span<std::uint8_t> begin_request(Request &request, std::uint8_t command, std::size_t size) {
    std::fill_n(request.bytes.begin(), size, std::uint8_t{0});
    request.bytes[REQ_COMMAND_OFFSET] = command;
    request.size = size;
    return {request.bytes.data(), size};
}

// Echoed command and zero padding: a block from some other request or
// program fails here rather than being read as an answer.
bool header_matches(const ResponseCopy &response, std::uint8_t command) {
    return response.command() == command && response.padding_is_zero();
}

}  // namespace

void encode_enumerate(Request &request) {
    begin_request(request, CMD_ENUM_DEV_PATH, REQ_ARGS_OFFSET);
}

qvk_result encode_open(Request &request, const char *path) {
    if (path == nullptr) return QVK_ERR_INVALID_ARGUMENT;
    const std::size_t length = strnlen(path, DEV_PATH_SLOT_SIZE);
    if (length == 0 || length >= DEV_PATH_SLOT_SIZE) return QVK_ERR_INVALID_ARGUMENT;
    // The path and its terminator.
    auto block = begin_request(request, CMD_OPEN_DEV, REQ_ARGS_OFFSET + length + 1);
    std::memcpy(block.subspan(REQ_ARGS_OFFSET, length).data(), path, length);
    return QVK_OK;
}

void encode_close(Request &request, std::uint32_t handle) {
    auto block = begin_request(request, CMD_CLOSE_DEV, REQ_ARGS_OFFSET + sizeof handle);
    store_u32(block, REQ_OPTIONS_OFFSET, QVK_REQ_CLOSE_TELLS_UNKNOWN);
    store_u32(block, REQ_ARGS_OFFSET, handle);
}

qvk_result encode_transmit(Request &request, std::uint32_t handle,
                           std::span<const std::uint8_t> apdu, std::uint32_t capacity) {
    if (apdu.size() > CMD_BUF_SIZE || capacity > RESP_MAX_DATA) return QVK_ERR_INVALID_ARGUMENT;
    const std::size_t n = apdu.size();
    auto block = begin_request(request, CMD_ICC_TSI_API, REQ_TSI_APDU_OFFSET + n + REQ_TSI_TRAILER_SIZE);
    store_u32(block, REQ_TSI_HANDLE_OFFSET, handle);
    store_u32(block, REQ_TSI_LENGTH_OFFSET, static_cast<std::uint32_t>(n));
    std::ranges::copy(apdu, block.subspan(REQ_TSI_APDU_OFFSET, n).begin());
    store_u32(block, REQ_TSI_APDU_OFFSET + n, capacity);
    store_u32(block, REQ_TSI_APDU_OFFSET + n + 4, 0);  // reserved
    return QVK_OK;
}

qvk_result ResponseCopy::copy_from(const std::uint8_t *block) {
    std::memcpy(bytes_.data(), block, RESP_HEADER_SIZE);
    const std::uint32_t length = load_u32(bytes_, RESP_LENGTH_OFFSET);
    if (length > RESP_PAYLOAD_SIZE) {
        payload_length_ = 0;
        return QVK_ERR_MALFORMED_RESPONSE;
    }
    payload_length_ = length;
    std::memcpy(bytes_.data() + RESP_PAYLOAD_OFFSET, block + RESP_PAYLOAD_OFFSET, length);
    return QVK_OK;
}

qvk_result decode_enumerate(const ResponseCopy &response, qvk_device_list &devices) {
    devices.count = 0;
    if (!header_matches(response, CMD_ENUM_DEV_PATH)) return QVK_ERR_MALFORMED_RESPONSE;
    const auto payload = response.payload();
    if (payload.size() < ENUM_SLOTS_OFFSET) return QVK_ERR_MALFORMED_RESPONSE;
    const std::uint32_t listed = load_u32(payload, ENUM_RESULT_OFFSET);
    const std::size_t count = payload[ENUM_COUNT_OFFSET];
    if (count > DEV_MAX_COUNT || payload.size() != ENUM_SLOTS_OFFSET + count * DEV_PATH_SLOT_SIZE)
        return QVK_ERR_MALFORMED_RESPONSE;
    if (listed != (count > 0 ? 1u : 0u)) return QVK_ERR_MALFORMED_RESPONSE;
    for (std::size_t i = 0; i < count; ++i) {
        const auto slot = payload.subspan(ENUM_SLOTS_OFFSET + i * DEV_PATH_SLOT_SIZE, DEV_PATH_SLOT_SIZE);
        // A path is at most 127 characters; the rest of its slot is zero.
        const auto end = std::ranges::find(slot, std::uint8_t{0});
        if (end == slot.end()) return QVK_ERR_MALFORMED_RESPONSE;
        if (!std::all_of(end, slot.end(), [](std::uint8_t b) { return b == 0; }))
            return QVK_ERR_MALFORMED_RESPONSE;
    }
    for (std::size_t i = 0; i < count; ++i)
        std::memcpy(devices.paths[i], payload.subspan(ENUM_SLOTS_OFFSET + i * DEV_PATH_SLOT_SIZE).data(),
                    DEV_PATH_SLOT_SIZE);
    devices.count = static_cast<unsigned>(count);
    return QVK_OK;
}

qvk_result decode_open(const ResponseCopy &response, std::uint32_t &handle) {
    handle = QVK_HANDLE_NONE;
    if (!header_matches(response, CMD_OPEN_DEV) || response.payload().size() != RESP_OPEN_LENGTH)
        return QVK_ERR_MALFORMED_RESPONSE;
    const std::uint32_t answered = load_u32(response.payload(), 0);
    // The daemon's "no handle" is 0; the kernel-driver family's failed open
    // (-1) may reach the requester as a handle, and is no handle either.
    if (answered == QVK_HANDLE_NONE || answered == QVK_HANDLE_FAILED) return QVK_ERR_NOT_OPENED;
    handle = answered;
    return QVK_OK;
}

qvk_result decode_close(const ResponseCopy &response) {
    if (!header_matches(response, CMD_CLOSE_DEV)) return QVK_ERR_MALFORMED_RESPONSE;
    // No payload: the daemon does not hold the handle (as the request asked
    // it to tell). A daemon that does not know the option answers 1 instead.
    if (response.payload().empty()) return QVK_ERR_HANDLE_NOT_OPEN;
    if (response.payload().size() != RESP_CLOSE_LENGTH) return QVK_ERR_MALFORMED_RESPONSE;
    return response.payload()[0] != 0 ? QVK_OK : QVK_ERR_CLOSE_REFUSED;
}

qvk_result decode_transmit(const ResponseCopy &response, std::uint32_t capacity,
                           std::span<std::uint8_t> data, std::size_t &length, std::uint32_t &status) {
    length = 0;
    if (!header_matches(response, CMD_ICC_TSI_API)) return QVK_ERR_MALFORMED_RESPONSE;
    const auto payload = response.payload();
    // r data bytes and the status. A family may place more than was offered
    // (the kernel-driver family does not know the room); the daemon bounds r
    // to 8188, and only the offered room is filled here.
    if (capacity > data.size()) return QVK_ERR_INVALID_ARGUMENT;
    if (payload.size() < RESP_STATUS_SIZE || payload.size() - RESP_STATUS_SIZE > RESP_MAX_DATA)
        return QVK_ERR_MALFORMED_RESPONSE;
    const std::size_t r = payload.size() - RESP_STATUS_SIZE;
    status = load_u32(payload, r);
    if (status == QVK_STATUS_NOT_OPEN) return r == capacity ? QVK_ERR_HANDLE_NOT_OPEN
                                                            : QVK_ERR_MALFORMED_RESPONSE;
    const std::size_t placed = std::min<std::size_t>(r, capacity);
    std::ranges::copy(payload.first(placed), data.begin());
    length = placed;
    if (placed < r) return QVK_ERR_BUFFER_TOO_SMALL;
    return status == QVK_STATUS_NO_ANSWER ? QVK_ERR_NO_ANSWER : QVK_OK;
}

}  // namespace qvk::client
