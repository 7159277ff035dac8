// SPDX-License-Identifier: BSD-3-Clause
#include "commands.h"

#include "ca_constraints.h"
#include "certificate_file.h"
#include "nss_operations.h"
#include "resident_libraries.h"
#include "sweep.h"

#include <cstdio>

void addModuleForAllUsers(const char *moduleName, const char *moduleFilePath,
                          const CommandOptions &options) {
    if (moduleName == nullptr || moduleFilePath == nullptr) return;
    const ResidentLibraries resident(moduleFilePath);
    sweepAllHomes({
        [=](const char *home, ProfileApp app, const char *directory) {
            return addModuleToProfile(moduleName, moduleFilePath, home, app, directory);
        },
        [] { std::fputs("        Add PKCS#11 module for root succeed.\n", stdout); },
        [](const char *name) { std::printf("        Add PKCS#11 module for %s succeed\n", name); },
        moduleFilePath,
        options.listProfiles,
    });
}

void deleteModuleForAllUsers(const char *moduleName, const CommandOptions &options) {
    if (moduleName == nullptr) return;
    const ResidentLibraries resident;
    sweepAllHomes({
        [=](const char *home, ProfileApp app, const char *directory) {
            return deleteModuleFromProfile(moduleName, home, app, directory);
        },
        [] { std::fputs("        Delete PKCS#11 module for root succeed.\n", stdout); },
        [](const char *name) {
            std::printf("        Delete PKCS#11 module for %s succeed.\n", name);
        },
        nullptr,
        options.listProfiles,
    });
}

void importCertForAllUsers(const char *certificateFilePath, const CommandOptions &options) {
    const std::optional<CertificateBytes> file = loadCertificateFile(certificateFilePath);
    if (!file) return;
    // Only a plain CA certificate is made a trusted one; anything else ends
    // the command before any profile is opened, saying why.
    const CaCertificate certificate = checkCaCertificate(*file);
    if (certificate.refusal != nullptr) {
        std::fprintf(stderr, "Keyrill: %s: not imported: %s\n", certificateFilePath,
                     certificate.refusal);
        return;
    }
    const ResidentLibraries resident;
    sweepAllHomes({
        [&](const char *home, ProfileApp app, const char *directory) {
            return importCertToProfile(certificate.der.data.get(), certificate.der.length, home,
                                       app, directory);
        },
        [] { std::fputs("        Add certificate(s) for root succeed.\n", stdout); },
        [](const char *name) { std::printf("        Add certificate(s) for %s succeed\n", name); },
        nullptr,
        options.listProfiles,
    });
}
