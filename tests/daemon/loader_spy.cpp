// SPDX-License-Identifier: BSD-3-Clause
#include "loader_spy.h"

#include <dlfcn.h>

namespace qvk::test {
namespace {
std::vector<LoaderOpen> &opens() {
    static std::vector<LoaderOpen> recorded;
    return recorded;
}
int closes = 0;
}  // namespace

const std::vector<LoaderOpen> &loader_opens() { return opens(); }
int loader_closes() { return closes; }
void reset_loader_spy() {
    opens().clear();
    closes = 0;
}

}  // namespace qvk::test

// Defined in the program, these take precedence over the C library's for
// every call the program itself makes.
extern "C" void *dlopen(const char *file, int mode) noexcept {
    using open_fn = void *(*)(const char *, int);
    static const auto real = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "dlopen"));
    void *handle = real(file, mode);
    qvk::test::opens().push_back({file != nullptr ? file : "", mode, handle != nullptr});
    return handle;
}

extern "C" int dlclose(void *handle) noexcept {
    using close_fn = int (*)(void *);
    static const auto real = reinterpret_cast<close_fn>(dlsym(RTLD_NEXT, "dlclose"));
    ++qvk::test::closes;
    return real(handle);
}
