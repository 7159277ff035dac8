// SPDX-License-Identifier: BSD-3-Clause
// Owner of one handle from the dynamic loader.
#pragma once

namespace qvk::daemon {

class DynamicLibrary {
public:
    DynamicLibrary() noexcept = default;
    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary &&other) noexcept;
    DynamicLibrary &operator=(DynamicLibrary &&other) noexcept;
    DynamicLibrary(const DynamicLibrary &) = delete;
    DynamicLibrary &operator=(const DynamicLibrary &) = delete;

    // Opens a library with lazy symbol binding (RTLD_LAZY and no other flag).
    // Empty when the loader yields nothing; its error text is not kept.
    static DynamicLibrary open_lazy(const char *path) noexcept;

    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // The address of an exported name, or null when the loader reports an
    // error for the lookup or the name resolves to null.
    void *symbol(const char *name) const noexcept;

    // Closes the library now. True when the loader reports success; the
    // handle is given up either way.
    bool close() noexcept;

private:
    explicit DynamicLibrary(void *handle) noexcept : handle_(handle) {}
    void *handle_ = nullptr;
};

}  // namespace qvk::daemon
