// SPDX-License-Identifier: BSD-3-Clause
#include "key_handle_map.h"

#include <new>

key_handle_map_node *key_handle_map_list = nullptr;

key_handle_map_node *key_handle_map_push(key_handle_map_node *head,
                                         std::unique_ptr<key_dev_entry> record,
                                         std::uint32_t handle) noexcept {
    if (!record) return head;
    auto *node = new (std::nothrow) key_handle_map_node;
    if (node == nullptr) return head;
    node->next = head;
    node->entry = std::move(record);
    node->handle = handle;
    if (head != nullptr) head->prev = node;
    return node;
}

key_handle_map_node *key_handle_map_find(key_handle_map_node *head, std::uint32_t handle) noexcept {
    for (key_handle_map_node *node = head; node != nullptr; node = node->next)
        if (node->handle == handle) return node;
    return nullptr;
}

key_handle_map_node *key_handle_map_remove(key_handle_map_node *head,
                                           key_handle_map_node *node) noexcept {
    if (node == nullptr) return head;
    if (node->next != nullptr) node->next->prev = node->prev;
    if (node == head) {
        head = node->next;
    } else if (node->prev != nullptr) {
        node->prev->next = node->next;
    }
    delete node;
    return head;
}
