// SPDX-License-Identifier: BSD-3-Clause
// Libraries that every profile attempt would otherwise load and initialise
// afresh: NSS's software token (with its freebl) and, for the add command, the
// module being registered. Each home's attempts run in a child process that
// unloads them again at NSS_Shutdown; loaded once in the sweeping process,
// they stay mapped and initialised for every child. A library that cannot be
// loaded is left to NSS, which reports the failure in each attempt as before.
#pragma once

#include <vector>

class ResidentLibraries {
public:
    // moduleFilePath: the module to keep resident as well (only when it is
    // root's all the way, see checkPath), or null.
    explicit ResidentLibraries(const char *moduleFilePath = nullptr);
    ResidentLibraries(const ResidentLibraries &) = delete;
    ResidentLibraries &operator=(const ResidentLibraries &) = delete;
    ~ResidentLibraries();

private:
    // Builds the tables of an OpenSSL that the module brought in.
    void initialiseLoadedCrypto();

    std::vector<void *> handles_;
};
