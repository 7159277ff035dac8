// SPDX-License-Identifier: BSD-3-Clause
#include "srv_dispatch.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "family_calls.h"
#include "key_registry.h"

namespace {

// The request loop copies only the first REQ_READ_SIZE bytes of a block;
// a transmit ends there at the most, and so must an open path.
static_assert(std::size_t{REQ_ARGS_OFFSET} + DEV_PATH_SLOT_SIZE <= REQ_READ_SIZE);

// Working buffers of the dispatch, reserved once per serving thread and
// reused by every request: a family call that hangs may still write them.
struct srv_workspace {
    std::array<std::uint8_t, RESP_PAYLOAD_SIZE> payload{};
    std::array<std::uint8_t, CMD_BUF_SIZE> command{};
    std::array<char, DEV_PATH_LIST_SIZE> path_list{};
};
thread_local srv_workspace workspace;

std::uint32_t read_u32(const srv_block &block, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, block.data() + offset, sizeof value);
    return value;
}

void write_u32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    std::memcpy(bytes.subspan(offset, sizeof value).data(), &value, sizeof value);
}

// Each serve_ function fills the payload and returns its length L.

std::uint32_t serve_enumeration() {
    std::uint8_t count = 0;
    const std::uint32_t result = key_enum_devices(count, workspace.path_list);
    write_u32(workspace.payload, ENUM_RESULT_OFFSET, result);
    workspace.payload[ENUM_COUNT_OFFSET] = count;
    // Every listed slot holds its path followed by zero bytes.
    const std::size_t slots = std::size_t{count} * DEV_PATH_SLOT_SIZE;
    std::memcpy(workspace.payload.data() + ENUM_SLOTS_OFFSET, workspace.path_list.data(), slots);
    return ENUM_SLOTS_OFFSET + slots;
}

std::uint32_t serve_open(const srv_block &request, pid_t requester) {
    // A path is at most 127 characters; a longer text matches no device.
    const char *path = reinterpret_cast<const char *>(request.data() + REQ_ARGS_OFFSET);
    const bool terminated = std::memchr(path, '\0', DEV_PATH_SLOT_SIZE) != nullptr;
    write_u32(workspace.payload, 0, terminated ? key_open_device(path, requester) : 0);
    return 4;
}

// The process that a request says it comes from (its requester field, 24
// bits, least significant byte first), 0 when it says nothing.
pid_t claimed_requester(const srv_block &request) {
    return static_cast<pid_t>(request[REQ_REQUESTER_OFFSET] | request[REQ_REQUESTER_OFFSET + 1] << 8 |
                              request[REQ_REQUESTER_OFFSET + 2] << 16);
}

std::uint32_t serve_close(const srv_block &request) {
    const std::uint32_t handle = read_u32(request, REQ_ARGS_OFFSET);
    const pid_t asker = claimed_requester(request);
    // Asked for, a handle that is not open is told apart by an empty payload.
    if (read_u32(request, REQ_OPTIONS_OFFSET) == QVK_REQ_CLOSE_TELLS_UNKNOWN && !key_handle_recorded(handle, asker))
        return 0;
    const std::uint32_t closed = key_close_device(handle, asker);
    workspace.payload[0] = static_cast<std::uint8_t>(closed & 0xFF);
    return 1;
}

std::uint32_t refuse_transmit() {
    write_u32(workspace.payload, 0, QVK_STATUS_NO_ANSWER);
    return 4;
}

std::uint32_t serve_transmit(const srv_block &request) {
    const std::uint32_t handle = read_u32(request, REQ_TSI_HANDLE_OFFSET);
    const std::uint32_t length = read_u32(request, REQ_TSI_LENGTH_OFFSET);
    if (length > CMD_BUF_SIZE) return refuse_transmit();

    std::memcpy(workspace.command.data(), request.data() + REQ_TSI_APDU_OFFSET, length);
    const std::size_t trailer = REQ_TSI_APDU_OFFSET + length;
    // The payload has room for the data and the 4-byte status after it.
    const std::uint32_t capacity = read_u32(request, trailer + REQ_TSI_CAPACITY_AFTER_APDU);
    std::int32_t placed = static_cast<std::int32_t>(std::min<std::uint32_t>(capacity, RESP_MAX_DATA));
    // The reserved word at trailer + REQ_TSI_RESERVED_AFTER_APDU has no use.

    const std::uint32_t status =
        key_transmit(handle, static_cast<std::int32_t>(length), workspace.command.data(), placed,
                     workspace.payload.data(), claimed_requester(request));
    if (placed < 0 || placed > RESP_MAX_DATA) return refuse_transmit();
    write_u32(workspace.payload, static_cast<std::size_t>(placed), status);
    return static_cast<std::uint32_t>(placed) + 4;
}

}  // namespace

bool srv_dispatch_request(const srv_block &request, srv_block &response, pid_t requester,
                          std::size_t *written) noexcept {
    // The whole payload buffer, every time: a family may write anywhere in
    // it, also past the count it reports, and none of that may reach a later
    // answer (an unopened handle's answer is the capacity in zero bytes).
    workspace.payload.fill(0);

    const std::uint8_t command = request[REQ_COMMAND_OFFSET];
    std::uint32_t length = 0;
    switch (command) {
    case CMD_ENUM_DEV_PATH:
        workspace.path_list.fill('\0');
        length = serve_enumeration();
        break;
    case CMD_OPEN_DEV:
        length = serve_open(request, requester);
        break;
    case CMD_CLOSE_DEV:
        length = serve_close(request);
        break;
    case CMD_ICC_TSI_API:
        length = serve_transmit(request);
        break;
    default:
        return false;
    }
    // A family call was abandoned: another thread answers this request.
    if (family_call_retired()) return false;

    // Header, payload, then zeros over whatever else may be there.
    std::memset(response.data(), 0, RESP_PAYLOAD_OFFSET);
    response[RESP_COMMAND_OFFSET] = command;
    write_u32(response, RESP_LENGTH_OFFSET, length);
    std::memcpy(response.data() + RESP_PAYLOAD_OFFSET, workspace.payload.data(), length);
    const std::size_t end = RESP_PAYLOAD_OFFSET + std::size_t{length};
    const std::size_t dirty =
        written == nullptr ? response.size() : std::max<std::size_t>({*written, REQ_READ_SIZE, end});
    std::memset(response.data() + end, 0, std::min(dirty, response.size()) - end);
    if (written != nullptr) *written = end;
    return true;
}
