// SPDX-License-Identifier: BSD-3-Clause
// The emulated card behind one virtual token node: transparent files under
// two-byte identifiers, and the ISO 7816-4 commands that read and update them.
// Plain C++ with no FUSE dependency, so it can be tested and reused on its own.
//
// A Card holds the files; their contents live as long as the Card. Every open
// of the node gets its own CardSession, which holds the selected file, so two
// descriptors on one token cannot redirect each other.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace qvk::vtoken {

using Bytes = std::vector<std::uint8_t>;

// Status words the card answers with.
namespace sw {
inline constexpr std::uint16_t kSuccess = 0x9000;
inline constexpr std::uint16_t kEndOfFile = 0x6282;         // fewer bytes than asked for
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kNoFileSelected = 0x6986;
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kNotEnoughSpace = 0x6A84;    // data runs past the file's end
inline constexpr std::uint16_t kWrongP1P2 = 0x6A86;
inline constexpr std::uint16_t kOffsetOutside = 0x6B00;
inline constexpr std::uint16_t kUnknownInstruction = 0x6D00;
inline constexpr std::uint16_t kClassNotSupported = 0x6E00;
}  // namespace sw

// Instruction bytes the card knows.
namespace ins {
inline constexpr std::uint8_t kReset1 = 0x19;
inline constexpr std::uint8_t kReset2 = 0x12;
inline constexpr std::uint8_t kSelect = 0xA4;
inline constexpr std::uint8_t kReadBinary = 0xB0;
inline constexpr std::uint8_t kUpdateBinary = 0xD6;
inline constexpr std::uint8_t kGetChallenge = 0x84;
}  // namespace ins

// Largest file a two-byte offset can address.
inline constexpr std::size_t kMaxFileSize = 0x10000;

// Fills its argument with random bytes.
using RandomSource = std::function<void(std::span<std::uint8_t>)>;

// Random bytes from the kernel (getrandom), needing no device node.
void system_random(std::span<std::uint8_t> out);

class Card {
public:
    explicit Card(RandomSource random = system_random);
    Card(const Card &) = delete;
    Card &operator=(const Card &) = delete;

    // Adds (or replaces) file `id` of `size` bytes; `content` fills its start,
    // zero bytes the rest. Throws std::invalid_argument when the content does
    // not fit or the size exceeds kMaxFileSize.
    void add_file(std::uint16_t id, std::size_t size, std::span<const std::uint8_t> content = {});

    bool has_file(std::uint16_t id) const;
    // A copy of the file's current contents (empty optional when absent).
    std::optional<Bytes> file(std::uint16_t id) const;

private:
    friend class CardSession;
    mutable std::mutex mutex_;
    std::map<std::uint16_t, Bytes> files_;
    RandomSource random_;
};

class CardSession {
public:
    explicit CardSession(Card &card) : card_(card) {}

    // Processes one command APDU and returns the whole answer: response data
    // followed by SW1 SW2.
    Bytes process(std::span<const std::uint8_t> command);

    std::optional<std::uint16_t> selected() const { return selected_; }

private:
    Bytes reset(std::span<const std::uint8_t> command);
    Bytes select(std::span<const std::uint8_t> command);
    Bytes read_binary(std::span<const std::uint8_t> command);
    Bytes update_binary(std::span<const std::uint8_t> command);
    Bytes get_challenge(std::span<const std::uint8_t> command);

    Card &card_;
    std::optional<std::uint16_t> selected_;
};

}  // namespace qvk::vtoken
