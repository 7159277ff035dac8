// SPDX-License-Identifier: BSD-3-Clause
/* inih parsing a file, as the baseline of the INI engine's benchmarks. */
#ifndef INIH_BASELINE_H
#define INIH_BASELINE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Parses the file and counts its keys; -1 on failure. */
long inih_countKeys(const char *path);
/* Parses the file and copies every value into a 256-byte buffer, as a
 * reader of every value would; returns the number of non-empty values. */
long inih_copyValues(const char *path);

#ifdef __cplusplus
}
#endif

#endif
