// SPDX-License-Identifier: BSD-3-Clause
// The handle map's list operations on a list of its own.
#include <memory>

#include <gtest/gtest.h>

#include "key_handle_map.h"
#include "qvk_family.h"

namespace {

std::unique_ptr<key_dev_entry> record(std::uint32_t handle) {
    auto entry = std::make_unique<key_dev_entry>();
    entry->family = DEV_FAMILY_HID;
    entry->handle = handle;
    return entry;
}

// Walks the list both ways and returns the handles from the head.
std::vector<std::uint32_t> handles(key_handle_map_node *head) {
    std::vector<std::uint32_t> seen;
    key_handle_map_node *previous = nullptr;
    for (key_handle_map_node *node = head; node != nullptr; node = node->next) {
        EXPECT_EQ(node->prev, previous) << "broken prev link at handle " << node->entry->handle;
        seen.push_back(node->entry->handle);
        previous = node;
    }
    return seen;
}

TEST(HandleMap, NewestFirstAndRemovalKeepsBothDirectionsLinked) {
    key_handle_map_node *head = nullptr;
    EXPECT_EQ(key_handle_map_push(head, nullptr, 1), nullptr);
    for (std::uint32_t handle : {4u, 5u, 4u, 6u}) head = key_handle_map_push(head, record(handle), handle);
    EXPECT_EQ(handles(head), (std::vector<std::uint32_t>{6, 4, 5, 4}));
    EXPECT_EQ(key_handle_map_push(head, nullptr, 1), head);

    key_handle_map_node *newest_four = key_handle_map_find(head, 4);
    EXPECT_EQ(newest_four, head->next);
    EXPECT_EQ(key_handle_map_find(head, 7), nullptr);

    head = key_handle_map_remove(head, newest_four);  // from the middle
    EXPECT_EQ(handles(head), (std::vector<std::uint32_t>{6, 5, 4}));
    EXPECT_EQ(key_handle_map_find(head, 4)->next, nullptr);
    head = key_handle_map_remove(head, key_handle_map_find(head, 4));  // the tail
    head = key_handle_map_remove(head, head);                          // the head
    EXPECT_EQ(handles(head), std::vector<std::uint32_t>{5});
    head = key_handle_map_remove(head, head);
    EXPECT_EQ(head, nullptr);
}

}  // namespace
