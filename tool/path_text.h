// SPDX-License-Identifier: BSD-3-Clause
// Joining texts into fixed-size, zero-filled path buffers.
#pragma once

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <span>

// Writes the pieces one after the other, NUL-terminated, into out, which must
// already be zero-filled. Returns false, leaving out empty, when they do not fit.
inline bool joinText(std::span<char> out, std::initializer_list<const char *> pieces) {
    std::size_t used = 0;
    for (const char *piece : pieces) {
        const std::size_t length = std::strlen(piece);
        if (length >= out.size() - used) {
            std::fill(out.begin(), out.end(), '\0');
            return false;
        }
        std::memcpy(out.subspan(used).data(), piece, length);
        used += length;
    }
    return true;
}
