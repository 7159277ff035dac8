// SPDX-License-Identifier: BSD-3-Clause
// The daemon's request handling: any 8200-byte block, dispatched as the
// request loop would dispatch it, against in-process families whose answers
// come from the input too (device counts beyond 32, paths without a
// terminator, open results of 0 and 0xFFFFFFFF, response counts that are
// negative or beyond the payload, data written past the count reported).
// Nothing here needs IPC.
//
// Input: 16 bytes of family behaviour, then the request block (shorter
// input is zero-filled). Every run enumerates and opens the first listed
// device, as a requester would, then dispatches the block twice (the second
// time against the state the first one left). A transmit's answer is
// checked byte for byte: the family's data where it wrote, zero where it
// did not, then its status; or, for a handle that is not open, the capacity
// in zero bytes and FF FF FF FF.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "dev_families.h"
#include "key_registry.h"
#include "srv_dispatch.h"

namespace {

struct Behaviour {
    std::array<std::uint8_t, 16> bytes{};
    std::uint8_t at(std::size_t i) const { return bytes[i % bytes.size()]; }
};
Behaviour g_behaviour;

std::int32_t word(std::size_t first) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{g_behaviour.at(first + i)} << (8 * i);
    return static_cast<std::int32_t>(value);
}

uint16_t fuzz_enumerate(std::uint8_t *count, char *path_list) {
    // Up to 255 devices claimed; slots filled with input-driven bytes, some
    // of them without any terminator.
    *count = g_behaviour.at(0);
    for (std::size_t slot = 0; slot < DEV_MAX_COUNT; ++slot) {
        char *path = path_list + slot * DEV_PATH_SLOT_SIZE;
        const std::size_t length = g_behaviour.at(1) & 1 ? DEV_PATH_SLOT_SIZE : 1 + slot % 20;
        std::memset(path, 'a' + static_cast<int>(slot % 26), length);
        if (length < DEV_PATH_SLOT_SIZE) path[length] = '\0';
    }
    return 1;
}

uint32_t fuzz_open(const char *) { return static_cast<uint32_t>(word(2)); }

uint16_t fuzz_close(uint32_t) { return g_behaviour.at(6); }

constexpr std::uint8_t kFamilyData = 0x5A;

// What the family's transmit did on its latest call.
struct TransmitCall {
    int calls = 0;
    std::size_t written = 0;  // bytes of kFamilyData from the start of the buffer
};
TransmitCall g_transmit;

uint32_t fuzz_transmit(uint32_t, int32_t command_length, const uint8_t *command,
                       int32_t *response_length, uint8_t *response) {
    if (command_length < 0 || command_length > CMD_BUF_SIZE) __builtin_trap();
    if (*response_length < 0 || *response_length > RESP_MAX_DATA) __builtin_trap();
    volatile std::uint8_t sink = 0;
    for (int32_t i = 0; i < command_length; ++i) sink = sink + command[i];
    // Write any amount of the daemon's buffer, whatever was offered (less on
    // each later call, so that a byte left over from an earlier call shows),
    // then report any count at all.
    const std::size_t amount = std::min<std::size_t>(std::size_t{g_behaviour.at(15)} * 33, RESP_PAYLOAD_SIZE);
    g_transmit.written = amount >> g_transmit.calls;
    ++g_transmit.calls;
    std::memset(response, kFamilyData, g_transmit.written);
    *response_length = word(7);
    return static_cast<uint32_t>(word(11));
}

void install_families() {
    const dev_family_entries entries{fuzz_enumerate, fuzz_open, fuzz_close, fuzz_transmit};
    for (std::int32_t family = DEV_FAMILY_UDK; family <= DEV_FAMILY_HID; ++family)
        install_dev_family(family, entries);
}

std::uint32_t u32(const srv_block &block, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, block.data() + offset, sizeof value);
    return value;
}

