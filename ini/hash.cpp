// SPDX-License-Identifier: BSD-3-Clause
// Name hashing and comparison: CRC-32 (IEEE 802.3) over the name's bytes,
// with ASCII letters folded to lower case unless names match exactly.
#include <array>
#include <cstdint>
#include <cstring>

#include "ini_internal.h"

namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> crcTable = makeCrcTable();

// Each byte as it takes part in a name: unchanged, or with tolower() of the
// POSIX locale applied (only A to Z change).
constexpr std::array<unsigned char, 256> makeFoldTable(bool fold) {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = static_cast<unsigned char>(fold && c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return table;
}

constexpr std::array<unsigned char, 256> sameCase = makeFoldTable(false);
constexpr std::array<unsigned char, 256> lowerCase = makeFoldTable(true);

}  // namespace

unsigned long __ini_hashName(const char *name, bool caseSensitive) {
    const auto &byte = caseSensitive ? sameCase : lowerCase;
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
        crc = crcTable[(crc ^ byte[*p]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

bool __ini_sameName(const ini_t *ini, const char *a, const char *b) {
    if (ini->flags & INI_CASE) return std::strcmp(a, b) == 0;
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (; lowerCase[*x] == lowerCase[*y]; ++x, ++y)
        if (*x == '\0') return true;
    return false;
}
