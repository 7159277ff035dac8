/*
 * SPDX-License-Identifier: BSD-3-Clause
 * The INI engine: an indexed, editable view of one INI file.
 *
 * ini_open reads the file once into an index of headings and keys and keeps
 * the bytes in a working copy; values are read from the working copy by
 * position. Reading works on a current position: select a heading, then a
 * key, then read. Writes append to the working copy; ini_flush and ini_close
 * rewrite the file from the index.
 *
 * Results: 0 for success and -1 for failure (NULL for pointers), unless an
 * operation says otherwise. Self-contained: depends on nothing but libc.
 */
#ifndef INI_H
#define INI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ini_t ini_t;

/* Opens path. mode: "r" (read only; the file must exist), "w" (read-write;
 * a missing file is created), "a" (read-write; the file must exist), each
 * optionally followed by "b" (keep a backup) and/or "i" (names match
 * exactly; without it they match ignoring ASCII case). comment: the comment
 * marker, or NULL for none. NULL on any failure. */
ini_t *ini_open(const char *path, const char *mode, const char *comment);

/* Name of the current heading (or the missing one last asked for); NULL if none. */
const char *ini_currentHeading(ini_t *ini);
/* Name of the current key of the current heading; NULL if none. */
const char *ini_currentKey(ini_t *ini);

/* ---- selection and reading ---- */
int ini_selectHeading(ini_t *ini, const char *heading);
/* Makes the heading after the current one current (the first heading, which
 * is the nameless one, when none or a missing one is current), with no key
 * current: 0; -1 once no heading follows, and then none is current. With
 * ini_currentHeading it walks every heading in the order of the file. */
int ini_selectNextHeading(ini_t *ini);
int ini_selectKey(ini_t *ini, const char *key);
/* Reads the current value (or the next list item), trimmed, into buffer. */
int ini_readText(ini_t *ini, char *buffer, size_t size);
/* Turns list mode on with these delimiter characters (NULL or "" turns it off). */
int ini_setListDelimiters(ini_t *ini, const char *delimiters);
int ini_listDelimiters(ini_t *ini, const char *delimiters);
int ini_listItemCount(ini_t *ini);
int ini_seekListItem(ini_t *ini, unsigned long item);
int ini_readBool(ini_t *ini, int *value);
int ini_readDouble(ini_t *ini, double *value);
int ini_readLong(ini_t *ini, long *value);
int ini_readInt(ini_t *ini, int *value);
int ini_dataLength(ini_t *ini);

/* ---- writing, deletion, merge, flush and close ---- */
int ini_writeBool(ini_t *ini, unsigned int value);
int ini_writeDouble(ini_t *ini, double value);
int ini_writeLong(ini_t *ini, long value);
int ini_writeInt(ini_t *ini, int value);
int ini_writeText(ini_t *ini, const char *text);
int ini_deleteKey(ini_t *ini);
int ini_deleteHeading(ini_t *ini);
int ini_deleteAll(ini_t *ini);
int ini_merge(ini_t *destination, ini_t *source);
int ini_flush(ini_t *ini);
/* Rewrites the file if it changed and releases the handle (except NULL). */
int ini_close(ini_t *ini);

#ifdef __cplusplus
}
#endif

#endif /* INI_H */
