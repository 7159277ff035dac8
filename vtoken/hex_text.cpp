// SPDX-License-Identifier: BSD-3-Clause
#include "hex_text.h"

#include <stdexcept>

namespace qvk::vtoken {

namespace {
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::vector<std::uint8_t> from_hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == ':') {
            if (high >= 0) throw std::invalid_argument("hex digits must come in pairs");
            continue;
        }
        const int value = digit_value(c);
        if (value < 0) throw std::invalid_argument(std::string("not a hex digit: '") + c + "'");
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits");
    return bytes;
}

}  // namespace qvk::vtoken
