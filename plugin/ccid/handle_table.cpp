// SPDX-License-Identifier: BSD-3-Clause
#include "handle_table.h"

#include "qvk_segment.h"

namespace qvk::ccid {

std::uint32_t HandleTable::add(SCARDCONTEXT context, SCARDHANDLE card, DWORD protocol) {
    OpenCard *free_slot = nullptr;
    for (OpenCard &open : slots_)
        if (open.id == 0) {
            free_slot = &open;
            break;
        }
    if (free_slot == nullptr) return 0;
    // Handles count up, so a closed handle is not handed out again soon
    // (a requester holding a stale one reaches nothing).
    std::uint32_t id = last_id_;
    do {
        ++id;
    } while (id == QVK_HANDLE_NONE || id == QVK_HANDLE_FAILED || find(id) != nullptr);
    last_id_ = id;
    *free_slot = OpenCard{id, context, card, protocol};
    return id;
}

OpenCard *HandleTable::find(std::uint32_t id) {
    if (id == 0) return nullptr;
    for (OpenCard &open : slots_)
        if (open.id == id) return &open;
    return nullptr;
}

}  // namespace qvk::ccid
