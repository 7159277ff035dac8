// SPDX-License-Identifier: BSD-3-Clause
// The three commands of Keyrill, each run over every store and profile of
// every home (see sweep.h). A null operand makes a command do nothing.
#pragma once

struct CommandOptions {
    // "-v": one line on standard error for each store and profile worked on.
    bool listProfiles = false;
};

// "-add": registers the PKCS#11 module in every profile. A store in a
// Flatpak or Snap sandbox gets it only when the module file lies in that
// sandbox's own tree; any other such store is refused with a line on
// standard error.
void addModuleForAllUsers(const char *moduleName, const char *moduleFilePath,
                          const CommandOptions &options = {});
// "-del": removes the PKCS#11 module from every profile.
void deleteModuleForAllUsers(const char *moduleName, const CommandOptions &options = {});
// "-reg": imports the CA certificate file (one DER certificate or one PEM
// CERTIFICATE block) as a trusted root CA. A file that cannot be loaded ends
// the command before any profile is tried, and so does one that is not
// plainly a CA certificate (see checkCaCertificate), with one line on
// standard error that says why.
void importCertForAllUsers(const char *certificateFilePath, const CommandOptions &options = {});
