// SPDX-License-Identifier: BSD-3-Clause
// The card side of the virtual reader driver of vsmartcard (vpcd, Debian's
// vsmartcard-vpcd), as pcscd loads it from /etc/reader.conf.d/vpcd: the
// driver listens on a TCP port per reader (35963 for "Virtual PCD 00 00",
// 35964 for "Virtual PCD 00 01"), and the card connects to it. Each message,
// either way, is a 2-byte big-endian length and that many bytes. A 1-byte
// message from the reader is a control; anything longer is a command APDU,
// answered with the response APDU. Only the ATR request is answered among
// the controls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "card.h"

namespace qvk::vtoken::vpcd {

inline constexpr std::uint8_t kPowerOff = 0x00;
inline constexpr std::uint8_t kPowerOn = 0x01;
inline constexpr std::uint8_t kReset = 0x02;
inline constexpr std::uint8_t kGetAtr = 0x04;

// The card's answer to reset up to its check byte: direct convention (3B),
// TD1 and TD2 offering T=0 and T=1, and six historical bytes 80 54 "QVKT"
// (COMPACT-TLV: card issuer's data).
inline constexpr std::uint8_t kAtrBody[] = {0x3B, 0x86, 0x80, 0x01, 0x80,
                                            0x54, 0x51, 0x56, 0x4B, 0x54};
// TCK: the XOR of every byte from T0 on, so that T0 .. TCK XOR to zero.
constexpr std::uint8_t atr_check_byte() {
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < sizeof kAtrBody; ++i) check ^= kAtrBody[i];
    return check;
}

// kAtrBody followed by its check byte.
Bytes answer_to_reset();

// Reads one whole message from a connected socket; nothing when the peer
// closed the connection or the socket failed.
std::optional<Bytes> read_message(int socket);
// Writes one message; false when the socket failed.
bool write_message(int socket, std::span<const std::uint8_t> body);

// Connects to the reader at 127.0.0.1:port; -1 when nobody listens.
int connect_to_reader(std::uint16_t port);

}  // namespace qvk::vtoken::vpcd
