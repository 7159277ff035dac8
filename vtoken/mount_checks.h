// SPDX-License-Identifier: BSD-3-Clause
// Checks made before mounting, so that the common mistakes end with a clear
// message instead of a stacked or failed mount.
#pragma once

#include <optional>
#include <string>

namespace qvk::vtoken {

// Why FUSE cannot be used here, or nothing when /dev/fuse is present.
std::optional<std::string> fuse_device_problem();

// Why `path` cannot be mounted on (missing, not a directory, already a mount
// point, a FUSE mount whose program has gone), or nothing when it can.
std::optional<std::string> mountpoint_problem(const std::string &path);

}  // namespace qvk::vtoken
