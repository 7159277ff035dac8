// The map of open handles: a doubly linked list, newest node at the head.
// The same handle may be recorded more than once; a lookup finds the newest.
#pragma once

#include <cstdint>
#include <memory>

#include "key_dev_entry.h"

struct key_handle_map_node {
    key_handle_map_node *next = nullptr;  // towards older nodes
    key_handle_map_node *prev = nullptr;  // towards the head; null at the head
    std::unique_ptr<key_dev_entry> entry;  // owned by this node alone
};

// Head of the map; null when it is empty.
extern key_handle_map_node *key_handle_map_list;

// Puts a new node holding the record in front of head and returns the new
// head. Returns head unchanged when there is no record or no memory for the
// node (the record is then released).
key_handle_map_node *key_handle_map_push(key_handle_map_node *head,
                                         std::unique_ptr<key_dev_entry> record) noexcept;

// The newest node whose record holds the handle, or null.
key_handle_map_node *key_handle_map_find(key_handle_map_node *head, std::uint32_t handle) noexcept;

// Unlinks a node of the list, releases it with its record, and returns the
// new head.
key_handle_map_node *key_handle_map_remove(key_handle_map_node *head,
                                           key_handle_map_node *node) noexcept;
