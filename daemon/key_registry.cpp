// SPDX-License-Identifier: BSD-3-Clause
#include "key_registry.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dev_families.h"
#include "family_calls.h"
#include "key_handle_map.h"
#include "key_handle_source.h"

std::array<key_dev_entry, DEV_MAX_COUNT> key_dev_table{};

namespace {

using path_slot = std::span<const char, DEV_PATH_SLOT_SIZE>;

// Copies a slot's text, at most 127 characters, and zero-fills the rest of
// the field, so every stored path is terminated whatever the family wrote.
void store_path(std::span<char, DEV_PATH_SLOT_SIZE> field, path_slot slot) {
    const std::size_t length = strnlen(slot.data(), DEV_PATH_SLOT_SIZE - 1);
    std::fill(std::copy_n(slot.begin(), length, field.begin()), field.end(), '\0');
}

// The family list that one family's enumeration fills; one per serving
// thread, since a call that hangs may still write it.
thread_local std::array<char, DEV_PATH_LIST_SIZE> family_list;

// Records in the map, those of unknown openers, and the count at which the
// next sweep for handles of dead openers is due; it doubles with what
// survives a sweep.
std::size_t recorded = 0;
std::size_t unknown_openers = 0;
constexpr std::size_t kFirstSweepAt = 32;
std::size_t sweep_at = kFirstSweepAt;
// Counts opens and uses, for "least recently used".
std::uint64_t use_clock = 0;

// Abandoned calls, while their thread may still be in the family or a dead
// handle refers to them.
std::vector<srv_server *> hanging;

bool still_in_family(const srv_server *call) {
    return call->outcome.load(std::memory_order_acquire) != SRV_ABANDONED_RETURNED;
}

std::size_t hanging_in(std::int32_t family) {
    return static_cast<std::size_t>(std::count_if(hanging.begin(), hanging.end(), [family](const srv_server *call) {
        return call->family == family && still_in_family(call);
    }));
}

// A family with too many calls hanging is not called until some return.
bool family_choked(std::int32_t family) {
    return !hanging.empty() && hanging_in(family) >= KEY_MAX_HANGING_CALLS;
}

bool call_hangs(family_call_kind kind, std::int32_t family, const char *path) {
    return std::any_of(hanging.begin(), hanging.end(), [&](const srv_server *call) {
        return call->kind == kind && call->family == family && still_in_family(call) &&
               (path == nullptr || std::strcmp(call->path.data(), path) == 0);
    });
}

// Forgets the records of abandoned calls that are over and needed no more.
void forget_finished_calls() {
    std::erase_if(hanging, [](srv_server *call) {
        if (still_in_family(call) || call->referenced || !call->released.load(std::memory_order_acquire))
            return false;
        if (call->deletable) delete call;
        return true;
    });
}

void enumerate_family(std::int32_t family, const dev_family &record, std::uint8_t &count,
                      std::span<char, DEV_PATH_LIST_SIZE> path_list) {
    family_list.fill('\0');
    std::uint8_t listed = 0;
    if (!family_call_enumerate(record, family, listed, family_list.data())) return;
    // The family list has 32 slots, whatever count the family reports.
    const unsigned usable = std::min<unsigned>(listed, DEV_MAX_COUNT);
    for (unsigned i = 0; i < usable && count < DEV_MAX_COUNT; ++i) {
        const path_slot slot{family_list.data() + i * DEV_PATH_SLOT_SIZE, DEV_PATH_SLOT_SIZE};
        key_dev_entry &entry = key_dev_table[count];
        entry.family = family;
        store_path(entry.path, slot);
        std::copy(entry.path.begin(), entry.path.end(),
                  path_list.begin() + count * DEV_PATH_SLOT_SIZE);
        ++count;
    }
}

// The daemon's handle for a new record: never one that is still open (the
// permutation repeats only after 2^32 handles).
std::uint32_t take_handle() {
    for (;;) {
        const std::uint32_t handle = key_handle_source_next();
        if (key_handle_map_find(key_handle_map_list, handle) == nullptr) return handle;
    }
}

bool gone(pid_t process) { return process > 0 && kill(process, 0) != 0 && errno == ESRCH; }

// A handle whose opener is known is its opener's alone, among requesters
// that say who they are.
bool may_use(const key_handle_map_node &node, pid_t asker) {
    return node.opener == 0 || asker == 0 || asker == node.opener;
}

// Drops a record without any family call.
void drop_record(key_handle_map_node *node) {
    if (node->stuck != nullptr) node->stuck->referenced = false;
    if (node->opener == 0) --unknown_openers;
    --recorded;
    key_handle_map_list = key_handle_map_remove(key_handle_map_list, node);
}

// Asks the family to close a record's handle; drops the record when it did.
// Returns the family's close result. The node is released on success.
std::uint32_t close_record(key_handle_map_node *node) {
    if (node->stuck != nullptr) {
        // Its exchange was abandoned: if the call still hangs, its thread
        // closes the family's handle once it returns.
        int pending = SRV_ABANDONED_PENDING;
        if (node->stuck->outcome.compare_exchange_strong(pending, SRV_ABANDONED_CLOSE,
                                                         std::memory_order_acq_rel)) {
            drop_record(node);
            return 1;
        }
    }
    const std::int32_t number = node->entry->family;
    const dev_family *family = dev_family_of(number);
    if (family == nullptr || family->entries.close == nullptr || family_choked(number)) return 0;
    std::uint32_t closed = 0;
    if (!family_call_close(*family, number, node->handle, node->entry->handle, closed)) return 0;
    if (closed != 0) drop_record(node);
    return closed;
}

// The handle of an unknown opener that was used least recently, or null.
key_handle_map_node *least_recent_unknown() {
    key_handle_map_node *oldest = nullptr;
    for (key_handle_map_node *node = key_handle_map_list; node != nullptr; node = node->next)
        if (node->opener == 0 && (oldest == nullptr || node->last_used < oldest->last_used)) oldest = node;
    return oldest;
}

// Opens a registry entry's device through its family and records it under
// a new handle of the daemon's.
std::uint32_t open_listed(const key_dev_entry &listed, const char *path, pid_t opener) {
    const std::int32_t number = listed.family;
    const dev_family *family = dev_family_of(number);
    if (family == nullptr || family->entries.open == nullptr) return 0;
    std::uint32_t opened = 0;
    if (!family_call_open(*family, number, path, opened)) return 0;
    if (opened == QVK_HANDLE_NONE || opened == QVK_HANDLE_FAILED) return 0;

    const std::uint32_t handle = take_handle();
    std::unique_ptr<key_dev_entry> record(new (std::nothrow) key_dev_entry{number, listed.path, opened});
    key_handle_map_node *head = key_handle_map_push(key_handle_map_list, std::move(record), handle);
    if (head == key_handle_map_list) {
        // No memory to record it: the requester never learns the handle, so
        // the device must not stay open.
        std::uint32_t ignored = 0;
        if (family->entries.close != nullptr) family_call_close(*family, number, 0, opened, ignored);
        return 0;
    }
    head->opener = opener;
    head->last_used = ++use_clock;
    key_handle_map_list = head;
    ++recorded;
    if (opener == 0) ++unknown_openers;
    return handle;
}

void enumerate_all(std::uint8_t &count, std::span<char, DEV_PATH_LIST_SIZE> path_list) {
    count = 0;
    std::fill(path_list.begin(), path_list.end(), '\0');
    for (std::int32_t family = DEV_FAMILY_UDK; family <= DEV_FAMILY_COUNT; ++family) {
        const dev_family *record = dev_family_of(family);
        if (record->entries.enumerate == nullptr || family_choked(family) ||
            call_hangs(family_call_kind::enumerate, family, nullptr))
            continue;
        enumerate_family(family, *record, count, path_list);
        if (family_call_retired()) return;
    }
}

}  // namespace