void check_response(const srv_block &request, const srv_block &response) {
    const std::uint32_t length = u32(response, RESP_LENGTH_OFFSET);
    if (response[RESP_COMMAND_OFFSET] != request[REQ_COMMAND_OFFSET]) __builtin_trap();
    for (std::size_t i = 1; i < RESP_LENGTH_OFFSET; ++i)
        if (response[i] != 0) __builtin_trap();
    if (length > RESP_PAYLOAD_SIZE) __builtin_trap();
    for (std::size_t i = RESP_PAYLOAD_OFFSET + length; i < response.size(); ++i)
        if (response[i] != 0) __builtin_trap();
}

// The exact answer to a transmit; family_called tells whether the handle
// reached the family.
void check_transmit(const srv_block &request, const srv_block &response, bool family_called) {
    const std::uint32_t length = u32(response, RESP_LENGTH_OFFSET);
    const std::uint8_t *payload = response.data() + RESP_PAYLOAD_OFFSET;
    const std::uint32_t n = u32(request, REQ_TSI_LENGTH_OFFSET);
    std::uint32_t data = 0;
    std::uint32_t status = QVK_STATUS_NO_ANSWER;
    std::size_t family_bytes = 0;
    if (n > CMD_BUF_SIZE) {
        if (family_called) __builtin_trap();
    } else if (!family_called) {
        data = std::min<std::uint32_t>(u32(request, REQ_TSI_APDU_OFFSET + n), RESP_MAX_DATA);
        status = QVK_STATUS_NOT_OPEN;
    } else if (word(7) >= 0 && word(7) <= RESP_MAX_DATA) {
        data = static_cast<std::uint32_t>(word(7));
        status = static_cast<std::uint32_t>(word(11));
        family_bytes = g_transmit.written;
    }
    if (length != data + RESP_STATUS_SIZE || u32(response, RESP_PAYLOAD_OFFSET + data) != status)
        __builtin_trap();
    for (std::size_t i = 0; i < data; ++i)
        if (payload[i] != (i < family_bytes ? kFamilyData : 0)) __builtin_trap();
}

// The block of an open of the first listed device, as a requester posts it.
srv_block open_first_listed() {
    srv_block open{};
    open[REQ_COMMAND_OFFSET] = CMD_OPEN_DEV;
    std::memcpy(open.data() + REQ_ARGS_OFFSET, key_dev_table[0].path.data(), DEV_PATH_SLOT_SIZE);
    return open;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static bool installed = (install_families(), true);
    (void)installed;
    key_registry_reset();

    const std::size_t behaviour_size = std::min(size, g_behaviour.bytes.size());
    g_behaviour.bytes.fill(0);
    std::memcpy(g_behaviour.bytes.data(), data, behaviour_size);

    static srv_block request, response;
    request.fill(0);
    std::memcpy(request.data(), data + behaviour_size,
                std::min(size - behaviour_size, request.size()));

    srv_block enumerate{};
    enumerate[REQ_COMMAND_OFFSET] = CMD_ENUM_DEV_PATH;
    if (!srv_dispatch_request(enumerate, response)) __builtin_trap();
    check_response(enumerate, response);
    const srv_block open = open_first_listed();
    if (!srv_dispatch_request(open, response)) __builtin_trap();
    check_response(open, response);

    g_transmit = {};
    for (int round = 0; round < 2; ++round) {
        response.fill(0xEE);
        const int calls_before = g_transmit.calls;
        const bool answered = srv_dispatch_request(request, response);
        const std::uint8_t command = request[REQ_COMMAND_OFFSET];
        const bool known = command >= CMD_ENUM_DEV_PATH && command <= CMD_ICC_TSI_API;
        if (answered != known) __builtin_trap();
        if (answered) check_response(request, response);
        if (command == CMD_ICC_TSI_API) check_transmit(request, response, g_transmit.calls != calls_before);
    }
    return 0;
}
