// SPDX-License-Identifier: BSD-3-Clause
#include "key_registry.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "dev_families.h"
#include "key_handle_map.h"

std::array<key_dev_entry, DEV_MAX_COUNT> key_dev_table{};

namespace {

using path_slot = std::span<const char, DEV_PATH_SLOT_SIZE>;

// Copies a slot's text, at most 127 characters, and zero-fills the rest of
// the field, so every stored path is terminated whatever the family wrote.
void store_path(std::span<char, DEV_PATH_SLOT_SIZE> field, path_slot slot) {
    const std::size_t length = strnlen(slot.data(), DEV_PATH_SLOT_SIZE - 1);
    std::fill(std::copy_n(slot.begin(), length, field.begin()), field.end(), '\0');
}

// The family list that one family's enumeration fills; reserved once.
std::array<char, DEV_PATH_LIST_SIZE> family_list;

void enumerate_family(std::int32_t family, qvk_enum_fn enumerate, std::uint8_t &count,
                      std::span<char, DEV_PATH_LIST_SIZE> path_list) {
    family_list.fill('\0');
    std::uint8_t listed = 0;
    enumerate(&listed, family_list.data());
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

// The daemon's handles: counted up from a seed, never 0 or 0xFFFFFFFF (the
// two "not opened" values), never one that is still open.
std::uint32_t next_handle = 1;
// Records in the map, and the count at which the next sweep for handles of
// dead openers is due; it doubles with what survives a sweep.
std::size_t recorded = 0;
constexpr std::size_t kFirstSweepAt = 32;
std::size_t sweep_at = kFirstSweepAt;

std::uint32_t take_handle() {
    for (;;) {
        const std::uint32_t handle = next_handle++;
        if (handle == QVK_HANDLE_NONE || handle == QVK_HANDLE_FAILED) continue;
        if (key_handle_map_find(key_handle_map_list, handle) == nullptr) return handle;
    }
}

bool gone(pid_t process) { return process > 0 && kill(process, 0) != 0 && errno == ESRCH; }

// Asks the family to close a record's handle; drops the record when it did.
// Returns the family's close result. The node is released on success.
std::uint32_t close_record(key_handle_map_node *node) {
    const dev_family *family = dev_family_of(node->entry->family);
    if (family == nullptr || family->entries.close == nullptr) return 0;
    const std::uint32_t closed = family->entries.close(node->entry->handle);
    if (closed != 0) {
        key_handle_map_list = key_handle_map_remove(key_handle_map_list, node);
        --recorded;
    }
    return closed;
}

// Opens a registry entry's device through its family and records it under
// a new handle of the daemon's.
std::uint32_t open_listed(const key_dev_entry &listed, const char *path, pid_t opener) {
    const dev_family *family = dev_family_of(listed.family);
    if (family == nullptr || family->entries.open == nullptr) return 0;
    const std::uint32_t opened = family->entries.open(path);
    if (opened == QVK_HANDLE_NONE || opened == QVK_HANDLE_FAILED) return 0;

    const std::uint32_t handle = take_handle();
    std::unique_ptr<key_dev_entry> record(new (std::nothrow) key_dev_entry{listed.family, listed.path, opened});
    key_handle_map_node *head = key_handle_map_push(key_handle_map_list, std::move(record), handle);
    if (head == key_handle_map_list) {
        // No memory to record it: the requester never learns the handle, so
        // the device must not stay open.
        if (family->entries.close != nullptr) family->entries.close(opened);
        return 0;
    }
    head->opener = opener;
    key_handle_map_list = head;
    ++recorded;
    return handle;
}

void enumerate_all(std::uint8_t &count, std::span<char, DEV_PATH_LIST_SIZE> path_list) {
    count = 0;
    std::fill(path_list.begin(), path_list.end(), '\0');
    for (std::int32_t family = DEV_FAMILY_UDK; family <= DEV_FAMILY_COUNT; ++family) {
        const dev_family *record = dev_family_of(family);
        if (record->entries.enumerate != nullptr)
            enumerate_family(family, record->entries.enumerate, count, path_list);
    }
}

}  // namespace

std::uint32_t key_enum_devices(std::uint8_t &count,
                               std::span<char, DEV_PATH_LIST_SIZE> path_list) noexcept {
    enumerate_all(count, path_list);
    // A probe open may have failed for want of descriptors that dead
    // requesters still hold.
    if (count == 0 && key_reclaim_orphans() > 0) enumerate_all(count, path_list);
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
    if (listed == nullptr) return 0;
    if (recorded >= sweep_at) {
        key_reclaim_orphans();
        sweep_at = std::max(kFirstSweepAt, 2 * recorded);
    }
    const std::uint32_t handle = open_listed(*listed, path, opener);
    // The family may have failed for want of descriptors: give back those of
    // dead requesters, then try once more.
    if (handle == 0 && key_reclaim_orphans() > 0) return open_listed(*listed, path, opener);
    return handle;
}

bool key_handle_recorded(std::uint32_t handle) noexcept {
    return key_handle_map_find(key_handle_map_list, handle) != nullptr;
}

std::uint32_t key_close_device(std::uint32_t handle) noexcept {
    key_handle_map_node *node = key_handle_map_find(key_handle_map_list, handle);
    if (node == nullptr) return 1;
    return close_record(node);
}

std::size_t key_reclaim_orphans() noexcept {
    std::size_t reclaimed = 0;
    for (key_handle_map_node *node = key_handle_map_list; node != nullptr;) {
        key_handle_map_node *const next = node->next;
        if (gone(node->opener) && close_record(node) != 0) ++reclaimed;
        node = next;
    }
    return reclaimed;
}

void key_handle_seed(std::uint32_t first) noexcept { next_handle = first; }

std::uint32_t key_transmit(std::uint32_t handle, std::int32_t command_length,
                           const std::uint8_t *command, std::int32_t &response_length,
                           std::uint8_t *response) noexcept {
    const key_handle_map_node *node = key_handle_map_find(key_handle_map_list, handle);
    if (node == nullptr) return QVK_STATUS_NOT_OPEN;
    const dev_family *family = dev_family_of(node->entry->family);
    if (family == nullptr || family->entries.transmit == nullptr) return QVK_STATUS_NOT_OPEN;
    return family->entries.transmit(node->entry->handle, command_length, command, &response_length,
                                    response);
}

void key_registry_reset() noexcept {
    key_dev_table.fill(key_dev_entry{});
    while (key_handle_map_list != nullptr)
        key_handle_map_list = key_handle_map_remove(key_handle_map_list, key_handle_map_list);
    recorded = 0;
    sweep_at = kFirstSweepAt;
    next_handle = 1;
}
