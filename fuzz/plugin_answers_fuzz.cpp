// SPDX-License-Identifier: BSD-3-Clause
// Card answers of any length and content, fed to the APDU exchange and to
// each card file command through a SEQPACKET socket pair (one message per
// answer, like the driver's node). Buffers are exactly as large as the
// callers promise, so any write past them is caught by AddressSanitizer.
//
// Input: byte 0 picks the operation; bytes 1..6 give its file identifier,
// offset and length; the rest is a sequence of answers, each a 2-byte
// little-endian length followed by that many bytes. Once the answers run
// out the card stops answering (the next read sees end of file).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "qvkmgrudk.h"

namespace {

constexpr std::size_t kMaxAnswer = 2100;    // a little more than one read takes
constexpr std::size_t kResponseRoom = 2036; // what callers must offer an exchange

struct Input {
    const uint8_t *data;
    std::size_t size;
    std::size_t at = 0;
    uint32_t take(std::size_t bytes) {
        uint32_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i, ++at)
            value |= static_cast<uint32_t>(at < size ? data[at] : 0) << (8 * i);
        return value;
    }
};

struct SocketPair {
    int host = -1, card = -1;
    SocketPair() {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == 0) {
            host = pair[0];
            card = pair[1];
        }
    }
    ~SocketPair() {
        if (host >= 0) close(host);
        if (card >= 0) close(card);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    Input in{data, size};
    const uint32_t operation = in.take(1) % 4;
    const int file_id = static_cast<int>(in.take(2));
    const int offset = static_cast<int>(in.take(2)) - 16;  // a few negative ones too
    const int length = static_cast<int>(in.take(2) % 700) - 4;

    SocketPair link;
    if (link.host < 0) return 0;
    int queued = 0;
    while (in.at < size && queued < 16) {
        const std::size_t wanted = in.take(2) % kMaxAnswer;
        if (in.at > size) break;
        const std::size_t n = std::min(wanted, size - in.at);
        if (send(link.card, data + in.at, n, MSG_DONTWAIT) < 0) break;
        in.at += n;
        ++queued;
    }
    shutdown(link.card, SHUT_WR);

    switch (operation) {
    case 0: {
        const uint8_t command[] = {0x00, 0x84, 0x00, 0x00, 0x08};
        auto response = std::make_unique<uint8_t[]>(kResponseRoom);
        int32_t received = -1;
        const uint32_t status = ICC_tsi_api(link.host, 5, command, &received, response.get());
        if (received < 0 || received > static_cast<int32_t>(kResponseRoom) || status > 0xFFFF)
            __builtin_trap();
        break;
    }
    case 1: {
        auto response = std::make_unique<uint8_t[]>(kResponseRoom);
        int32_t received = -1;
        ICC_reset(link.host, &received, response.get());
        break;
    }
    case 2: {
        // The caller's buffer holds exactly `length` bytes.
        const std::size_t room = length > 0 ? static_cast<std::size_t>(length) : 1;
        auto buffer = std::make_unique<uint8_t[]>(room);
        ICC_Read_binary(link.host, file_id, offset, length, buffer.get());
        break;
    }
    case 3: {
        const std::size_t room = length > 0 ? static_cast<std::size_t>(length) : 1;
        std::vector<uint8_t> source(room, 0x5A);
        const std::vector<uint8_t> before = source;
        ICC_Write_binary(link.host, file_id, offset, length, source.data());
        // A write never alters the data it sends.
        if (source != before) __builtin_trap();
        break;
    }
    }
    return 0;
}
