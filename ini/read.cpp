// SPDX-License-Identifier: BSD-3-Clause
// Selection and reading: a heading, then one of its keys, then its value as
// trimmed text or converted to a number or a boolean.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ini_internal.h"

namespace {

// Replaces an owned name by a copy of text; false (name unchanged) without memory.
bool replaceName(char *&name, const char *text) {
    char *copy = strdup(text);
    if (!copy) return false;
    std::free(name);
    name = copy;
    return true;
}

}  // namespace

extern "C" int ini_selectHeading(ini_t *ini, const char *heading) {
    if (!ini || !heading) return -1;
    section_tag *found = __ini_findHeading(ini, heading);
    __ini_dropList(ini);
    if (found) {
        found->currentKey = nullptr;
        return 0;
    }
    if (replaceName(ini->pendingHeading.name, heading)) {
        ini->pendingHeading.currentKey = nullptr;
        ini->current = &ini->pendingHeading;
    }
    return -1;
}

extern "C" int ini_selectNextHeading(ini_t *ini) {
    if (!ini) return -1;
    section_tag *next = !ini->current || ini->current == &ini->pendingHeading
                            ? ini->firstHeading
                            : ini->current->next;
    __ini_dropList(ini);
    ini->current = next;
    if (!next) return -1;
    next->currentKey = nullptr;
    return 0;
}

extern "C" int ini_selectKey(ini_t *ini, const char *key) {
    if (!ini || !key || !ini->current) return -1;
    section_tag *heading = ini->current;
    const key_tag *found = heading == &ini->pendingHeading ? nullptr : __ini_findKey(ini, key);
    __ini_dropList(ini);
    if (found) return 0;
    heading->currentKey = replaceName(ini->pendingKey.name, key) ? &ini->pendingKey : nullptr;
    return -1;
}

int __ini_seekValue(ini_t *ini, long *offset, std::size_t *length) {
    if (!ini->current || !ini->current->currentKey) return -1;
    const key_tag *key = ini->current->currentKey;
    if (key->valueLength == 0 && key == &ini->pendingKey) return -1;  // a missing key has no value
    *offset = key->valueOffset;
    *length = key->valueLength;
    return 0;
}

extern "C" int ini_readText(ini_t *ini, char *buffer, size_t size) {
    if (!ini || !buffer || size == 0) return -1;
    const std::size_t n = size - 1;
    if (ini->listDelimiters) {
        const char *item = __ini_nextItem(ini);
        if (!item) return -1;
        std::strncpy(buffer, item, n);
        buffer[n] = '\0';
        __ini_trim(buffer);
        return n > INT_MAX ? INT_MAX : static_cast<int>(n);
    }
    long offset = 0;
    std::size_t length = 0;
    if (__ini_seekValue(ini, &offset, &length) != 0) return -1;
    const std::size_t count = length < n ? length : n;
    if (!__ini_readWork(ini, offset, buffer, count)) return -1;
    buffer[count] = '\0';
    __ini_trim(buffer);
    return static_cast<int>(count);
}

namespace {

// The text that a typed read converts: the next list item, or the current
// value's own bytes (never the bytes that follow it in the working copy).
class Source {
public:
    explicit Source(ini_t *ini) {
        if (ini->listDelimiters) {
            text_ = __ini_nextItem(ini);
            return;
        }
        long offset = 0;
        std::size_t length = 0;
        if (__ini_seekValue(ini, &offset, &length) != 0 || length == 0) return;
        char *bytes = length < sizeof small_ ? small_ : static_cast<char *>(std::malloc(length + 1));
        if (bytes != small_) large_.reset(bytes);
        if (!bytes || !__ini_readWork(ini, offset, bytes, length)) return;
        bytes[length] = '\0';
        text_ = bytes;
    }
    const char *text() const { return text_; }

private:
    struct Free {
        void operator()(char *p) const { std::free(p); }
    };
    const char *text_ = nullptr;
    char small_[128];
    std::unique_ptr<char, Free> large_;
};

int boolWord(const char *text, int *value) {
    char word[6];
    if (std::sscanf(text, "%5s", word) != 1) return -1;
    for (char *c = word; *c; ++c)
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
    if (word[0] == '0' || word[0] == '1') {
        if (word[1] != '\0') return -1;
        *value = word[0] - '0';
        return 0;
    }
    static const struct {
        const char *word;
        int value;
    } words[] = {{"true", 1}, {"false", 0}, {"on", 1}, {"off", 0}, {"yes", 1}, {"no", 0}};
    for (const auto &entry : words)
        if (std::strcmp(word, entry.word) == 0) {
            *value = entry.value;
            return 0;
        }
    return -1;
}

}  // namespace

extern "C" int ini_readBool(ini_t *ini, int *value) {
    if (!ini || !value) return -1;
    const Source source(ini);
    return source.text() ? boolWord(source.text(), value) : -1;
}

extern "C" int ini_readDouble(ini_t *ini, double *value) {
    if (!ini || !value) return -1;
    const Source source(ini);
    return source.text() && std::sscanf(source.text(), "%lf", value) == 1 ? 0 : -1;
}

extern "C" int ini_readLong(ini_t *ini, long *value) {
    if (!ini || !value) return -1;
    const Source source(ini);
    return source.text() && std::sscanf(source.text(), "%ld", value) == 1 ? 0 : -1;
}

extern "C" int ini_readInt(ini_t *ini, int *value) {
    if (!ini || !value) return -1;
    const Source source(ini);
    return source.text() && std::sscanf(source.text(), "%d", value) == 1 ? 0 : -1;
}

extern "C" int ini_dataLength(ini_t *ini) {
    if (!ini || !ini->current || !ini->current->currentKey) return -1;
    if (!ini->listDelimiters) return static_cast<int>(ini->current->currentKey->valueLength);
    if (!ini->listBuffer) {
        const int count = __ini_splitList(ini);
        if (count <= 0) return count;
    }
    // Past the last item there is nothing left to measure.
    if (ini->listIndex >= ini->listCount) return -1;
    return static_cast<int>(std::strlen(ini->listCursor));
}
