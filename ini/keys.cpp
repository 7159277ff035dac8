// Keys of the current heading: lookup, creation from the text before "=",
// and removal.
#include <cstring>

#include "ini_internal.h"

key_tag *__ini_findKey(ini_t *ini, const char *name) {
    section_tag *heading = ini->current;
    const unsigned long hash = __ini_hashName(name, ini->flags & INI_CASE);
    key_tag *key = heading->keyBuckets[hash & 0xFF];
    while (key && !(key->hash == hash && __ini_sameName(ini, key->name, name))) key = key->bucketNext;
    heading->currentKey = key;
    return key;
}

namespace {

// Makes the key named str (trimmed, size bytes from the key pool) the current
// key of the current heading, creating it if needed. A key that occurs again
// keeps its place and takes the name as written this time.
key_tag *adoptKey(ini_t *ini, char *str, std::size_t size, long valueOffset) {
    if (str[0] == '\0') {
        __ini_poolGiveBack(ini, str, size);
        return nullptr;
    }
    section_tag *heading = ini->current;
    key_tag *key = __ini_findKey(ini, str);
    if (key) {
        // A name that matches is exactly as long as the old one.
        std::strcpy(key->name, str);
        __ini_poolGiveBack(ini, str, size);
    } else {
        key = static_cast<key_tag *>(__ini_poolAlloc(ini, sizeof(key_tag)));
        if (!key) return nullptr;
        *key = key_tag{};
        key->name = str;
        key->prev = heading->lastKey;
        if (heading->lastKey) heading->lastKey->next = key;
        else heading->firstKey = key;
        heading->lastKey = key;
        key->hash = __ini_hashName(str, ini->flags & INI_CASE);
        key_tag *&chain = heading->keyBuckets[key->hash & 0xFF];
        key->bucketNext = chain;
        if (chain) chain->bucketPrev = key;
        chain = key;
    }
    heading->currentKey = key;
    key->valueOffset = valueOffset;
    return key;
}

}  // namespace

key_tag *__ini_faddKey(ini_t *ini, FILE *stream, long offset, std::size_t length) {
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
    (key->prev ? key->prev->next : heading->firstKey) = key->next;
    (key->next ? key->next->prev : heading->lastKey) = key->prev;
    if (key->bucketPrev) key->bucketPrev->bucketNext = key->bucketNext;
    else heading->keyBuckets[key->hash & 0xFF] = key->bucketNext;
    if (key->bucketNext) key->bucketNext->bucketPrev = key->bucketPrev;
    // The record and its name stay in the key pool until the handle closes.
}

extern "C" const char *ini_currentKey(ini_t *ini) {
    if (!ini || !ini->current || !ini->current->currentKey) return nullptr;
    return ini->current->currentKey->name;
}
