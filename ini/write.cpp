// SPDX-License-Identifier: BSD-3-Clause
// Writing and deleting. A write appends a header line (unless the heading's
// was the last one appended) and a key line to the working copy and points
// the index at the new value; the file itself changes only on flush or close.
// A deletion only unlinks records from the index.
#include <cfloat>
#include <cstdio>
#include <cstring>

#include "ini_internal.h"

namespace {

// Appends text at the end of the working copy; the position where it starts
// goes to *at and where it ends to *end (when given).
bool append(FILE *work, const char *text, long *at = nullptr, long *end = nullptr) {
    if (std::fseek(work, 0, SEEK_END) != 0) return false;
    if (at && (*at = std::ftell(work)) < 0) return false;
    if (std::fputs(text, work) < 0) return false;
    return !end || (*end = std::ftell(work)) >= 0;
}

}  // namespace

key_tag *__ini_prepareWrite(ini_t *ini) {
    if (ini->mode == INI_MODE_READ) return nullptr;
    section_tag *heading = ini->current;
    if (!heading || !heading->currentKey) return nullptr;
    key_tag *key = heading->currentKey;
    __ini_trim(heading->name);
    // A key name that is empty fails the write before anything is recorded.
    __ini_trim(key->name);
    if (!key->name[0]) return nullptr;

    if (heading == ini->lastAppended) {
        __ini_findHeading(ini, heading->name);
    } else {
        long at = 0, end = 0;
        if (!append(ini->work, "\n[") || !append(ini->work, heading->name, &at, &end)) return nullptr;
        section_tag *added = __ini_faddHeading(ini, ini->work, at, static_cast<std::size_t>(end - at));
        if (!append(ini->work, "]\n")) return nullptr;
        ini->flags |= INI_CHANGED;
        ini->lastAppended = added;
    }
    if (!ini->current) return nullptr;

    long at = 0, end = 0;
    if (!append(ini->work, key->name, &at, &end)) return nullptr;
    key_tag *added = __ini_faddKey(ini, ini->work, at, static_cast<std::size_t>(end - at));
    if (!append(ini->work, "=") || !added) return nullptr;
    ini->flags |= INI_CHANGED;
    return added;
}

namespace {

// The common body of the writers: value text, then a line end.
int writeValue(ini_t *ini, const char *text) {
    key_tag *key = __ini_prepareWrite(ini);
    if (!key) return -1;
    const bool written = std::fputs(text, ini->work) >= 0 && std::fputc('\n', ini->work) != EOF;
    key->valueLength = written ? std::strlen(text) : 0;
    return written ? 0 : -1;
}

}  // namespace

extern "C" int ini_writeText(ini_t *ini, const char *text) {
    if (!ini || !text) return -1;
    return writeValue(ini, text);
}

extern "C" int ini_writeBool(ini_t *ini, unsigned int value) {
    if (!ini || value > 1) return -1;
    return writeValue(ini, value ? "true" : "false");
}

extern "C" int ini_writeDouble(ini_t *ini, double value) {
    if (!ini) return -1;
    char text[DBL_MAX_10_EXP + 32];  // "%f" of the largest double fits
    std::snprintf(text, sizeof text, "%f", value);
    return writeValue(ini, text);
}

extern "C" int ini_writeLong(ini_t *ini, long value) {
    if (!ini) return -1;
    char text[32];
    std::snprintf(text, sizeof text, "%ld", value);
    return writeValue(ini, text);
}

extern "C" int ini_writeInt(ini_t *ini, int value) {
    return ini_writeLong(ini, value);
}

extern "C" int ini_deleteKey(ini_t *ini) {
    if (!ini || ini->mode == INI_MODE_READ || !ini->current) return -1;
    const key_tag *key = ini->current->currentKey;
    if (!key || key == &ini->pendingKey) return -1;
    __ini_removeKey(ini);
    ini->flags |= INI_CHANGED;
    return 0;
}

extern "C" int ini_deleteHeading(ini_t *ini) {
    if (!ini || ini->mode == INI_MODE_READ || !ini->current || ini->current == &ini->pendingHeading)
        return -1;
    __ini_removeHeading(ini);
    ini->flags |= INI_CHANGED;
    return 0;
}

extern "C" int ini_deleteAll(ini_t *ini) {
    if (!ini || ini->mode == INI_MODE_READ) return -1;
    __ini_removeAll(ini);
    return 0;
}
