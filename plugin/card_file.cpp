// SPDX-License-Identifier: BSD-3-Clause
// Card file commands over the APDU exchange: reset, and reading and updating
// a transparent file in pieces of at most 128 bytes, optionally after
// selecting it by its file identifier.
#include "qvkmgrudk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "plugin_config.h"

using namespace qvk::udk;

namespace {

constexpr std::array<uint8_t, 5> ICC_RESET_CMD1 = {0x00, 0x19, 0x00, 0x00, 0x00};
constexpr std::array<uint8_t, 5> ICC_RESET_CMD2 = {0x00, 0x12, 0x00, 0x00, 0x00};
constexpr std::size_t APDU_HEADER_SIZE = 5;

// Every exchange may write up to 2036 data bytes into its response area.
// Answers the caller does not ask for land here, never in a caller's buffer.
using ResponseArea = std::array<uint8_t, MAX_RESPONSE_DATA>;

template <std::size_t N>
uint32_t exchange(int descriptor, const std::array<uint8_t, N> &command, std::size_t length,
                  int32_t &received, ResponseArea &response) {
    return ICC_tsi_api(descriptor, static_cast<int>(length), command.data(), &received,
                       response.data());
}

bool arguments_valid(int offset, int length, const void *buffer) {
    return buffer != nullptr && offset >= 0 && length > 0;
}

// SELECT of the file, unless the identifier asks to keep the current one.
uint32_t select_file(int descriptor, int file_id) {
    if (file_id == FID_NO_SELECT) return SW_SUCCESS;
    const std::array<uint8_t, 7> select = {0x00, 0xA4, 0x00, 0x00, 0x02,
                                           static_cast<uint8_t>(file_id >> 8),
                                           static_cast<uint8_t>(file_id)};
    int32_t received = 0;
    ResponseArea scratch;
    return exchange(descriptor, select, select.size(), received, scratch);
}

// CLA INS P1 P2 and the length byte; the offset is held as 32 bits and only
// its low 16 bits reach the card.
template <std::size_t N>
void put_header(std::array<uint8_t, N> &command, uint8_t instruction, uint32_t offset,
                std::size_t chunk) {
    command[0] = 0x00;
    command[1] = instruction;
    command[2] = static_cast<uint8_t>(offset >> 8);
    command[3] = static_cast<uint8_t>(offset);
    command[4] = static_cast<uint8_t>(chunk);
}

}  // namespace

QVK_EXPORT uint32_t ICC_reset(int descriptor, int32_t *response_length, uint8_t *response) {
    if (response_length == nullptr || response == nullptr) return SW_NO_ANSWER;
    uint32_t status = ICC_tsi_api(descriptor, static_cast<int>(ICC_RESET_CMD1.size()),
                                  ICC_RESET_CMD1.data(), response_length, response);
    // A card error on the first command is of no consequence; only a failed
    // exchange stops the sequence.
    if (status != SW_NO_ANSWER)
        status = ICC_tsi_api(descriptor, static_cast<int>(ICC_RESET_CMD2.size()),
                             ICC_RESET_CMD2.data(), response_length, response);
    if (status == SW_NO_ANSWER) {
        *response_length = 0;
        response[0] = 0;
    }
    return status;
}

QVK_EXPORT uint32_t ICC_Read_binary(int descriptor, int file_id, int offset, int length,
                                    uint8_t *buffer) {
    if (!arguments_valid(offset, length, buffer)) return SW_NO_ANSWER;
    const uint32_t selected = select_file(descriptor, file_id);
    if (selected != SW_SUCCESS) return selected;

    const std::span<uint8_t> target(buffer, static_cast<std::size_t>(length));
    auto position = static_cast<uint32_t>(offset);
    std::size_t done = 0;
    while (done < target.size()) {
        const std::size_t chunk = std::min<std::size_t>(target.size() - done, CARD_IO_CHUNK);
        std::array<uint8_t, APDU_HEADER_SIZE> command;
        put_header(command, 0xB0, position, chunk);
        int32_t received = 0;
        ResponseArea answer;
        const uint32_t status = exchange(descriptor, command, command.size(), received, answer);

        // More than was asked for cannot be placed without running past the
        // piece (and perhaps the buffer): the read fails and stores none of it.
        if (received < 0 || static_cast<std::size_t>(received) > chunk) return SW_NO_ANSWER;
        const auto got = static_cast<std::size_t>(received);
        std::memcpy(target.subspan(done, got).data(), answer.data(), got);
        if (status != SW_SUCCESS) return status;
        // 90 00 without data would ask for the same piece for ever.
        if (got == 0) return SW_NO_ANSWER;

        // The card may return fewer bytes than asked; the next piece starts
        // where its data ended.
        position += static_cast<uint32_t>(got);
        done += got;
    }
    return SW_SUCCESS;
}

QVK_EXPORT uint32_t ICC_Write_binary(int descriptor, int file_id, int offset, int length,
                                     const uint8_t *data) {
    if (!arguments_valid(offset, length, data)) return SW_NO_ANSWER;
    const uint32_t selected = select_file(descriptor, file_id);
    if (selected != SW_SUCCESS) return selected;

    const std::span<const uint8_t> source(data, static_cast<std::size_t>(length));
    auto position = static_cast<uint32_t>(offset);
    std::size_t done = 0;
    while (done < source.size()) {
        const std::size_t chunk = std::min<std::size_t>(source.size() - done, CARD_IO_CHUNK);
        std::array<uint8_t, APDU_HEADER_SIZE + CARD_IO_CHUNK> command;
        put_header(command, 0xD6, position, chunk);
        const auto piece = source.subspan(done, chunk);
        std::copy(piece.begin(), piece.end(), command.begin() + APDU_HEADER_SIZE);
        int32_t received = 0;
        ResponseArea scratch;
        const uint32_t status =
            exchange(descriptor, command, APDU_HEADER_SIZE + chunk, received, scratch);
        if (status != SW_SUCCESS) return status;

        position += static_cast<uint32_t>(chunk);
        done += chunk;
    }
    return SW_SUCCESS;
}

QVK_EXPORT void ICC_set_NAD(uint8_t /*node_address*/) {}
