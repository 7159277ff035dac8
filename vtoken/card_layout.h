// SPDX-License-Identifier: BSD-3-Clause
// The files every emulated card starts with, as given on the command line:
//
//   [N/]FID[:SIZE][=CONTENT]
//
//   N        only node N gets the file (default: every node, including nodes
//            plugged in later)
//   FID      the file identifier, four hex digits (for example 0015)
//   SIZE     the file's size in bytes, decimal, at most 65536 (default: the
//            content's length)
//   CONTENT  hex:0011AABB | text:some words | @path/to/file (read at start);
//            fills the start of the file, zero bytes the rest (default: all zero)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "card.h"

namespace qvk::vtoken {

struct FileSpec {
    std::optional<int> node;
    std::uint16_t id = 0;
    std::size_t size = 0;
    Bytes content;
};

// Throws std::invalid_argument with the reason when the text is not a valid entry.
FileSpec parse_file_spec(std::string_view text);

// Adds to `card` every file of `layout` meant for node `index`, in order (a
// later entry of the same identifier replaces an earlier one).
void install_files(Card &card, int index, std::span<const FileSpec> layout);

}  // namespace qvk::vtoken
