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
#include "srv_server.h"
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
// handle of the daemon's own, which is what the requester gets: drawn from
// this run's keyed permutation (key_handle_source.h), so never 0 or
// 0xFFFFFFFF and never one handed out before in this run, and telling
// nothing of any other handle. 0 when the path is not listed, the device was
// not opened, or an open of it hangs in its family. The opener, when known
// (the requester that held the turn and said who it is), owns the handle:
// another known requester is refused it, and it is closed once the opener
// has died. Handles of unknown openers are kept to at most
// KEY_MAX_UNKNOWN_OPENERS: opening one more first closes the least recently
// used of them.
std::uint32_t key_open_device(const char *path, pid_t opener = 0) noexcept;

inline constexpr std::size_t KEY_MAX_UNKNOWN_OPENERS = 512;

// Closes, through their families, the handles whose opener is known and no
// longer exists, or, when nobody_attached (no process but the daemon has the
// segment attached, so no requester is left), every handle; a handle whose
// family refuses the close stays recorded. Returns how many were closed.
// Runs on its own when the map has grown (doubling what survived the last
// sweep), when an open or an enumeration finds nothing, and when the daemon
// is idle.
std::size_t key_reclaim_orphans(bool nobody_attached = false) noexcept;

// Draws this run's key for the handles. False when no random source answers.
bool key_handles_init() noexcept;

// For tests only: handles count up from `first` from now on.
void key_handle_seed(std::uint32_t first) noexcept;

// The asker of a close or transmit is the process its requester field
// names, 0 when it names none. It needs no proof: a handle with a known
// opener is refused to an asker that names another process, and a requester
// that names nobody (or names the opener falsely) is one the daemon cannot
// tell apart anyway. Only the opener is recorded on proof (key_open_device).

// Whether the handle is recorded (open) for this asker.
bool key_handle_recorded(std::uint32_t handle, pid_t asker = 0) noexcept;

// 1 when the handle is not recorded, or its opener is known and the asker
// names another process; otherwise the family's close result, and the
// record is dropped when that is non-zero. A dead handle is dropped at once
// (its family closes it once the abandoned exchange has returned).
std::uint32_t key_close_device(std::uint32_t handle, pid_t asker = 0) noexcept;

// One exchange on a recorded handle: the family's status, or
// QVK_STATUS_NOT_OPEN (response_length untouched) when the handle is not
// recorded or its known opener is not the asker, or QVK_STATUS_NO_ANSWER
// with no data when the handle is dead. response must hold RESP_PAYLOAD_SIZE
// bytes.
std::uint32_t key_transmit(std::uint32_t handle, std::int32_t command_length,
                           const std::uint8_t *command, std::int32_t &response_length,
                           std::uint8_t *response, pid_t asker = 0) noexcept;

// The thread that takes over from one whose family call was abandoned
// calls this first: an exchange's handle is dead from now on, a hanging
// close's record is dropped, and the call is remembered while it hangs (an
// open of its path opens nothing, an enumeration leaves its family out, and
// a family with KEY_MAX_HANGING_CALLS calls hanging is not called at all).
void key_take_over(srv_server &abandoned) noexcept;

inline constexpr std::size_t KEY_MAX_HANGING_CALLS = 4;

// For tests and fuzzers only: empties the registry and releases every handle
// record without calling any family; the next handle is 1 again.
void key_registry_reset() noexcept;
