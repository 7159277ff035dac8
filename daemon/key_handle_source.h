// SPDX-License-Identifier: BSD-3-Clause
// Where the daemon's handles come from. Each run draws a 64-bit key from the
// kernel's random source (getrandom) and hands out the values of a keyed
// permutation of the 32-bit numbers (the block cipher Speck32/64) at 0, 1,
// 2, ... in turn: without the key, one handle says nothing of any other,
// and a permutation never gives a value twice, so no handle of the run
// comes again (until 2^32 opens) and no memory of the used ones is needed.
// 0 and 0xFFFFFFFF (the two "not opened" values) are skipped.
#pragma once

#include <cstdint>

// Draws this run's key. False when no random source answers: the daemon
// must not start with handles that could be foretold.
bool key_handle_source_init() noexcept;

// The next handle: never 0 or 0xFFFFFFFF.
std::uint32_t key_handle_source_next() noexcept;

// For tests only: plain counting from `first` (0 and 0xFFFFFFFF still
// skipped), so that a test can tell which handle comes next.
void key_handle_source_count_from(std::uint32_t first) noexcept;
