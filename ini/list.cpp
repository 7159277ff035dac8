// SPDX-License-Identifier: BSD-3-Clause
// List mode: a value read as items separated by delimiter characters.
//
// A delimiter that is not whitespace always ends an item; a whitespace
// delimiter ends one only when the character after it is not a delimiter,
// so "a  b" split at spaces gives two items and "a , b" split at ", " gives
// "a " and " b" (read back trimmed).
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ini_internal.h"

void __ini_dropList(ini_t *ini) {
    std::free(ini->listBuffer);
    ini->listBuffer = nullptr;
    ini->listCursor = nullptr;
}

extern "C" int ini_setListDelimiters(ini_t *ini, const char *delimiters) {
    if (!ini) return -1;
    std::free(ini->listDelimiters);
    ini->listDelimiters = nullptr;
    __ini_dropList(ini);
    if (delimiters && delimiters[0]) {
        ini->listDelimiters = strdup(delimiters);
        if (!ini->listDelimiters) return -1;
    }
    return 0;
}

extern "C" int ini_listDelimiters(ini_t *ini, const char *delimiters) {
    return ini_setListDelimiters(ini, delimiters);
}

int __ini_splitList(ini_t *ini) {
    __ini_dropList(ini);
    if (!ini->current || !ini->current->currentKey) return -1;
    const key_tag *key = ini->current->currentKey;
    const std::size_t length = key->valueLength;
    if (length == 0) {
        ini->listCount = ini->listIndex = 0;
        return key == &ini->pendingKey ? -1 : 0;
    }
    if (length > INT_MAX || !ini->listDelimiters) return -1;
    char *text = static_cast<char *>(std::malloc(length + 1));
    if (!text) return -1;

    // The whole value, trimmed, read with list mode off.
    char *delimiters = ini->listDelimiters;
    ini->listDelimiters = nullptr;
    const int read = ini_readText(ini, text, length + 1);
    ini->listDelimiters = delimiters;
    if (read < 0) {
        std::free(text);
        return -1;
    }

    // From the end backwards, so that each delimiter knows what follows it.
    std::uint32_t count = 1;
    bool followedByItem = false;
    for (std::size_t i = std::strlen(text); i-- > 0;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::strchr(delimiters, c)) {
            followedByItem = true;
        } else if (!__ini_isSpace(c) || followedByItem) {
            text[i] = '\0';
            ++count;
            followedByItem = false;
        }
    }
    ini->listBuffer = ini->listCursor = text;
    ini->listCount = count;
    ini->listIndex = 0;
    return static_cast<int>(count);
}

const char *__ini_nextItem(ini_t *ini) {
    if (!ini->current || !ini->current->currentKey) return nullptr;
    if (!ini->listBuffer) {
        const int count = __ini_splitList(ini);
        if (count < 0) return nullptr;
        if (count == 0) return "";  // an empty value reads as one empty item, every time
    }
    if (ini->listIndex >= ini->listCount) return nullptr;
    const char *item = ini->listCursor;
    ini->listCursor += std::strlen(item) + 1;
    ++ini->listIndex;
    return item;
}

extern "C" int ini_listItemCount(ini_t *ini) {
    if (!ini || !ini->current || !ini->current->currentKey) return -1;
    return ini->listBuffer ? static_cast<int>(ini->listCount) : __ini_splitList(ini);
}

extern "C" int ini_seekListItem(ini_t *ini, unsigned long item) {
    if (!ini || !ini->current || !ini->current->currentKey) return -1;
    if (!ini->listBuffer && __ini_splitList(ini) < 0) return -1;
    if (ini->listCount == 0) return -1;
    if (item == ini->listIndex) return 0;
    if (item >= ini->listCount) return -1;
    char *cursor = ini->listCursor;
    std::uint32_t index = ini->listIndex;
    if (item < index) {
        cursor = ini->listBuffer;
        index = 0;
    }
    for (; index < item; ++index) cursor += std::strlen(cursor) + 1;
    ini->listCursor = cursor;
    ini->listIndex = index;
    return 0;
}
