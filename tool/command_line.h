// SPDX-License-Identifier: BSD-3-Clause
// Keyrill's command line: one command word and its operands, or the usage text.
#pragma once

// Writes the usage text to standard output.
void printUsage();

// Starts the command that the arguments name ("-add" module name and module
// file path, "-del" module name, "-reg" certificate file path), after an
// optional "-v" that lists each store and profile worked on (see
// CommandOptions), or prints the usage text. argc counts the program name. Always returns 0: no outcome of a
// command reaches the exit status.
int runCommandLine(int argc, char **argv);
