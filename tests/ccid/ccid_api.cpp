// SPDX-License-Identifier: BSD-3-Clause
#include "ccid_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace qvk::test {

std::vector<std::string> CcidApi::readers() {
    std::array<char, 4096> slots;
    slots.fill('\x5A');
    std::uint8_t count = 0xEE;
    const std::uint16_t result = enumerate(&count, slots.data());
    EXPECT_EQ(result, count > 0 ? 1 : 0);
    std::vector<std::string> names;
    if (count > 32) {
        ADD_FAILURE() << "count " << int(count);
        return names;
    }
    for (int i = 0; i < count; ++i) {
        const char *slot = slots.data() + i * 128;
        names.emplace_back(slot, strnlen(slot, 128));
        for (std::size_t k = names.back().size(); k < 128; ++k)
            if (slot[k] != '\0') {
                ADD_FAILURE() << "slot " << i << " byte " << k << " is not zero";
                break;
            }
    }
    return names;
}

std::vector<std::string> CcidApi::readers_within(const std::vector<std::string> &expected,
                                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> names = readers();
    while (names != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        names = readers();
    }
    return names;
}

Answer CcidApi::send(std::uint32_t handle, const Bytes &command, std::int32_t room) {
    std::array<std::uint8_t, 8192> response;
    response.fill(0xA5);
    Answer answer;
    answer.length = room;
    answer.status = transmit(handle, static_cast<std::int32_t>(command.size()), command.data(),
                             &answer.length, response.data());
    if (answer.length < 0 || answer.length > std::max(room, 0)) {
        ADD_FAILURE() << "response length " << answer.length << " for room " << room;
        return answer;
    }
    answer.data.assign(response.begin(), response.begin() + answer.length);
    // Nothing is written past what was placed.
    for (std::size_t i = static_cast<std::size_t>(answer.length); i < response.size(); ++i)
        if (response[i] != 0xA5) {
            ADD_FAILURE() << "byte " << i << " written past the " << answer.length << " placed";
            break;
        }
    return answer;
}

}  // namespace qvk::test
