// SPDX-License-Identifier: BSD-3-Clause
// The cards the plug-in has open, under handles of its own: a PC/SC card
// handle is wider than the 32 bits the daemon carries on 64-bit hosts.
// A fixed table, so the plug-in needs no allocator beyond libc's.
#pragma once

#include <winscard.h>

#include <array>
#include <cstdint>

#include "ccid_config.h"

namespace qvk::ccid {

// Each card is connected in a PC/SC context of its own, so that a card that
// hangs in an exchange holds nothing that another card or an enumeration
// needs (pcsc-lite serialises the calls of one context).
struct OpenCard {
    std::uint32_t id = 0;        // 0: free slot
    SCARDCONTEXT context = 0;    // the card's own
    SCARDHANDLE card = 0;
    DWORD protocol = 0;          // SCARD_PROTOCOL_T0 or _T1
    bool dead = false;           // the card left its reader, or pcscd went away
    unsigned exchanges = 0;      // exchanges under way on it
    bool closing = false;        // closed while in an exchange: the last one releases it
};

class HandleTable {
public:
    // Records a connected card under a new handle: non-zero, never
    // 0xFFFFFFFF (a failed open to the daemon) and not in use. Returns 0 when
    // the table is full.
    std::uint32_t add(SCARDCONTEXT context, SCARDHANDLE card, DWORD protocol);
    // The record of an open handle, or null.
    OpenCard *find(std::uint32_t id);
    void remove(OpenCard &open) { open = OpenCard{}; }

    template <class Visit>
    void for_each(Visit visit) {
        for (OpenCard &open : slots_)
            if (open.id != 0) visit(open);
    }

private:
    std::array<OpenCard, kMaxOpenCards> slots_{};
    std::uint32_t last_id_ = 0;
};

}  // namespace qvk::ccid
