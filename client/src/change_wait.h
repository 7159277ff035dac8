// SPDX-License-Identifier: BSD-3-Clause
// Waiting until the daemon's list of tokens differs from a known one. The
// daemon tells nobody of a change, so the list is asked for again at an
// interval: each look is one enumeration, for which the daemon probes the
// devices of every family.
#pragma once

#include <chrono>
#include <cstdint>

#include "qvkclient.h"

namespace qvk::client {

class Connection;

// Long enough that a daemon watched by a waiter sleeps nearly all the time
// (two enumerations a second), short enough that a token plugged in shows
// before a person would notice the wait.
inline constexpr std::chrono::milliseconds kChangeLookInterval{500};

// timeout_ms: QVK_WAIT_FOREVER for no limit; 0 for one look.
qvk_result wait_for_change(Connection &connection, const qvk_device_list &known,
                           qvk_device_list &now, std::uint32_t timeout_ms);

}  // namespace qvk::client
