// SPDX-License-Identifier: BSD-3-Clause
// Fault injection: how one node misbehaves, for tests of the callers' error
// paths. A fault stays set until it is replaced (the kind "none" clears it).
//
//   no-answer     the command is accepted, the read that should deliver the
//                 answer fails (EIO)
//   one-byte      the read delivers only the first byte of the answer
//   short-write   the write accepts one byte less than it was given (nothing of
//                 a one-byte write) and the command is dropped
//   delay=MS      the answer comes MS milliseconds late (at most 60000)
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvk::vtoken {

enum class FaultKind { none, no_answer, one_byte, short_write, delay };

struct Fault {
    FaultKind kind = FaultKind::none;
    std::chrono::milliseconds delay{0};
    bool operator==(const Fault &) const = default;
};

inline constexpr std::chrono::milliseconds kMaxFaultDelay{60000};

// Parses "none", "no-answer", "one-byte", "short-write" or "delay=MS". Throws
// std::invalid_argument naming the accepted kinds.
Fault parse_fault(std::string_view text);

// The text parse_fault reads back.
std::string describe(const Fault &fault);

// How many bytes of a write of `size` bytes the node accepts. The command is
// processed only when this equals `size`.
std::size_t bytes_accepted(const Fault &fault, std::size_t size);

// The answer a read delivers, shaped by the fault; empty when the read fails.
// Waits out a delay first.
std::optional<std::vector<std::uint8_t>> delivered_answer(const Fault &fault,
                                                          std::vector<std::uint8_t> answer);

}  // namespace qvk::vtoken
