// SPDX-License-Identifier: BSD-3-Clause
#include "resident_libraries.h"

#include "path_owner.h"

#include <dlfcn.h>

namespace {

// The names NSS itself loads its software token and freebl by; the module's
// library is loaded by its path, as NSS loads it, so each child's load finds
// the same file already mapped.
constexpr const char *kNssSoftokenLibraries[] = {"libsoftokn3.so", "libfreeblpriv3.so"};

// OpenSSL, as modules (SoftHSM among them) pull it in: its tables of
// algorithms and built-in engines are built once per process, on the first
// initialisation of such a module. Built here, before the sweep forks, no
// attempt builds them again. Its configuration file is still read by each
// attempt, in that attempt's own environment.
constexpr const char *kCryptoLibraries[] = {"libcrypto.so.3", "libcrypto.so.1.1"};
constexpr unsigned long long kCryptoTables = 0x00000002ULL    // LOAD_CRYPTO_STRINGS
                                             | 0x00000004ULL  // ADD_ALL_CIPHERS
                                             | 0x00000008ULL  // ADD_ALL_DIGESTS
                                             | 0x00000200ULL  // ENGINE_RDRAND
                                             | 0x00000400ULL  // ENGINE_DYNAMIC
                                             | 0x00000800ULL; // ENGINE_OPENSSL
using CryptoInit = int (*)(unsigned long long, const void *);

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
    initialiseLoadedCrypto();
}

void ResidentLibraries::initialiseLoadedCrypto() {
    // Only a library that a resident module brought in: nothing new is
    // loaded for this.
    for (const char *name : kCryptoLibraries) {
        void *handle = dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
        if (handle == nullptr) continue;
        handles_.push_back(handle);
        if (const auto init = reinterpret_cast<CryptoInit>(dlsym(handle, "OPENSSL_init_crypto")))
            init(kCryptoTables, nullptr);
    }
}

ResidentLibraries::~ResidentLibraries() {
    for (void *handle : handles_) dlclose(handle);
}
