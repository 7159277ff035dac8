/*
 * SPDX-License-Identifier: BSD-3-Clause
 * The INI engine's records and internal operations, shared by its units.
 *
 * An open file is one ini_t. Its headings form a list (the nameless heading
 * first, the others in the order they first occur) and 256 hash chains; each
 * heading holds its keys the same way. Values are never kept in memory: a key
 * records where its value lies in the working copy, a file that holds the
 * parsed bytes followed by whatever writes appended.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ini.h"

enum : int {
    INI_MODE_WRITE = 0,  /* "w": read-write, a missing file is created */
    INI_MODE_APPEND = 1, /* "a": read-write, the file must exist */
    INI_MODE_READ = 2,   /* "r": read only */
};

enum : unsigned int {
    INI_CHANGED = 1, /* a record was written or deleted: flush and close rewrite the file */
    INI_CREATED = 2, /* the open created the file */
    INI_BACKUP = 4,  /* "b": keep the working copy of a changed file as a backup */
    INI_CASE = 8,    /* "i": names match exactly instead of ignoring ASCII case */
};

constexpr std::size_t INI_BUCKETS = 256;

struct ini_block;

struct key_tag {
    char *name;          /* trimmed, never empty */
    long valueOffset;    /* working-copy position of the first byte after "=" */
    std::size_t valueLength; /* raw length, surrounding whitespace included */
    key_tag *next;
    key_tag *prev;
    unsigned long hash;
    key_tag *bucketNext;
    key_tag *bucketPrev; /* NULL for the head of a chain */
};

struct section_tag {
    char *name; /* trimmed; "" for the nameless heading */
    key_tag *firstKey;
    key_tag *lastKey;
    key_tag *currentKey; /* may be the handle's pendingKey */
    section_tag *next;
    section_tag *prev;
    unsigned long hash;
    key_tag *keyBuckets[INI_BUCKETS];
    section_tag *bucketNext;
    section_tag *bucketPrev; /* NULL for the head of a chain */
};

struct ini_t {
    char *path;
    FILE *work; /* the working copy */
    int mode;
    unsigned int flags;
    section_tag *firstHeading;
    section_tag *lastHeading;
    section_tag *current;      /* may be &pendingHeading */
    section_tag *lastAppended; /* heading whose header line a write appended last */
    section_tag pendingHeading; /* name of the last missed heading selection */
    key_tag pendingKey;         /* name of the last missed key selection */
    section_tag *headingBuckets[INI_BUCKETS];
    char *listBuffer;     /* the current value split into NUL-ended items */
    char *listDelimiters; /* NULL: list mode is off */
    char *listCursor;     /* the next item in listBuffer */
    std::uint32_t listCount;
    std::uint32_t listIndex;
    /* A read-ahead window over the working copy, so that reading values one
     * after another costs no system call each. The working copy only ever
     * grows at its end, so a window never goes stale. */
    char *readWindow;
    long windowOffset;
    std::size_t windowLength;
    /* Where key records and key names are allocated (pool.cpp). */
    ini_block *keyPool;
};

/* Ends the process like a failed assert(), in every build type: a name whose
 * text cannot be allocated is not a condition the engine recovers from. */
[[noreturn]] void __ini_assertFail(const char *expression, const char *file, unsigned line,
                                   const char *function);
