// SPDX-License-Identifier: BSD-3-Clause
// The family table: for families 1, 2 and 3, the loaded plug-in and its four
// bound entry points. The device registry dispatches through it.
#pragma once

#include <array>
#include <cstdint>

#include "dynamic_library.h"
#include "qvk_family.h"

// The four entry points of one family; all null while the family is absent.
// set_timeout is the optional fifth (SetQvDevTimeout), null when the plug-in
// does not export it.
struct dev_family_entries {
    qvk_enum_fn enumerate = nullptr;
    qvk_open_fn open = nullptr;
    qvk_close_fn close = nullptr;
    qvk_transmit_fn transmit = nullptr;
    qvk_set_timeout_fn set_timeout = nullptr;
};

struct dev_family {
    qvk::daemon::DynamicLibrary library;  // empty while the family is absent
    dev_family_entries entries;
};

// Index 0 holds family 1 (DEV_FAMILY_UDK), 1 family 2, 2 family 3.
extern std::array<dev_family, DEV_FAMILY_COUNT> dev_families;

// The table record of a family number, or null for a number outside 1 .. 3.
dev_family *dev_family_of(std::int32_t family) noexcept;

// Loads every family's plug-in (installed directory first, then the working
// directory) and binds the four entry points of each loaded one (and the
// optional SetQvDevTimeout where it is exported). Returns 1 on
// success; 0 when no plug-in loads or a loaded one lacks an entry point, in
// which case whatever was loaded is unloaded again.
int load_dev_families() noexcept;

// Closes the loaded plug-ins in family order, stopping at the first close
// that fails. Used by load_dev_families when binding fails.
void unload_dev_families() noexcept;

// For tests and fuzzers only: makes a family present with in-process entry
// points, without any library. False for a number outside 1 .. 3.
bool install_dev_family(std::int32_t family, const dev_family_entries &entries) noexcept;
