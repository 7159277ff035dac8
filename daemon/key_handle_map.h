// SPDX-License-Identifier: BSD-3-Clause
// The map of open handles: a doubly linked list, newest node at the head.
// Each node pairs the handle that the daemon handed to a requester with the
// family's own handle (in its record). The same handle may be recorded more
// than once; a lookup finds the newest.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "key_dev_entry.h"

struct srv_server;

struct key_handle_map_node {
    key_handle_map_node *next = nullptr;  // towards older nodes
    key_handle_map_node *prev = nullptr;  // towards the head; null at the head
    std::unique_ptr<key_dev_entry> entry;  // owned by this node alone; the family's handle
    std::uint32_t handle = 0;  // the daemon's handle, as the requester knows it
    pid_t opener = 0;          // the process that opened it; 0 when it could not be told
    std::uint64_t last_used = 0;  // when it was last opened or named, on the registry's count
    // Dead: an exchange on it was abandoned. It answers 0xFFFF from then on;
    // stuck is that exchange's record while the call may still be in the family.
    bool dead = false;
    srv_server *stuck = nullptr;
};

// Head of the map; null when it is empty.
extern key_handle_map_node *key_handle_map_list;

// Puts a new node holding the record under the daemon's handle in front of
// head and returns the new head. Returns head unchanged when there is no
// record or no memory for the node (the record is then released).
key_handle_map_node *key_handle_map_push(key_handle_map_node *head,
                                         std::unique_ptr<key_dev_entry> record,
                                         std::uint32_t handle) noexcept;

// The newest node recorded under the daemon's handle, or null.
key_handle_map_node *key_handle_map_find(key_handle_map_node *head, std::uint32_t handle) noexcept;

// Unlinks a node of the list, releases it with its record, and returns the
// new head.
key_handle_map_node *key_handle_map_remove(key_handle_map_node *head,
                                           key_handle_map_node *node) noexcept;
