// SPDX-License-Identifier: BSD-3-Clause
#include "dynamic_library.h"

#include <dlfcn.h>

#include <utility>

namespace qvk::daemon {

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary &&other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary &DynamicLibrary::operator=(DynamicLibrary &&other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

DynamicLibrary DynamicLibrary::open_lazy(const char *path) noexcept {
    return DynamicLibrary(dlopen(path, RTLD_LAZY));
}

void *DynamicLibrary::symbol(const char *name) const noexcept {
    if (handle_ == nullptr) return nullptr;
    dlerror();  // forget an error left by an earlier call
    void *address = dlsym(handle_, name);
    if (dlerror() != nullptr) return nullptr;
    return address;
}

bool DynamicLibrary::close() noexcept {
    if (handle_ == nullptr) return true;
    return dlclose(std::exchange(handle_, nullptr)) == 0;
}

}  // namespace qvk::daemon
