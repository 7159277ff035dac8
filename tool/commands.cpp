// SPDX-License-Identifier: BSD-3-Clause
#include "commands.h"

#include "ca_constraints.h"
#include "certificate_file.h"
#include "nss_operations.h"
#include "resident_libraries.h"
#include "sweep.h"

#include <cstdio>

void addModuleForAllUsers(const char *moduleName, const char *moduleFilePath) {
    if (moduleName == nullptr || moduleFilePath == nullptr) return;
    const ResidentLibraries resident(moduleFilePath);
    sweepAllHomes({
        [=](const char *home, ProfileApp app) {
            return addModuleToProfile(moduleName, moduleFilePath, home, app);
        },
        [] { std::fputs("        Add PKCS#11 module for root succeed.\n", stdout); },
        [](const char *name) { std::printf("        Add PKCS#11 module for %s succeed\n", name); },
    });
}

void deleteModuleForAllUsers(const char *moduleName) {
    if (moduleName == nullptr) return;
    const ResidentLibraries resident;
    sweepAllHomes({
        [=](const char *home, ProfileApp app) {
            return deleteModuleFromProfile(moduleName, home, app);
        },
        [] { std::fputs("        Delete PKCS#11 module for root succeed.\n", stdout); },
        [](const char *name) {
            std::printf("        Delete PKCS#11 module for %s succeed.\n", name);
        },
    });
}

void importCertForAllUsers(const char *certificateFilePath) {
    const std::optional<CertificateBytes> certificate = loadCertificateFile(certificateFilePath);
    // A certificate that says it is no CA is never made a trusted one.
    if (!certificate || !mayBeImportedAsCa(*certificate)) return;
    const ResidentLibraries resident;
    sweepAllHomes({
        [&](const char *home, ProfileApp app) {
            return importCertToProfile(certificate->data.get(), certificate->length, home, app);
        },
        [] { std::fputs("        Add certificate(s) for root succeed.\n", stdout); },
        [](const char *name) { std::printf("        Add certificate(s) for %s succeed\n", name); },
    });
}
