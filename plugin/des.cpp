// SPDX-License-Identifier: BSD-3-Clause
// The DES block cipher in its bit-per-byte form: every block and key is
// spread over 64 bytes of 0 or 1, and every permutation, expansion and
// substitution is a byte-wise lookup in the standard's tables. Slow but
// plain; the byte-string functions use the packed form (des_packed.h).
#include "qvkmgrudk.h"

#include <algorithm>
#include <array>
#include <span>

#include "des_tables.h"
#include "plugin_config.h"

using namespace qvk::udk;

namespace {

using BitVector = std::array<uint8_t, DES_BITS>;

template <std::size_t N, std::size_t M>
void permute(std::span<uint8_t, N> out, std::span<const uint8_t, M> in,
             const std::array<uint8_t, N> &table) {
    for (std::size_t i = 0; i < N; ++i) out[i] = in[table[i] - 1u];
}

enum class Direction { encrypt, decrypt };

// One block through the 16 rounds with the round keys in the given order.
// The input is read whole before the first output byte is written, so the
// two may be the same block.
void crypt_block(const uint8_t *schedule, uint8_t *output, const uint8_t *input,
                 Direction direction) {
    const std::span<const uint8_t, DES_SCHEDULE_SIZE> round_keys(schedule, DES_SCHEDULE_SIZE);
    BitVector bits;
    Byte8_Bit64(bits.data(), input);
    BitVector halves;  // L then R
    permute<64, 64>(halves, bits, des::IP);
    std::span<uint8_t, 32> left(halves.data(), 32);
    std::span<uint8_t, 32> right(halves.data() + 32, 32);

    for (std::size_t round = 0; round < DES_ROUNDS; ++round) {
        const std::size_t row = direction == Direction::encrypt ? round : DES_ROUNDS - 1 - round;
        const auto key = round_keys.subspan(row * DES_ROUND_KEY_BITS).first<DES_ROUND_KEY_BITS>();

        std::array<uint8_t, DES_ROUND_KEY_BITS> expanded;
        permute<48, 32>(expanded, std::span<const uint8_t, 32>(right), des::E);
        std::array<uint8_t, 32> substituted;
        for (std::size_t box = 0; box < 8; ++box) {
            // Only the low bit of each byte counts, so that a schedule holding
            // other values cannot index outside the S-box.
            const auto b = [&](std::size_t k) { return (expanded[6 * box + k] ^ key[6 * box + k]) & 1u; };
            const unsigned box_row = b(0) * 2 + b(5);
            const unsigned column = b(1) * 8 + b(2) * 4 + b(3) * 2 + b(4);
            const unsigned value = des::S_BOXES[box][box_row][column];
            for (unsigned k = 0; k < 4; ++k) substituted[4 * box + k] = (value >> (3 - k)) & 1u;
        }
        std::array<uint8_t, 32> mixed;
        permute<32, 32>(mixed, std::span<const uint8_t, 32>(substituted), des::P);
        for (std::size_t i = 0; i < 32; ++i) left[i] ^= mixed[i];
        std::swap_ranges(left.begin(), left.end(), right.begin());
    }

    BitVector preoutput;  // R16 then L16: the last exchange undone
    std::copy(right.begin(), right.end(), preoutput.begin());
    std::copy(left.begin(), left.end(), preoutput.begin() + 32);
    permute<64, 64>(bits, std::span<const uint8_t, 64>(preoutput), des::IP_INVERSE);

    const std::span<uint8_t, DES_BLOCK_SIZE> out(output, DES_BLOCK_SIZE);
    for (std::size_t i = 0; i < DES_BLOCK_SIZE; ++i) {
        uint8_t byte = 0;
        for (std::size_t k = 0; k < 8; ++k) byte = static_cast<uint8_t>(byte << 1 | (bits[8 * i + k] & 1u));
        out[i] = byte;
    }
}

}  // namespace

QVK_EXPORT void Byte8_Bit64(uint8_t *bits, const uint8_t *data) {
    const std::span<uint8_t, DES_BITS> out(bits, DES_BITS);
    const std::span<const uint8_t, DES_BLOCK_SIZE> in(data, DES_BLOCK_SIZE);
    for (std::size_t i = 0; i < DES_BLOCK_SIZE; ++i)
        for (std::size_t k = 0; k < 8; ++k) out[8 * i + k] = (in[i] >> (7 - k)) & 1u;
}

QVK_EXPORT uint8_t power2(uint8_t n) {
    uint8_t result = 1;
    for (unsigned i = 0; i < n; ++i) result = static_cast<uint8_t>(result * 2);
    return result;
}

QVK_EXPORT void DESsubkey(uint8_t *schedule, const uint8_t *key) {
    BitVector bits;
    Byte8_Bit64(bits.data(), key);
    std::array<uint8_t, 56> cd;  // C (28 bits) followed by D (28 bits)
    permute<56, 64>(cd, bits, des::PC1);

    const std::span<uint8_t, DES_SCHEDULE_SIZE> rows(schedule, DES_SCHEDULE_SIZE);
    const auto c = std::span(cd).first<28>();
    const auto d = std::span(cd).last<28>();
    for (std::size_t round = 0; round < DES_ROUNDS; ++round) {
        std::rotate(c.begin(), c.begin() + des::KEY_SHIFTS[round], c.end());
        std::rotate(d.begin(), d.begin() + des::KEY_SHIFTS[round], d.end());
        permute<48, 56>(rows.subspan(round * DES_ROUND_KEY_BITS).first<DES_ROUND_KEY_BITS>(),
                        std::span<const uint8_t, 56>(cd), des::PC2);
    }
}

QVK_EXPORT void DESencrypt(const uint8_t *schedule, uint8_t *output, const uint8_t *input) {
    crypt_block(schedule, output, input, Direction::encrypt);
}

QVK_EXPORT void DESdecrypt(const uint8_t *schedule, uint8_t *output, const uint8_t *input) {
    crypt_block(schedule, output, input, Direction::decrypt);
}
