// SPDX-License-Identifier: BSD-3-Clause
// Keys of the current heading: lookup, creation from the text before "=",
// and removal.
#include <cstring>

#include "ini_internal.h"

namespace {

key_tag *findHashed(ini_t *ini, const char *name, unsigned long hash) {
    section_tag *heading = ini->current;
    key_tag *key = heading->keyBuckets[hash & 0xFF];
    while (key && !(key->hash == hash && __ini_sameName(ini, key->name, name))) key = key->bucketNext;
    heading->currentKey = key;
    return key;
}

// Makes the key named str (trimmed, size bytes from the key pool) the current
// key of the current heading, creating it if needed. A key that occurs again
// keeps its place and takes the name as written this time.
key_tag *adoptKey(ini_t *ini, char *str, std::size_t size, long valueOffset) {
    if (str[0] == '\0') {
        __ini_poolGiveBack(ini, str, size);
        return nullptr;
    }
    section_tag *heading = ini->current;
    const unsigned long hash = __ini_hashName(str, ini->flags & INI_CASE);
    key_tag *key = findHashed(ini, str, hash);
    if (key) {
        // A name that matches is exactly as long as the old one.
        std::strcpy(key->name, str);
        __ini_poolGiveBack(ini, str, size);
    } else {
        key = static_cast<key_tag *>(__ini_poolAlloc(ini, sizeof(key_tag)));
        if (!key) return nullptr;
        *key = key_tag{};
        key->name = str;
        key->hash = hash;
        __ini_linkLast(heading->firstKey, heading->lastKey, key);
        __ini_pushChain(heading->keyBuckets[hash & 0xFF], key);
    }
    heading->currentKey = key;
    key->valueOffset = valueOffset;
    return key;
}

}  // namespace

key_tag *__ini_findKey(ini_t *ini, const char *name) {
    return findHashed(ini, name, __ini_hashName(name, ini->flags & INI_CASE));
}

key_tag *__ini_faddKey(ini_t *ini, FILE *stream, long offset, size_t length) {
    char *str = static_cast<char *>(__ini_poolAlloc(ini, length + 1));
    INI_ASSERT(str);
    if (!__ini_readName(str, stream, offset, length)) str[0] = '\0';
    return adoptKey(ini, str, length + 1, offset + static_cast<long>(length) + 1);
}

key_tag *__ini_faddKey(ini_t *ini, const char *bytes, long offset, std::size_t length) {
    char *str = static_cast<char *>(__ini_poolAlloc(ini, length + 1));
    INI_ASSERT(str);
    __ini_copyName(str, bytes, length);
    return adoptKey(ini, str, length + 1, offset + static_cast<long>(length) + 1);
}

void __ini_removeKey(ini_t *ini) {
    section_tag *heading = ini->current;
    key_tag *key = heading->currentKey;
    heading->currentKey = nullptr;
    __ini_unlink(heading->firstKey, heading->lastKey, key);
    __ini_unchain(heading->keyBuckets[key->hash & 0xFF], key);
    // The record and its name stay in the key pool until the handle closes.
}

extern "C" const char *ini_currentKey(ini_t *ini) {
    if (!ini || !ini->current || !ini->current->currentKey) return nullptr;
    return ini->current->currentKey->name;
}
