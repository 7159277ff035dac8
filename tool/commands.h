// SPDX-License-Identifier: BSD-3-Clause
// The three commands of Keyrill, each run over every home (see sweep.h).
// A null operand makes a command do nothing.
#pragma once

// "-add": registers the PKCS#11 module in every default profile.
void addModuleForAllUsers(const char *moduleName, const char *moduleFilePath);
// "-del": removes the PKCS#11 module from every default profile.
void deleteModuleForAllUsers(const char *moduleName);
// "-reg": imports the DER certificate file as a trusted root CA; a file that
// cannot be loaded, or a certificate whose basic constraints say it is no CA,
// ends the command before any profile is tried.
void importCertForAllUsers(const char *certificateFilePath);
