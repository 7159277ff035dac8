// SPDX-License-Identifier: BSD-3-Clause
// Owner of a dlopen handle, for tests that drive a plug-in only through its
// exported symbols, as qvkserver does.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace qvk::test {

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string &path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    }
    ~PluginLibrary() { dlclose(handle_); }
    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    // The exported function `name`, typed as F (a function pointer type).
    template <class F>
    F function(const char *name) const {
        void *address = dlsym(handle_, name);
        if (address == nullptr) throw std::runtime_error(std::string("missing export ") + name);
        return reinterpret_cast<F>(address);
    }

private:
    void *handle_;
};

}  // namespace qvk::test
