// SPDX-License-Identifier: BSD-3-Clause
// The control file at the root of the mount, ".control", through which tests
// and users change a running virtual token. Each line written is one command:
//
//   plug N          plug token N in (also: add N)
//   unplug N        unplug token N (also: remove N)
//   fault N KIND    set token N's fault (see fault.h; "fault N none" clears it)
//
// Blank lines and lines starting with '#' are ignored. A write whose command
// fails returns EINVAL and applies none of its later lines. Reading the file
// gives one line per token that is plugged in or has a fault, such as
// "QVUsbKey3 plugged fault=none".
#pragma once

#include <string>
#include <string_view>

#include "token_table.h"

namespace qvk::vtoken {

inline constexpr std::string_view kControlFileName = ".control";

// Runs every line of `text`; throws std::invalid_argument at the first bad one.
void run_control(TokenTable &table, std::string_view text);

// The state text that reading the control file gives.
std::string describe_state(const TokenTable &table);

}  // namespace qvk::vtoken
