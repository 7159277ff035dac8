// SPDX-License-Identifier: BSD-3-Clause
// Names of the token nodes in the mounted directory: "QVUsbKey" followed by
// the index in decimal with no leading zeros, 0 to 31, as the plug-in probes them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "qvk_token_node.h"

namespace qvk::vtoken {

inline constexpr int kNodeCount = QVK_NODE_COUNT;
inline constexpr std::string_view kNodePrefix = QVK_NODE_NAME_PREFIX;

// Largest command a token accepts, and largest answer it gives (with SW1 SW2).
inline constexpr std::size_t kMaxTransfer = QVK_NODE_TRANSFER_SIZE;

std::string node_name(int index);

// The index a node name stands for, or nothing when it is not a node name.
std::optional<int> node_index_of(std::string_view name);

// A decimal index from 0 to 31; throws std::invalid_argument otherwise.
int parse_node_index(std::string_view text);

}  // namespace qvk::vtoken
