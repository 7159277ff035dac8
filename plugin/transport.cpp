// SPDX-License-Identifier: BSD-3-Clause
// Device primitives and the APDU exchange over a driver node: one write of
// the whole command, one read of the whole answer (data, then SW1 SW2).
#include "qvkmgrudk.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "plugin_config.h"

using namespace qvk::udk;

QVK_EXPORT int CT_open(const char *path) {
    if (path == nullptr) return -1;
    return open(path, O_RDWR);
}

QVK_EXPORT int CT_close(int descriptor) {
    return close(descriptor) == 0 ? 0 : -1;
}

QVK_EXPORT uint32_t ICC_tsi_api(int descriptor, int command_length,
                                const uint8_t *command, int32_t *response_length,
                                uint8_t *response) {
    if (command == nullptr || response_length == nullptr || response == nullptr)
        return SW_NO_ANSWER;
    // A length the command buffer cannot hold is refused like a null pointer:
    // nothing is copied, written or read.
    if (command_length < 0 || static_cast<std::size_t>(command_length) > APDU_BUF_SIZE)
        return SW_NO_ANSWER;

    const auto length = static_cast<std::size_t>(command_length);
    std::array<uint8_t, APDU_BUF_SIZE> sent{};
    std::memcpy(sent.data(), command, length);

    const ssize_t written = write(descriptor, sent.data(), length);
    if (written >= 0 && static_cast<std::size_t>(written) == length) {
        std::array<uint8_t, APDU_BUF_SIZE> received;
        const ssize_t got = read(descriptor, received.data(), received.size());
        if (got >= 2) {
            const auto data_length = static_cast<std::size_t>(got) - 2;
            *response_length = static_cast<int32_t>(data_length);
            std::memcpy(response, received.data(), data_length);
            return static_cast<uint32_t>(received[data_length]) << 8 |
                   received[data_length + 1];
        }
    }
    *response_length = 0;
    response[0] = 0;
    return SW_NO_ANSWER;
}
