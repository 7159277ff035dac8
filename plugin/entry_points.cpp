// SPDX-License-Identifier: BSD-3-Clause
// The four entry points that qvkserver binds by name: enumerate the driver's
// nodes, open one, close it, exchange an APDU with it.
#include "qvkmgrudk.h"

#include <cstdio>
#include <cstring>
#include <span>
#include <type_traits>

#include "plugin_config.h"
#include "qvk_family.h"

// The family contract declares the entry points once more: a declaration in
// qvkmgrudk.h that strays from it is a conflicting declaration and fails to
// compile.
extern "C" {
QVK_FAMILY_DECLARE_ENTRY_POINTS();
}

using namespace qvk::udk;

QVK_EXPORT uint16_t EnumQvDevPath(uint8_t *count, char *path_list) {
    if (count == nullptr || path_list == nullptr) return 0;
    std::span<char, DEV_NODE_COUNT * DEV_PATH_SLOT_SIZE> slots(
        path_list, DEV_NODE_COUNT * DEV_PATH_SLOT_SIZE);

    int found = 0;
    for (int index = 0; index < DEV_NODE_COUNT; ++index) {
        char name[DEV_PATH_SLOT_SIZE] = {};
        std::snprintf(name, sizeof name, "%s%d", DEV_NODE_PREFIX, index);
        const int descriptor = CT_open(name);
        if (descriptor == -1) continue;

        auto slot = slots.subspan(static_cast<std::size_t>(found) * DEV_PATH_SLOT_SIZE,
                                  DEV_PATH_SLOT_SIZE);
        std::memset(slot.data(), 0, slot.size());
        std::memcpy(slot.data(), name, std::strlen(name));
        ++found;
        CT_close(descriptor);  // a failed close during a probe is of no consequence
    }
    if (found == 0) return 0;
    *count = static_cast<uint8_t>(found);
    return 1;
}

// The contract's handles are unsigned 32-bit; here they carry the node's
// descriptor, and a failed open (-1) reaches the daemon as 0xFFFFFFFF.
QVK_EXPORT uint32_t OpenQvDev(const char *path) { return static_cast<uint32_t>(CT_open(path)); }

QVK_EXPORT uint16_t CloseQvDev(uint32_t descriptor) {
    return CT_close(static_cast<int>(descriptor)) == 0 ? 1 : 0;
}

QVK_EXPORT uint32_t Icc_tsi_apiQvDev(uint32_t descriptor, int32_t command_length,
                                     const uint8_t *command, int32_t *response_length,
                                     uint8_t *response) {
    return ICC_tsi_api(static_cast<int>(descriptor), command_length, command, response_length,
                       response);
}

static_assert(std::is_same_v<decltype(&EnumQvDevPath), qvk_enum_fn>);
static_assert(std::is_same_v<decltype(&OpenQvDev), qvk_open_fn>);
static_assert(std::is_same_v<decltype(&CloseQvDev), qvk_close_fn>);
static_assert(std::is_same_v<decltype(&Icc_tsi_apiQvDev), qvk_transmit_fn>);
static_assert(std::is_same_v<decltype(&SetQvDevTimeout), qvk_set_timeout_fn>);
