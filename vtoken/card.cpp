// SPDX-License-Identifier: BSD-3-Clause
#include "card.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>

namespace qvk::vtoken {

namespace {

// Short APDU header: CLA INS P1 P2, then Lc or Le at offset 4.
constexpr std::size_t kHeader = 4;

Bytes status_only(std::uint16_t status) {
    return {static_cast<std::uint8_t>(status >> 8), static_cast<std::uint8_t>(status & 0xFF)};
}

Bytes with_status(Bytes data, std::uint16_t status) {
    data.push_back(static_cast<std::uint8_t>(status >> 8));
    data.push_back(static_cast<std::uint8_t>(status & 0xFF));
    return data;
}

std::size_t offset_of(std::span<const std::uint8_t> command) {
    return static_cast<std::size_t>(command[2]) << 8 | command[3];
}

bool p1p2_zero(std::span<const std::uint8_t> command) { return command[2] == 0 && command[3] == 0; }

// Le of a short APDU: 00 asks for 256 bytes.
std::size_t expected_length(std::uint8_t le) { return le == 0 ? 256 : le; }

}  // namespace

void system_random(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("getrandom failed");
        }
        filled += static_cast<std::size_t>(got);
    }
}

Card::Card(RandomSource random) : random_(std::move(random)) {}

void Card::add_file(std::uint16_t id, std::size_t size, std::span<const std::uint8_t> content) {
    if (size > kMaxFileSize)
        throw std::invalid_argument("file size " + std::to_string(size) + " exceeds " +
                                    std::to_string(kMaxFileSize) + " bytes");
    if (content.size() > size)
        throw std::invalid_argument("content of " + std::to_string(content.size()) +
                                    " bytes does not fit a file of " + std::to_string(size) +
                                    " bytes");
    Bytes bytes(size, 0);
    std::copy(content.begin(), content.end(), bytes.begin());
    std::lock_guard lock(mutex_);
    files_[id] = std::move(bytes);
}

bool Card::has_file(std::uint16_t id) const {
    std::lock_guard lock(mutex_);
    return files_.contains(id);
}

std::optional<Bytes> Card::file(std::uint16_t id) const {
    std::lock_guard lock(mutex_);
    const auto found = files_.find(id);
    if (found == files_.end()) return std::nullopt;
    return found->second;
}

Bytes CardSession::process(std::span<const std::uint8_t> command) {
    if (command.size() < kHeader) return status_only(sw::kWrongLength);
    if (command[0] != 0x00) return status_only(sw::kClassNotSupported);
    switch (command[1]) {
    case ins::kReset1:
    case ins::kReset2: return reset(command);
    case ins::kSelect: return select(command);
    case ins::kReadBinary: return read_binary(command);
    case ins::kUpdateBinary: return update_binary(command);
    case ins::kGetChallenge: return get_challenge(command);
    default: return status_only(sw::kUnknownInstruction);
    }
}

// "00 19 00 00 00" and "00 12 00 00 00" (Le may be left out). A reset card has
// no file selected.
Bytes CardSession::reset(std::span<const std::uint8_t> command) {
    if (command.size() > kHeader + 1) return status_only(sw::kWrongLength);
    if (!p1p2_zero(command)) return status_only(sw::kWrongP1P2);
    selected_.reset();
    return status_only(sw::kSuccess);
}

// "00 A4 00 00 02 hi lo", optionally followed by Le. A failed SELECT keeps the
// file selected before it.
Bytes CardSession::select(std::span<const std::uint8_t> command) {
    if (command.size() < kHeader + 1 || command[kHeader] != 2) return status_only(sw::kWrongLength);
    const std::size_t body_end = kHeader + 1 + 2;
    if (command.size() != body_end && command.size() != body_end + 1)
        return status_only(sw::kWrongLength);
    if (!p1p2_zero(command)) return status_only(sw::kWrongP1P2);
    const auto id = static_cast<std::uint16_t>(command[5] << 8 | command[6]);
    if (!card_.has_file(id)) return status_only(sw::kFileNotFound);
    selected_ = id;
    return status_only(sw::kSuccess);
}

// "00 B0 P1 P2 Le": P1 P2 are the 16-bit offset into the selected file.
Bytes CardSession::read_binary(std::span<const std::uint8_t> command) {
    if (command.size() != kHeader + 1) return status_only(sw::kWrongLength);
    if (!selected_) return status_only(sw::kNoFileSelected);
    const std::size_t offset = offset_of(command);
    const std::size_t wanted = expected_length(command[kHeader]);

    std::lock_guard lock(card_.mutex_);
    const auto file = card_.files_.find(*selected_);
    if (file == card_.files_.end()) return status_only(sw::kNoFileSelected);
    const Bytes &content = file->second;
    if (offset >= content.size()) return status_only(sw::kOffsetOutside);
    const std::size_t available = std::min(wanted, content.size() - offset);
    const auto first = content.begin() + static_cast<std::ptrdiff_t>(offset);
    return with_status(Bytes(first, first + static_cast<std::ptrdiff_t>(available)),
                       available < wanted ? sw::kEndOfFile : sw::kSuccess);
}

// "00 D6 P1 P2 Lc data": all of the data is written, or none of it.
Bytes CardSession::update_binary(std::span<const std::uint8_t> command) {
    if (command.size() <= kHeader + 1) return status_only(sw::kWrongLength);
    const std::size_t data_length = command[kHeader];
    if (data_length == 0 || command.size() != kHeader + 1 + data_length)
        return status_only(sw::kWrongLength);
    if (!selected_) return status_only(sw::kNoFileSelected);
    const std::size_t offset = offset_of(command);

    std::lock_guard lock(card_.mutex_);
    const auto file = card_.files_.find(*selected_);
    if (file == card_.files_.end()) return status_only(sw::kNoFileSelected);
    Bytes &content = file->second;
    if (offset >= content.size()) return status_only(sw::kOffsetOutside);
    if (data_length > content.size() - offset) return status_only(sw::kNotEnoughSpace);
    const auto data = command.subspan(kHeader + 1);
    std::copy(data.begin(), data.end(), content.begin() + static_cast<std::ptrdiff_t>(offset));
    return status_only(sw::kSuccess);
}

// "00 84 00 00 Le": Le random bytes.
Bytes CardSession::get_challenge(std::span<const std::uint8_t> command) {
    if (command.size() != kHeader + 1) return status_only(sw::kWrongLength);
    if (!p1p2_zero(command)) return status_only(sw::kWrongP1P2);
    Bytes challenge(expected_length(command[kHeader]));
    card_.random_(challenge);
    return with_status(std::move(challenge), sw::kSuccess);
}

}  // namespace qvk::vtoken
