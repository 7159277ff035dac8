// SPDX-License-Identifier: BSD-3-Clause
// The record of one device, in the registry and in the handle map.
#pragma once

#include <array>
#include <cstdint>

#include "qvk_segment.h"

struct key_dev_entry {
    std::int32_t family = 0;  // 1 .. 3; 0 marks an empty registry entry
    std::array<char, DEV_PATH_SLOT_SIZE> path{};  // NUL-terminated, zero bytes after it
    std::uint32_t handle = 0;  // 0 in the registry; the open handle in the map
};
