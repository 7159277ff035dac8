// SPDX-License-Identifier: BSD-3-Clause
// The three commands of Keyrill, each run over every home (see sweep.h).
// A null operand makes a command do nothing.
#pragma once

// "-add": registers the PKCS#11 module in every default profile.
void addModuleForAllUsers(const char *moduleName, const char *moduleFilePath);
// "-del": removes the PKCS#11 module from every default profile.
void deleteModuleForAllUsers(const char *moduleName);
// "-reg": imports the CA certificate file (one DER certificate or one PEM
// CERTIFICATE block) as a trusted root CA. A file that cannot be loaded ends
// the command before any profile is tried, and so does one that is not
// plainly a CA certificate (see checkCaCertificate), with one line on
// standard error that says why.
void importCertForAllUsers(const char *certificateFilePath);
