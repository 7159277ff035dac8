// SPDX-License-Identifier: BSD-3-Clause
#include "key_handle_source.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "qvk_segment.h"

namespace {

constexpr int kRounds = 22;

// Speck32/64's round keys, or none while counting (tests).
std::array<std::uint16_t, kRounds> round_keys{};
bool keyed = false;
std::uint32_t counter = 1;

constexpr std::uint16_t ror(std::uint16_t x, int r) {
    return static_cast<std::uint16_t>(x >> r | x << (16 - r));
}
constexpr std::uint16_t rol(std::uint16_t x, int r) {
    return static_cast<std::uint16_t>(x << r | x >> (16 - r));
}

// The key words are (l2, l1, l0, k0) = (key[3], key[2], key[1], key[0]).
void expand(const std::array<std::uint16_t, 4> &key) {
    std::array<std::uint16_t, kRounds + 2> l{};
    round_keys[0] = key[0];
    l[0] = key[1];
    l[1] = key[2];
    l[2] = key[3];
    for (int i = 0; i < kRounds - 1; ++i) {
        l[i + 3] = static_cast<std::uint16_t>((round_keys[i] + ror(l[i], 7)) ^ i);
        round_keys[i + 1] = static_cast<std::uint16_t>(rol(round_keys[i], 2) ^ l[i + 3]);
    }
}

std::uint32_t encrypt(std::uint32_t block) {
    auto x = static_cast<std::uint16_t>(block >> 16);
    auto y = static_cast<std::uint16_t>(block);
    for (const std::uint16_t k : round_keys) {
        x = static_cast<std::uint16_t>((ror(x, 7) + y) ^ k);
        y = static_cast<std::uint16_t>(rol(y, 2) ^ x);
    }
    return std::uint32_t{x} << 16 | y;
}

// Fills the buffer from getrandom, or from /dev/urandom where the system
// call is not there (or is filtered).
bool random_bytes(void *buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = getrandom(buffer, size, 0);
        if (got == static_cast<ssize_t>(size)) return true;
        if (got < 0 && errno == EINTR) continue;
        break;
    }
    const int source = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (source < 0) return false;
    const ssize_t got = read(source, buffer, size);
    close(source);
    return got == static_cast<ssize_t>(size);
}

}  // namespace

bool key_handle_source_init() noexcept {
    std::array<std::uint16_t, 4> key{};
    if (!random_bytes(key.data(), sizeof key)) return false;
    expand(key);
    keyed = true;
    counter = 0;
    return true;
}

std::uint32_t key_handle_source_next() noexcept {
    for (;;) {
        const std::uint32_t position = counter++;
        const std::uint32_t handle = keyed ? encrypt(position) : position;
        if (handle != QVK_HANDLE_NONE && handle != QVK_HANDLE_FAILED) return handle;
    }
}

void key_handle_source_count_from(std::uint32_t first) noexcept {
    keyed = false;
    counter = first;
}