std::uint32_t key_enum_devices(std::uint8_t &count,
                               std::span<char, DEV_PATH_LIST_SIZE> path_list) noexcept {
    enumerate_all(count, path_list);
    // A probe open may have failed for want of descriptors that dead
    // requesters still hold.
    if (count == 0 && !family_call_retired() && key_reclaim_orphans() > 0) enumerate_all(count, path_list);
    if (family_call_retired()) return 0;
    // A path the latest enumeration did not list must not stay openable.
    std::fill(key_dev_table.begin() + count, key_dev_table.end(), key_dev_entry{});
    return count > 0 ? 1 : 0;
}

std::uint32_t key_open_device(const char *path, pid_t opener) noexcept {
    const key_dev_entry *listed = nullptr;
    for (const key_dev_entry &entry : key_dev_table) {
        if (entry.family == DEV_FAMILY_NONE) break;
        if (std::strcmp(entry.path.data(), path) == 0) {
            listed = &entry;
            break;
        }
    }
    if (listed == nullptr || family_choked(listed->family) ||
        call_hangs(family_call_kind::open, listed->family, path))
        return 0;
    if (recorded >= sweep_at) {
        key_reclaim_orphans();
        if (family_call_retired()) return 0;
        sweep_at = std::max(kFirstSweepAt, 2 * recorded);
    }
    if (opener == 0 && unknown_openers >= KEY_MAX_UNKNOWN_OPENERS) {
        close_record(least_recent_unknown());
        if (family_call_retired()) return 0;
    }
    const std::uint32_t handle = open_listed(*listed, path, opener);
    if (handle != 0 || family_call_retired()) return handle;
    // The family may have failed for want of descriptors: give back those of
    // dead requesters, then try once more.
    if (key_reclaim_orphans() > 0 && !family_call_retired()) return open_listed(*listed, path, opener);
    return 0;
}

