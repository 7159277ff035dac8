// SPDX-License-Identifier: BSD-3-Clause
#include "dev_families.h"

#include <cstddef>
#include <utility>

std::array<dev_family, DEV_FAMILY_COUNT> dev_families;

namespace {

struct plugin_paths {
    const char *installed;
    const char *local;  // relative: resolved against the starting directory
};

constexpr std::array<plugin_paths, DEV_FAMILY_COUNT> kPluginPaths{{
    {QVK_PLUGIN_DIR "/" QVK_PLUGIN_FILE_UDK, "./" QVK_PLUGIN_FILE_UDK},
    {QVK_PLUGIN_DIR "/" QVK_PLUGIN_FILE_CCID, "./" QVK_PLUGIN_FILE_CCID},
    {QVK_PLUGIN_DIR "/" QVK_PLUGIN_FILE_HID, "./" QVK_PLUGIN_FILE_HID},
}};

template <class Entry>
bool bind_entry(const qvk::daemon::DynamicLibrary &library, const char *name, Entry &slot) {
    slot = reinterpret_cast<Entry>(library.symbol(name));
    return slot != nullptr;
}

// Binds the four names in their fixed order, stopping at the first one that
// is missing or resolves to null.
bool bind_family(dev_family &family) {
    dev_family_entries &entries = family.entries;
    if (!(bind_entry(family.library, QVK_FAMILY_SYM_ENUM, entries.enumerate) &&
          bind_entry(family.library, QVK_FAMILY_SYM_OPEN, entries.open) &&
          bind_entry(family.library, QVK_FAMILY_SYM_CLOSE, entries.close) &&
          bind_entry(family.library, QVK_FAMILY_SYM_TRANSMIT, entries.transmit)))
        return false;
    bind_entry(family.library, QVK_FAMILY_SYM_SET_TIMEOUT, entries.set_timeout);  // optional
    return true;
}

}  // namespace

dev_family *dev_family_of(std::int32_t family) noexcept {
    if (family <= DEV_FAMILY_NONE || family > DEV_FAMILY_COUNT) return nullptr;
    return &dev_families[static_cast<std::size_t>(family - 1)];
}

int load_dev_families() noexcept {
    bool any_loaded = false;
    for (std::size_t i = 0; i < dev_families.size(); ++i) {
        dev_families[i].entries = {};
        auto library = qvk::daemon::DynamicLibrary::open_lazy(kPluginPaths[i].installed);
        if (!library) library = qvk::daemon::DynamicLibrary::open_lazy(kPluginPaths[i].local);
        any_loaded = any_loaded || static_cast<bool>(library);
        dev_families[i].library = std::move(library);
    }
    if (!any_loaded) return 0;

    for (dev_family &family : dev_families) {
        if (!family.library) continue;
        if (!bind_family(family)) {
            unload_dev_families();
            return 0;
        }
    }
    return 1;
}

void unload_dev_families() noexcept {
    for (dev_family &family : dev_families) {
        if (!family.library) continue;
        family.entries = {};  // never call into a closed library
        if (!family.library.close()) return;
    }
}

bool install_dev_family(std::int32_t family, const dev_family_entries &entries) noexcept {
    dev_family *record = dev_family_of(family);
    if (record == nullptr) return false;
    record->entries = entries;
    return true;
}
