// SPDX-License-Identifier: BSD-3-Clause
// The work on one profile: start NSS on the profile's directory, make one
// change to its databases, shut NSS down. Each returns 1 for success, 0 for
// failure. The directory is checkedDirectory when one is given (as the sweep
// hands it on: a directory, one that root checked as "/proc/self/fd/N",
// either with "sql:" before it; "" when there is none, which fails at once),
// otherwise what findProfileDir finds for home and app.
#pragma once

#include "profile_app.h"

// Trust given to an imported CA: SSL, e-mail and object-signing fields.
inline constexpr const char *CA_TRUST_STRING = "TCu,Cu,Cuw";

// Registers the module unless one of that name is already registered (which
// counts as success, whatever its library path).
int addModuleToProfile(const char *moduleName, const char *moduleFilePath, const char *home,
                       ProfileApp app, const char *checkedDirectory = nullptr);

// Removes the module; a profile without a module of that name fails.
int deleteModuleFromProfile(const char *moduleName, const char *home, ProfileApp app,
                            const char *checkedDirectory = nullptr);

// Imports the DER certificate as a trusted root CA with CA_TRUST_STRING.
int importCertToProfile(const unsigned char *bytes, int length, const char *home, ProfileApp app,
                        const char *checkedDirectory = nullptr);
