// SPDX-License-Identifier: BSD-3-Clause
// The packed DES cipher. Halves are 32-bit words with bit 1 of the standard
// as the most significant bit. The expanded half is never built: the six
// bits that S-box s reads are bits 4s .. 4s + 5 of R (bit 0 being bit 32),
// which a left rotation by 4s + 5 brings to the low end. Rotating R by 5 puts
// the groups of S-boxes 1, 7, 5, 3 (counting from 1) at bits 0, 8, 16, 24, and
// rotating by 9 those of S-boxes 2, 8, 6, 4; the round key is laid out to
// match, so one XOR keys four S-boxes.
#include "des_packed.h"

#include <cstring>

#include "des_tables.h"
#include "qvkmgrudk.h"

namespace qvk::udk::des {

namespace {

constexpr uint32_t rotate_left(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// The S-box at each byte of the two keyed words, and the bit it starts at.
struct GroupPlace {
    unsigned box;
    unsigned word;
    unsigned shift;
};
constexpr std::array<GroupPlace, 8> GROUP_PLACES = {{
    {0, 0, 0}, {6, 0, 8}, {4, 0, 16}, {2, 0, 24},
    {1, 1, 0}, {7, 1, 8}, {5, 1, 16}, {3, 1, 24},
}};

// SP[s][v]: the S-box s output for the six bits v (b1 the most significant),
// already moved to its place in the 32-bit output of the permutation P.
using CombinedTables = std::array<std::array<uint32_t, 64>, 8>;

constexpr CombinedTables make_combined_tables() {
    CombinedTables tables{};
    for (unsigned box = 0; box < 8; ++box) {
        for (unsigned v = 0; v < 64; ++v) {
            const unsigned row = ((v >> 4) & 2u) | (v & 1u);
            const unsigned column = (v >> 1) & 15u;
            const unsigned value = S_BOXES[box][row][column];
            uint32_t word = 0;
            for (unsigned i = 0; i < 32; ++i) {
                const unsigned source = P[i] - 1u;  // bit of the S-box outputs, 0-based
                if (source / 4 != box) continue;
                if ((value >> (3 - source % 4)) & 1u) word |= 1u << (31 - i);
            }
            tables[box][v] = word;
        }
    }
    return tables;
}

constexpr CombinedTables SP = make_combined_tables();

// The initial permutation and its inverse as five exchanges of bit groups
// between the two halves (high word: bits 1 .. 32 of the block).
constexpr void exchange_bits(uint32_t &a, uint32_t &b, unsigned shift, uint32_t mask) {
    const uint32_t t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
}

constexpr void initial_permutation(uint32_t &high, uint32_t &low) {
    exchange_bits(high, low, 4, 0x0F0F0F0Fu);
    exchange_bits(high, low, 16, 0x0000FFFFu);
    exchange_bits(low, high, 2, 0x33333333u);
    exchange_bits(low, high, 8, 0x00FF00FFu);
    exchange_bits(high, low, 1, 0x55555555u);
}

constexpr void final_permutation(uint32_t &high, uint32_t &low) {
    exchange_bits(high, low, 1, 0x55555555u);
    exchange_bits(low, high, 8, 0x00FF00FFu);
    exchange_bits(low, high, 2, 0x33333333u);
    exchange_bits(high, low, 16, 0x0000FFFFu);
    exchange_bits(high, low, 4, 0x0F0F0F0Fu);
}

// Both permutations are linear, so matching the standard's tables on every
// single-bit block proves them for all blocks.
template <std::size_t N>
constexpr uint64_t permute_by_table(uint64_t block, const std::array<uint8_t, N> &table) {
    uint64_t out = 0;
    for (std::size_t i = 0; i < N; ++i) out |= ((block >> (64 - table[i])) & 1u) << (63 - i);
    return out;
}

template <class Exchanges>
constexpr bool matches_table(Exchanges exchanges, const std::array<uint8_t, 64> &table) {
    for (unsigned bit = 0; bit < 64; ++bit) {
        const uint64_t block = uint64_t{1} << bit;
        auto high = static_cast<uint32_t>(block >> 32);
        auto low = static_cast<uint32_t>(block);
        exchanges(high, low);
        if ((uint64_t{high} << 32 | low) != permute_by_table(block, table)) return false;
    }
    return true;
}
static_assert(matches_table(initial_permutation, IP));
static_assert(matches_table(final_permutation, IP_INVERSE));

// The same check for the rotations that stand in for the expansion E.
constexpr bool groups_match_expansion() {
    for (unsigned bit = 0; bit < 32; ++bit) {
        const uint32_t right = 1u << bit;
        const uint32_t keyed[2] = {rotate_left(right, 5), rotate_left(right, 9)};
        const uint64_t expanded = permute_by_table(uint64_t{right} << 32, E) >> 16;
        for (const GroupPlace &place : GROUP_PLACES) {
            const auto wanted = static_cast<uint32_t>(expanded >> (42 - 6 * place.box)) & 63u;
            if (((keyed[place.word] >> place.shift) & 63u) != wanted) return false;
        }
    }
    return true;
}
static_assert(groups_match_expansion());

uint32_t load_big_endian(const uint8_t *bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

void store_big_endian(uint32_t word, uint8_t *bytes) {
    bytes[0] = static_cast<uint8_t>(word >> 24);
    bytes[1] = static_cast<uint8_t>(word >> 16);
    bytes[2] = static_cast<uint8_t>(word >> 8);
    bytes[3] = static_cast<uint8_t>(word);
}

inline uint32_t round_function(uint32_t right, uint32_t key_even, uint32_t key_odd) {
    const uint32_t x = rotate_left(right, 5) ^ key_even;
    const uint32_t y = rotate_left(right, 9) ^ key_odd;
    return SP[0][x & 63u] | SP[6][(x >> 8) & 63u] | SP[4][(x >> 16) & 63u] |
           SP[2][(x >> 24) & 63u] | SP[1][y & 63u] | SP[7][(y >> 8) & 63u] |
           SP[5][(y >> 16) & 63u] | SP[3][(y >> 24) & 63u];
}

template <bool Decrypt>
Block crypt(const PackedSchedule &schedule, const Block &input) {
    uint32_t left = load_big_endian(input.data());
    uint32_t right = load_big_endian(input.data() + 4);
    initial_permutation(left, right);
    for (std::size_t round = 0; round < DES_ROUNDS; round += 2) {
        // Two rounds per pass, so that the halves trade places by name only.
        const std::size_t first = Decrypt ? DES_ROUNDS - 1 - round : round;
        const std::size_t second = Decrypt ? first - 1 : first + 1;
        left ^= round_function(right, schedule.words[2 * first], schedule.words[2 * first + 1]);
        right ^= round_function(left, schedule.words[2 * second], schedule.words[2 * second + 1]);
    }
    // After the last round the halves are not exchanged: R16 comes first.
    final_permutation(right, left);
    Block output;
    store_big_endian(right, output.data());
    store_big_endian(left, output.data() + 4);
    return output;
}

}  // namespace

PackedSchedule pack_schedule(std::span<const uint8_t, DES_SCHEDULE_SIZE> schedule) {
    PackedSchedule packed{};
    for (std::size_t round = 0; round < DES_ROUNDS; ++round) {
        const auto row = schedule.subspan(round * DES_ROUND_KEY_BITS, DES_ROUND_KEY_BITS);
        for (const GroupPlace &place : GROUP_PLACES) {
            uint32_t group = 0;
            for (std::size_t k = 0; k < 6; ++k) group = group << 1 | (row[6 * place.box + k] & 1u);
            packed.words[2 * round + place.word] |= group << place.shift;
        }
    }
    return packed;
}

PackedSchedule packed_schedule_of_key(std::span<const uint8_t, DES_BLOCK_SIZE> key) {
    std::array<uint8_t, DES_SCHEDULE_SIZE> schedule;
    DESsubkey(schedule.data(), key.data());
    return pack_schedule(schedule);
}

Block encrypt_block(const PackedSchedule &schedule, const Block &input) {
    return crypt<false>(schedule, input);
}

Block decrypt_block(const PackedSchedule &schedule, const Block &input) {
    return crypt<true>(schedule, input);
}

}  // namespace qvk::udk::des
