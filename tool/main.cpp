// SPDX-License-Identifier: BSD-3-Clause
// Keyrill: registers a PKCS#11 module in (or removes it from) the default
// Firefox and Thunderbird profile of "/root" and of every home under "/home",
// or imports a CA certificate into them.
#include "command_line.h"

int main(int argc, char **argv) {
    return runCommandLine(argc, argv);
}