bool key_handle_recorded(std::uint32_t handle, pid_t asker) noexcept {
    const key_handle_map_node *node = key_handle_map_find(key_handle_map_list, handle);
    return node != nullptr && may_use(*node, asker);
}

std::uint32_t key_close_device(std::uint32_t handle, pid_t asker) noexcept {
    key_handle_map_node *node = key_handle_map_find(key_handle_map_list, handle);
    if (node == nullptr || !may_use(*node, asker)) return 1;
    return close_record(node);
}

std::size_t key_reclaim_orphans(bool nobody_attached) noexcept {
    forget_finished_calls();
    std::size_t reclaimed = 0;
    for (key_handle_map_node *node = key_handle_map_list; node != nullptr;) {
        key_handle_map_node *const next = node->next;
        if ((nobody_attached || gone(node->opener)) && close_record(node) != 0) ++reclaimed;
        if (family_call_retired()) break;
        node = next;
    }
    return reclaimed;
}

bool key_handles_init() noexcept { return key_handle_source_init(); }

void key_handle_seed(std::uint32_t first) noexcept { key_handle_source_count_from(first); }

std::uint32_t key_transmit(std::uint32_t handle, std::int32_t command_length,
                           const std::uint8_t *command, std::int32_t &response_length,
                           std::uint8_t *response, pid_t asker) noexcept {
    key_handle_map_node *node = key_handle_map_find(key_handle_map_list, handle);
    if (node == nullptr || !may_use(*node, asker)) return QVK_STATUS_NOT_OPEN;
    const std::int32_t number = node->entry->family;
    const dev_family *family = dev_family_of(number);
    if (family == nullptr || family->entries.transmit == nullptr) return QVK_STATUS_NOT_OPEN;
    node->last_used = ++use_clock;
    if (node->dead || family_choked(number)) {
        response_length = 0;
        return QVK_STATUS_NO_ANSWER;
    }
    std::uint32_t status = QVK_STATUS_NO_ANSWER;
    family_call_transmit(*family, number, handle, node->entry->handle, command_length, command,
                         response_length, response, status);
    return status;
}

void key_take_over(srv_server &abandoned) noexcept {
    try {
        hanging.push_back(&abandoned);
    } catch (...) {
        // Not remembered: its family is then called as if nothing hung.
    }
    key_handle_map_node *node = key_handle_map_find(key_handle_map_list, abandoned.handle);
    if (node == nullptr) return;
    if (abandoned.kind == family_call_kind::transmit) {
        // A late answer would be taken for the next command's: the handle is
        // dead, and its family closes it once the call has returned.
        node->dead = true;
        if (node->stuck != nullptr) node->stuck->referenced = false;
        node->stuck = hanging.empty() || hanging.back() != &abandoned ? nullptr : &abandoned;
        if (node->stuck != nullptr) abandoned.referenced = true;
    } else if (abandoned.kind == family_call_kind::close) {
        drop_record(node);  // its close is under way
    }
}

void key_registry_reset() noexcept {
    key_dev_table.fill(key_dev_entry{});
    while (key_handle_map_list != nullptr)
        key_handle_map_list = key_handle_map_remove(key_handle_map_list, key_handle_map_list);
    recorded = 0;
    unknown_openers = 0;
    sweep_at = kFirstSweepAt;
    use_clock = 0;
    hanging.clear();
    key_handle_source_count_from(1);
}
