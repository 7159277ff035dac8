// SPDX-License-Identifier: BSD-3-Clause
// Headings: lookup, creation from the text of a heading line, and removal.
#include <cstdlib>

#include "ini_internal.h"

namespace {

section_tag *findHashed(ini_t *ini, const char *name, unsigned long hash) {
    section_tag *heading = ini->headingBuckets[hash & 0xFF];
    while (heading && !(heading->hash == hash && __ini_sameName(ini, heading->name, name)))
        heading = heading->bucketNext;
    ini->current = heading;
    return heading;
}

// Makes the heading named str (trimmed, owned) current, creating it if needed.
section_tag *adoptHeading(ini_t *ini, char *str) {
    const unsigned long hash = __ini_hashName(str, ini->flags & INI_CASE);
    if (section_tag *found = findHashed(ini, str, hash)) {
        std::free(str);
        return found;
    }
    auto *heading = static_cast<section_tag *>(std::calloc(1, sizeof(section_tag)));
    if (!heading) {
        std::free(str);
        return nullptr;
    }
    heading->name = str;
    if (str[0] == '\0')  // the nameless heading always comes first
        __ini_linkFirst(ini->firstHeading, ini->lastHeading, heading);
    else
        __ini_linkLast(ini->firstHeading, ini->lastHeading, heading);
    heading->hash = hash;
    __ini_pushChain(ini->headingBuckets[hash & 0xFF], heading);
    ini->current = heading;
    return heading;
}

}  // namespace

section_tag *__ini_findHeading(ini_t *ini, const char *name) {
    return findHashed(ini, name, __ini_hashName(name, ini->flags & INI_CASE));
}

section_tag *__ini_faddHeading(ini_t *ini, FILE *stream, long offset, size_t length) {
    char *str = static_cast<char *>(std::malloc(length + 1));
    INI_ASSERT(str);
    if (!__ini_readName(str, stream, offset, length)) {
        std::free(str);
        ini->current = nullptr;
        return nullptr;
    }
    return adoptHeading(ini, str);
}

section_tag *__ini_faddHeading(ini_t *ini, const char *bytes, std::size_t length) {
    char *str = static_cast<char *>(std::malloc(length + 1));
    INI_ASSERT(str);
    __ini_copyName(str, bytes, length);
    return adoptHeading(ini, str);
}

void __ini_removeHeading(ini_t *ini) {
    section_tag *heading = ini->current;
    while (heading->firstKey) {
        heading->currentKey = heading->firstKey;
        __ini_removeKey(ini);
    }
    ini->current = nullptr;
    __ini_unlink(ini->firstHeading, ini->lastHeading, heading);
    __ini_unchain(ini->headingBuckets[heading->hash & 0xFF], heading);
    if (ini->lastAppended == heading) ini->lastAppended = nullptr;
    std::free(heading->name);
    std::free(heading);
}

void __ini_removeAll(ini_t *ini) {
    if (!ini->firstHeading) return;
    while (ini->firstHeading) {
        ini->current = ini->firstHeading;
        __ini_removeHeading(ini);
    }
    __ini_dropList(ini);
    ini->flags |= INI_CHANGED;
}

extern "C" const char *ini_currentHeading(ini_t *ini) {
    return ini && ini->current ? ini->current->name : nullptr;
}
