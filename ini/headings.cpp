// Headings: lookup, creation from the text of a heading line, and removal.
#include <cstdlib>
#include <cstring>

#include "ini_internal.h"

section_tag *__ini_findHeading(ini_t *ini, const char *name) {
    const unsigned long hash = __ini_hashName(name, ini->flags & INI_CASE);
    section_tag *heading = ini->headingBuckets[hash & 0xFF];
    while (heading && !(heading->hash == hash && __ini_sameName(ini, heading->name, name)))
        heading = heading->bucketNext;
    ini->current = heading;
    return heading;
}

namespace {

// Makes the heading named str (trimmed, owned) current, creating it if needed.
section_tag *adoptHeading(ini_t *ini, char *str) {
    if (section_tag *found = __ini_findHeading(ini, str)) {
        std::free(str);
        return found;
    }
    auto *heading = static_cast<section_tag *>(std::calloc(1, sizeof(section_tag)));
    if (!heading) {
        std::free(str);
        return nullptr;
    }
    heading->name = str;
    if (str[0] == '\0') {  // the nameless heading always comes first
        heading->next = ini->firstHeading;
        if (ini->firstHeading) ini->firstHeading->prev = heading;
        else ini->lastHeading = heading;
        ini->firstHeading = heading;
    } else {
        heading->prev = ini->lastHeading;
        if (ini->lastHeading) ini->lastHeading->next = heading;
        else ini->firstHeading = heading;
        ini->lastHeading = heading;
    }
    heading->hash = __ini_hashName(str, ini->flags & INI_CASE);
    section_tag *&chain = ini->headingBuckets[heading->hash & 0xFF];
    heading->bucketNext = chain;
    if (chain) chain->bucketPrev = heading;
    chain = heading;
    ini->current = heading;
    return heading;
}

}  // namespace

section_tag *__ini_faddHeading(ini_t *ini, FILE *stream, long offset, std::size_t length) {
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
    (heading->prev ? heading->prev->next : ini->firstHeading) = heading->next;
    (heading->next ? heading->next->prev : ini->lastHeading) = heading->prev;
    if (heading->bucketPrev) heading->bucketPrev->bucketNext = heading->bucketNext;
    else ini->headingBuckets[heading->hash & 0xFF] = heading->bucketNext;
    if (heading->bucketNext) heading->bucketNext->bucketPrev = heading->bucketPrev;
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
