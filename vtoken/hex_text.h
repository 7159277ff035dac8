// SPDX-License-Identifier: BSD-3-Clause
// Hex text for the command log and for file contents on the command line.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvk::vtoken {

// "00 A4 00 00 02 3F 00": upper-case pairs separated by single spaces.
std::string to_hex(std::span<const std::uint8_t> bytes);

// Bytes from hex digits; spaces and colons between pairs are ignored. Throws
// std::invalid_argument on any other character or an odd number of digits.
std::vector<std::uint8_t> from_hex(std::string_view text);

}  // namespace qvk::vtoken
