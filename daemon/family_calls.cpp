// SPDX-License-Identifier: BSD-3-Clause
#include "family_calls.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

#include "srv_mutex.h"

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// The watchdog's grace past the plug-ins' own bound.
constexpr std::int64_t kWatchdogGraceNs = kNsPerSecond;

std::atomic<std::int64_t> bound_ns{0};

thread_local srv_server *serving = nullptr;
thread_local bool retired = false;

bool watched() { return serving != nullptr && bound_ns.load(std::memory_order_relaxed) > 0; }

// Notes the call in the record and lets the request mutex go: a thread that
// takes over must be able to take it.
std::uint64_t begin(family_call_kind kind, std::int32_t number, std::uint32_t daemon_handle,
                    std::uint32_t handle, const dev_family &family) {
    srv_server &record = *serving;
    record.kind = kind;
    record.family = number;
    record.handle = daemon_handle;
    record.family_handle = handle;
    record.close_entry = family.entries.close;
    const std::uint64_t running = (record.phase.load(std::memory_order_relaxed) & ~std::uint64_t{3}) + 4 +
                                  SRV_CALL_RUNNING;
    record.started_ns.store(family_calls_now_ns(), std::memory_order_relaxed);
    record.phase.store(running, std::memory_order_release);
    srv_mutex_unlock();
    return running;
}

// Whether the call came back in time. When it did not, the thread is
// retired: it cleans up after the call (an open's handle that nobody will
// learn, or a dead handle closed meanwhile) and marks the record returned.
bool end(std::uint64_t running, std::uint32_t opened = QVK_HANDLE_NONE) {
    srv_server &record = *serving;
    std::uint64_t expected = running;
    if (record.phase.compare_exchange_strong(expected, running - SRV_CALL_RUNNING + SRV_CALL_IDLE,
                                             std::memory_order_acq_rel)) {
        srv_mutex_lock();
        return true;
    }
    retired = true;
    if (record.kind == family_call_kind::open && opened != QVK_HANDLE_NONE && opened != QVK_HANDLE_FAILED &&
        record.close_entry != nullptr)
        record.close_entry(opened);
    int pending = SRV_ABANDONED_PENDING;
    if (!record.outcome.compare_exchange_strong(pending, SRV_ABANDONED_RETURNED, std::memory_order_acq_rel) &&
        record.close_entry != nullptr)
        record.close_entry(record.family_handle);  // closed while it hung: close it now
    record.outcome.store(SRV_ABANDONED_RETURNED, std::memory_order_release);
    return false;
}

}  // namespace

void family_calls_bound(unsigned seconds) noexcept {
    for (dev_family &family : dev_families)
        if (family.entries.set_timeout != nullptr) family.entries.set_timeout(seconds * 1000u);
    bound_ns.store(seconds == 0 ? 0 : std::int64_t{seconds} * kNsPerSecond + kWatchdogGraceNs,
                   std::memory_order_relaxed);
}

void family_calls_unwatched() noexcept { bound_ns.store(0, std::memory_order_relaxed); }

std::int64_t family_calls_bound_ns() noexcept { return bound_ns.load(std::memory_order_relaxed); }

void family_calls_serve_with(srv_server *server) noexcept {
    serving = server;
    retired = false;
}

bool family_call_retired() noexcept { return retired; }

std::int64_t family_calls_now_ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * kNsPerSecond + now.tv_nsec;
}

bool family_call_enumerate(const dev_family &family, std::int32_t number, std::uint8_t &count,
                           char *path_list) noexcept {
    if (!watched()) {
        family.entries.enumerate(&count, path_list);
        return true;
    }
    const std::uint64_t running = begin(family_call_kind::enumerate, number, 0, 0, family);
    family.entries.enumerate(&count, path_list);
    return end(running);
}

bool family_call_open(const dev_family &family, std::int32_t number, const char *path,
                      std::uint32_t &handle) noexcept {
    if (!watched()) {
        handle = family.entries.open(path);
        return true;
    }
    const std::size_t length = strnlen(path, DEV_PATH_SLOT_SIZE - 1);
    std::fill(std::copy_n(path, length, serving->path.begin()), serving->path.end(), '\0');
    const std::uint64_t running = begin(family_call_kind::open, number, 0, 0, family);
    const std::uint32_t opened = family.entries.open(path);
    if (!end(running, opened)) return false;
    handle = opened;
    return true;
}

bool family_call_close(const dev_family &family, std::int32_t number, std::uint32_t daemon_handle,
                       std::uint32_t handle, std::uint32_t &closed) noexcept {
    if (!watched()) {
        closed = family.entries.close(handle);
        return true;
    }
    const std::uint64_t running = begin(family_call_kind::close, number, daemon_handle, handle, family);
    const std::uint32_t result = family.entries.close(handle);
    if (!end(running)) return false;
    closed = result;
    return true;
}

bool family_call_transmit(const dev_family &family, std::int32_t number, std::uint32_t daemon_handle,
                          std::uint32_t handle, std::int32_t command_length, const std::uint8_t *command,
                          std::int32_t &response_length, std::uint8_t *response,
                          std::uint32_t &status) noexcept {
    if (!watched()) {
        status = family.entries.transmit(handle, command_length, command, &response_length, response);
        return true;
    }
    const std::uint64_t running = begin(family_call_kind::transmit, number, daemon_handle, handle, family);
    const std::uint32_t result = family.entries.transmit(handle, command_length, command, &response_length, response);
    if (!end(running)) return false;
    status = result;
    return true;
}
