// SPDX-License-Identifier: BSD-3-Clause
// DES over byte strings: the CBC-MAC, and single and two-key triple DES in
// ECB mode with completion of the last block (80 00 ..). All three run on
// the packed cipher with a schedule packed once per call.
#include "qvkmgrudk.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <span>

#include "des_packed.h"
#include "plugin_config.h"

using namespace qvk::udk;
using des::Block;
using des::PackedSchedule;

namespace {

Block load_block(const uint8_t *bytes) {
    Block block;
    std::memcpy(block.data(), bytes, block.size());
    return block;
}

void store_block(const Block &block, uint8_t *bytes) {
    std::memcpy(bytes, block.data(), block.size());
}

bool mode_valid(uint8_t mode) { return mode == DES_MODE_ENCRYPT || mode == DES_MODE_DECRYPT; }

// What both byte-string ciphers refuse with 0 before touching anything: a
// null pointer, another mode, a negative length, or one whose completed
// length would not fit the result.
bool string_arguments_valid(uint8_t mode, const uint8_t *key, int length, const uint8_t *input,
                            const uint8_t *output) {
    return key != nullptr && input != nullptr && output != nullptr && mode_valid(mode) &&
           length >= 0 && length <= INT_MAX - static_cast<int>(DES_BLOCK_SIZE) + 1;
}

// Writes the completion into the input's last block and returns the
// completed length: the length rounded up to a multiple of 8, 8 for length 0.
std::size_t complete_last_block(uint8_t *input, std::size_t length) {
    const std::size_t completed =
        length == 0 ? DES_BLOCK_SIZE : (length + DES_BLOCK_SIZE - 1) / DES_BLOCK_SIZE * DES_BLOCK_SIZE;
    const std::size_t last = completed - DES_BLOCK_SIZE;
    const std::size_t filled = length - last;  // 0 .. 8 bytes of data in the last block
    std::memcpy(input + length, DES_PAD_BLOCK, DES_BLOCK_SIZE - filled);
    return completed;
}

Block crypt(uint8_t mode, const PackedSchedule &schedule, const Block &block) {
    return mode == DES_MODE_ENCRYPT ? des::encrypt_block(schedule, block)
                                    : des::decrypt_block(schedule, block);
}

uint8_t opposite(uint8_t mode) {
    return mode == DES_MODE_ENCRYPT ? DES_MODE_DECRYPT : DES_MODE_ENCRYPT;
}

}  // namespace

QVK_EXPORT void DESmac(const uint8_t *schedule, uint16_t length, const uint8_t *data,
                       uint8_t *mac) {
    const PackedSchedule packed =
        des::pack_schedule(std::span<const uint8_t, DES_SCHEDULE_SIZE>(schedule, DES_SCHEDULE_SIZE));
    const std::span<const uint8_t> message(data, length);
    Block chain{};
    for (std::size_t done = 0; done < message.size(); done += DES_BLOCK_SIZE) {
        // A final partial block is taken as if completed with zero bytes.
        const auto piece = message.subspan(done, std::min(DES_BLOCK_SIZE, message.size() - done));
        for (std::size_t i = 0; i < piece.size(); ++i) chain[i] ^= piece[i];
        chain = des::encrypt_block(packed, chain);
    }
    store_block(chain, mac);
}

QVK_EXPORT int SingleDES(uint8_t mode, const uint8_t *key, int length, uint8_t *input,
                         uint8_t *output) {
    if (!string_arguments_valid(mode, key, length, input, output)) return 0;
    const PackedSchedule schedule =
        des::packed_schedule_of_key(std::span<const uint8_t, DES_BLOCK_SIZE>(key, DES_BLOCK_SIZE));
    const std::size_t completed = complete_last_block(input, static_cast<std::size_t>(length));
    // Each block is read whole before its output is written, so output may
    // be input.
    for (std::size_t at = 0; at < completed; at += DES_BLOCK_SIZE)
        store_block(crypt(mode, schedule, load_block(input + at)), output + at);
    return static_cast<int>(completed);
}

QVK_EXPORT int TripleDES(uint8_t mode, const uint8_t *key, int length, uint8_t *input,
                         uint8_t *output) {
    if (!string_arguments_valid(mode, key, length, input, output)) return 0;
    const std::span<const uint8_t, 2 * DES_BLOCK_SIZE> keys(key, 2 * DES_BLOCK_SIZE);
    const PackedSchedule k1 = des::packed_schedule_of_key(keys.first<DES_BLOCK_SIZE>());
    const PackedSchedule k2 = des::packed_schedule_of_key(keys.last<DES_BLOCK_SIZE>());
    const std::size_t completed = complete_last_block(input, static_cast<std::size_t>(length));
    // E(K1) D(K2) E(K1) to encrypt, D(K1) E(K2) D(K1) to decrypt. The middle
    // result goes back into the input, as three passes over the two buffers
    // would leave it.
    for (std::size_t at = 0; at < completed; at += DES_BLOCK_SIZE) {
        const Block middle =
            crypt(opposite(mode), k2, crypt(mode, k1, load_block(input + at)));
        store_block(middle, input + at);
        store_block(crypt(mode, k1, middle), output + at);
    }
    return static_cast<int>(completed);
}