#define INI_ASSERT(expression)                                                               \
    ((expression) ? static_cast<void>(0)                                                     \
                  : __ini_assertFail(#expression, __FILE__, __LINE__, __PRETTY_FUNCTION__))

/* ---- names (hash.cpp, text.cpp) ---- */
unsigned long __ini_hashName(const char *name, bool caseSensitive);
bool __ini_sameName(const ini_t *ini, const char *a, const char *b);
/* Space, \t, \n, \v, \f, \r: isspace() of the POSIX locale, whatever the locale. */
inline bool __ini_isSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
void __ini_trim(char *text);
/* Copies a name of at most length bytes that stops after a line end (as
 * fgets does), then trims it; from memory or from a stream at offset. */
void __ini_copyName(char *str, const char *bytes, std::size_t length);
bool __ini_readName(char *str, FILE *stream, long offset, std::size_t length);

/* ---- linking a heading or key record into its list and its hash chain ---- */
template <typename Record> void __ini_linkLast(Record *&first, Record *&last, Record *record) {
    record->prev = last;
    (last ? last->next : first) = record;
    last = record;
}
template <typename Record> void __ini_linkFirst(Record *&first, Record *&last, Record *record) {
    record->next = first;
    (first ? first->prev : last) = record;
    first = record;
}
template <typename Record> void __ini_unlink(Record *&first, Record *&last, Record *record) {
    (record->prev ? record->prev->next : first) = record->next;
    (record->next ? record->next->prev : last) = record->prev;
}
template <typename Record> void __ini_pushChain(Record *&chain, Record *record) {
    record->bucketNext = chain;
    if (chain) chain->bucketPrev = record;
    chain = record;
}
template <typename Record> void __ini_unchain(Record *&chain, Record *record) {
    (record->bucketPrev ? record->bucketPrev->bucketNext : chain) = record->bucketNext;
    if (record->bucketNext) record->bucketNext->bucketPrev = record->bucketPrev;
}

/* ---- pool.cpp ---- */
void *__ini_poolAlloc(ini_t *ini, std::size_t size); /* NULL without memory */
/* Returns the most recent allocation; anything else stays until close. */
void __ini_poolGiveBack(ini_t *ini, void *bytes, std::size_t size);
void __ini_poolRelease(ini_t *ini);

/* ---- headings.cpp, keys.cpp ---- */
section_tag *__ini_findHeading(ini_t *ini, const char *name);
key_tag *__ini_findKey(ini_t *ini, const char *name);
/* Find or create the record named by the text at offset; the heading becomes
 * current, the key the current heading's current key. The overloads taking
 * bytes serve the parser, which has the text in memory. */
section_tag *__ini_faddHeading(ini_t *ini, FILE *stream, long offset, size_t length);
section_tag *__ini_faddHeading(ini_t *ini, const char *bytes, std::size_t length);
key_tag *__ini_faddKey(ini_t *ini, FILE *stream, long offset, size_t length);
key_tag *__ini_faddKey(ini_t *ini, const char *bytes, long offset, std::size_t length);
void __ini_removeKey(ini_t *ini);     /* the current heading's current key */
void __ini_removeHeading(ini_t *ini); /* the current heading */
void __ini_removeAll(ini_t *ini);

/* ---- parse.cpp ---- */
struct ini_parser;
bool __ini_parseChar(ini_t *ini, ini_parser &parser, int c);
/* Reads the source into the index and the working copy; false on failure. */
bool __ini_parseFile(ini_t *ini, FILE *source, const char *marker);

/* ---- working copy (work.cpp) ---- */
FILE *__ini_createWork(const ini_t *ini);
char *__ini_workName(const char *path); /* path with its last character replaced by "~" */
/* Reads count bytes at offset; false unless every byte was read. */
bool __ini_readWork(ini_t *ini, long offset, char *buffer, std::size_t count);
/* Closes the working copy and, when asked, removes its file ("w", "a"). */
void __ini_closeWork(ini_t *ini, bool removeFile);
/* Releases the handle and everything it owns (the working copy is closed,
 * not removed). */
void __ini_release(ini_t *ini);

/* ---- read.cpp, list.cpp ---- */
int __ini_seekValue(ini_t *ini, long *offset, std::size_t *length);
void __ini_dropList(ini_t *ini);
int __ini_splitList(ini_t *ini);
const char *__ini_nextItem(ini_t *ini);

/* ---- write.cpp, commit.cpp ---- */
key_tag *__ini_prepareWrite(ini_t *ini);
int __ini_commit(ini_t *ini, bool close);
