// SPDX-License-Identifier: BSD-3-Clause
// The record of one thread that serves requests: the family call it is in
// (the watchdog reads it), and the private copy of the request it serves.
// A call that the watchdog abandons retires its thread; the record then
// tells the thread that takes over what was being done, and tells the
// retired thread what to clean up once its call returns (family_calls.h).
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "qvk_family.h"
#include "qvk_segment.h"
#include "srv_dispatch.h"

enum class family_call_kind : std::uint8_t { enumerate, open, close, transmit };

// The low two bits of srv_server::phase; the rest counts the calls.
enum : std::uint64_t {
    SRV_CALL_IDLE = 0,
    SRV_CALL_RUNNING = 1,    // in a family call since started_ns
    SRV_CALL_ABANDONED = 2,  // the watchdog gave up on it: the thread is retired
};

// What became of an abandoned call (srv_server::outcome).
enum : int {
    SRV_ABANDONED_PENDING = 0,     // still in the family
    SRV_ABANDONED_CLOSE = 1,       // and its handle was closed meanwhile: close it on return
    SRV_ABANDONED_RETURNED = 2,    // back from the family, cleaned up after
};

struct srv_server {
    // Written by the serving thread, read by the watchdog.
    std::atomic<std::uint64_t> phase{SRV_CALL_IDLE};
    std::atomic<std::int64_t> started_ns{0};

    // The call in progress (or the last one), written by the serving thread
    // before the call.
    family_call_kind kind = family_call_kind::enumerate;
    std::int32_t family = DEV_FAMILY_NONE;
    std::uint32_t handle = 0;         // the daemon's handle (close, transmit)
    std::uint32_t family_handle = 0;  // the family's handle (close, transmit)
    qvk_close_fn close_entry = nullptr;
    std::array<char, DEV_PATH_SLOT_SIZE> path{};  // an open's path

    // Once abandoned.
    std::atomic<int> outcome{SRV_ABANDONED_PENDING};
    std::atomic<bool> released{false};  // the retired thread no longer reads this record
    bool referenced = false;            // a dead handle waits on it (serving thread only)
    bool deletable = true;              // allocated with new (not the main thread's)

    // The request being served, copied out of the segment, and who asked.
    bool serving_request = false;
    pid_t requester = 0;
    srv_block request{};
};
