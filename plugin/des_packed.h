// SPDX-License-Identifier: BSD-3-Clause
// The packed form of the DES cipher that the byte-string functions run on:
// a round key is two 32-bit words lined up with the expanded half, and each
// round is eight lookups in combined S-box and permutation tables. It gives
// the same results as the bit-per-byte form (des.cpp), from the same tables.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "plugin_config.h"

namespace qvk::udk::des {

// Round r uses words[2r] (S-boxes 1, 3, 5, 7) and words[2r + 1] (2, 4, 6, 8).
struct PackedSchedule {
    std::array<uint32_t, 2 * DES_ROUNDS> words;
};

// Packs a bit-per-byte schedule (only the low bit of each byte counts).
PackedSchedule pack_schedule(std::span<const uint8_t, DES_SCHEDULE_SIZE> schedule);
// The packed schedule of an 8-byte key.
PackedSchedule packed_schedule_of_key(std::span<const uint8_t, DES_BLOCK_SIZE> key);

using Block = std::array<uint8_t, DES_BLOCK_SIZE>;

Block encrypt_block(const PackedSchedule &schedule, const Block &input);
Block decrypt_block(const PackedSchedule &schedule, const Block &input);

}  // namespace qvk::udk::des
