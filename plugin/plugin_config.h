// SPDX-License-Identifier: BSD-3-Clause
// Constants of the kernel-driver family plug-in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qvk_token_node.h"

#define QVK_EXPORT extern "C" __attribute__((visibility("default")))

namespace qvk::udk {

// Device nodes are DEV_NODE_PREFIX followed by 0 .. DEV_NODE_COUNT - 1.
inline constexpr const char *DEV_NODE_PREFIX = QVK_NODE_PATH_PREFIX;
inline constexpr int DEV_NODE_COUNT = QVK_NODE_COUNT;

// The caller's path list: 32 slots of 128 bytes.
inline constexpr std::size_t DEV_PATH_SLOT_SIZE = 128;

// One exchange: command and answer buffers of this size each.
inline constexpr std::size_t APDU_BUF_SIZE = QVK_NODE_TRANSFER_SIZE;
inline constexpr std::size_t MAX_RESPONSE_DATA = APDU_BUF_SIZE - 2;

inline constexpr std::uint32_t SW_SUCCESS = 0x9000;
inline constexpr std::uint32_t SW_NO_ANSWER = 0xFFFF;

// Card file commands: data bytes per READ BINARY or UPDATE BINARY, and the
// file identifier that means "keep the file already selected".
inline constexpr int CARD_IO_CHUNK = 128;
inline constexpr int FID_NO_SELECT = 0xFFFF;

// DES toolkit: a bit-per-byte key schedule is 16 rows of 48 bytes.
inline constexpr std::size_t DES_BLOCK_SIZE = 8;
inline constexpr std::size_t DES_BITS = 64;
inline constexpr std::size_t DES_ROUNDS = 16;
inline constexpr std::size_t DES_ROUND_KEY_BITS = 48;
inline constexpr std::size_t DES_SCHEDULE_SIZE = DES_ROUNDS * DES_ROUND_KEY_BITS;
inline constexpr std::uint8_t DES_MODE_ENCRYPT = 1;
inline constexpr std::uint8_t DES_MODE_DECRYPT = 2;
inline constexpr std::uint8_t DES_PAD_BLOCK[DES_BLOCK_SIZE] = {0x80, 0, 0, 0, 0, 0, 0, 0};

// APDU trace: the file (doubled slashes and all), the indent of every dump
// line, and the bytes per dump line.
inline constexpr const char *APDU_LOG_PATH = "//tmp/crw//pkcs11.log";
inline constexpr const char *APDU_LOG_INDENT = "            ";
inline constexpr std::uint32_t APDU_LOG_BYTES_PER_LINE = 32;

}  // namespace qvk::udk
