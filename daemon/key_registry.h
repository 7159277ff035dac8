// SPDX-License-Identifier: BSD-3-Clause
// The device registry and the four request operations on it: enumeration
// fills the registry, open looks a path up there and records the handle in
// the handle map, close and transmit dispatch a recorded handle to its family.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "key_dev_entry.h"
#include "qvk_segment.h"

// Entries in use run from entry 0 without gaps; the first entry of family 0
// ends them.
extern std::array<key_dev_entry, DEV_MAX_COUNT> key_dev_table;

// Lists the devices of every present family, in family order, at most 32 in
// all, into count and the 32 slots of path_list, and rewrites the registry
// with them (entries past the count are emptied). 1 if any was listed, else 0.
std::uint32_t key_enum_devices(std::uint8_t &count,
                               std::span<char, DEV_PATH_LIST_SIZE> path_list) noexcept;

// Opens a path that the latest enumeration listed and records it under a
// handle of the daemon's own, which is what the requester gets: never 0 or
// 0xFFFFFFFF, never one handed out before in this run (see key_handle_seed
// for earlier runs). 0 when the path is not listed or the device was not
// opened. The opener, when known, lets the handle be reclaimed once that
// process has died.
std::uint32_t key_open_device(const char *path, pid_t opener = 0) noexcept;

// Closes, through their families, the handles whose opener is known and no
// longer exists; a handle whose family refuses the close stays recorded.
// Returns how many were closed. Runs on its own when the map has grown
// (doubling what survived the last sweep), when an open or an enumeration
// finds nothing, and when the daemon is idle.
std::size_t key_reclaim_orphans() noexcept;

// Where the daemon's handles start. The daemon seeds it at random, so that a
// handle that a requester kept across a restart matches nothing.
void key_handle_seed(std::uint32_t first) noexcept;

// Whether the handle is recorded (open).
bool key_handle_recorded(std::uint32_t handle) noexcept;

// 1 when the handle is not recorded; otherwise the family's close result, and
// the record is dropped when that is non-zero.
std::uint32_t key_close_device(std::uint32_t handle) noexcept;

// One exchange on a recorded handle: the family's status, or
// QVK_STATUS_NOT_OPEN (response_length untouched) when the handle is not
// recorded. response must hold RESP_PAYLOAD_SIZE bytes.
std::uint32_t key_transmit(std::uint32_t handle, std::int32_t command_length,
                           const std::uint8_t *command, std::int32_t &response_length,
                           std::uint8_t *response) noexcept;

// For tests and fuzzers only: empties the registry and releases every handle
// record without calling any family; the next handle is 1 again.
void key_registry_reset() noexcept;
