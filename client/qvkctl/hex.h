// SPDX-License-Identifier: BSD-3-Clause
// APDUs on the command line and answers on output, as hexadecimal text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qvkctl {

// "00A4000002 3F00", "00 a4 00 00" or "00:A4:00:00": hex digit pairs, with
// spaces or colons allowed between bytes. Nothing for any other text.
std::optional<std::vector<std::uint8_t>> parse_hex(const std::string &text);

// Upper-case digits, no separators.
std::string format_hex(std::span<const std::uint8_t> bytes);

}  // namespace qvkctl
