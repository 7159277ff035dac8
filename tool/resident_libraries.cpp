// SPDX-License-Identifier: BSD-3-Clause
#include "resident_libraries.h"

#include "path_owner.h"

#include <dlfcn.h>

namespace {

// The names NSS itself loads its software token and freebl by; the module's
// library is loaded by its path, as NSS loads it, so each child's load finds
// the same file already mapped.
constexpr const char *kNssSoftokenLibraries[] = {"libsoftokn3.so", "libfreeblpriv3.so"};

}  // namespace

ResidentLibraries::ResidentLibraries(const char *moduleFilePath) {
    for (const char *name : kNssSoftokenLibraries)
        if (void *handle = dlopen(name, RTLD_NOW | RTLD_LOCAL)) handles_.push_back(handle);
    // Only a module that nobody but root can change is loaded here, with
    // root's rights; one in a user's files (say inside a sandbox's tree in a
    // home) is loaded by each attempt alone, with the rights it takes.
    if (moduleFilePath != nullptr && ownerOfPath(moduleFilePath).kind == PathOwner::Kind::Root)
        if (void *handle = dlopen(moduleFilePath, RTLD_NOW | RTLD_LOCAL))
            handles_.push_back(handle);
}

ResidentLibraries::~ResidentLibraries() {
    for (void *handle : handles_) dlclose(handle);
}
