// The daemon's request handling: any 8200-byte block, dispatched as the
// request loop would dispatch it, against in-process families whose answers
// come from the input too (device counts beyond 32, paths without a
// terminator, open results of 0 and 0xFFFFFFFF, response counts that are
// negative or beyond the payload). Nothing here needs IPC.
//
// Input: 16 bytes of family behaviour, then the request block (shorter
// input is zero-filled). Every run enumerates first, so that opens can find
// listed paths, then dispatches the block twice (the second time against the
// state the first one left, e.g. an open handle).
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

uint32_t fuzz_transmit(uint32_t, int32_t command_length, const uint8_t *command,
                       int32_t *response_length, uint8_t *response) {
    if (command_length < 0 || command_length > CMD_BUF_SIZE) __builtin_trap();
    volatile std::uint8_t sink = 0;
    for (int32_t i = 0; i < command_length; ++i) sink = sink + command[i];
    // Fill what the daemon offered (never more than its payload buffer), then
    // report any count at all.
    const std::int32_t offered = std::clamp<std::int32_t>(*response_length, 0, RESP_PAYLOAD_SIZE);
    std::memset(response, 0x5A, static_cast<std::size_t>(offered));
    *response_length = word(7);
    return static_cast<uint32_t>(word(11));
}

void install_families() {
    const dev_family_entries entries{fuzz_enumerate, fuzz_open, fuzz_close, fuzz_transmit};
    for (std::int32_t family = DEV_FAMILY_UDK; family <= DEV_FAMILY_HID; ++family)
        install_dev_family(family, entries);
}

void check_response(const srv_block &request, const srv_block &response) {
    std::uint32_t length = 0;
    std::memcpy(&length, response.data() + RESP_LENGTH_OFFSET, sizeof length);
    if (response[RESP_COMMAND_OFFSET] != request[REQ_COMMAND_OFFSET]) __builtin_trap();
    if (length > RESP_PAYLOAD_SIZE) __builtin_trap();
    for (std::size_t i = RESP_PAYLOAD_OFFSET + length; i < response.size(); ++i)
        if (response[i] != 0) __builtin_trap();
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

    for (int round = 0; round < 2; ++round) {
        response.fill(0xEE);
        const bool answered = srv_dispatch_request(request, response);
        const std::uint8_t command = request[REQ_COMMAND_OFFSET];
        const bool known = command >= CMD_ENUM_DEV_PATH && command <= CMD_ICC_TSI_API;
        if (answered != known) __builtin_trap();
        if (answered) check_response(request, response);
    }
    return 0;
}
