// SPDX-License-Identifier: BSD-3-Clause
// Flush and close: a changed file is rewritten from the index, heading by
// heading in list order, each key as its name padded to the heading's key
// column, "=", and its trimmed value.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ini_internal.h"
#include "replace.h"

namespace {

// The key column W: at least the average name length A, widened to the
// longest name shorter than A + 10; longer names stand unpadded.
int keyColumn(const section_tag *heading) {
    std::size_t total = 0, count = 0;
    for (const key_tag *key = heading->firstKey; key; key = key->next, ++count)
        total += std::strlen(key->name);
    if (count == 0) return 0;
    const std::size_t average = total / count;
    std::size_t width = average;
    for (const key_tag *key = heading->firstKey; key; key = key->next) {
        const std::size_t length = std::strlen(key->name);
        if (width < length && length < average + 10) width = length;
    }
    return static_cast<int>(width);
}

// A value buffer that grows to the largest value written so far.
struct ValueBuffer {
    char *bytes = nullptr;
    std::size_t size = 0;
    ~ValueBuffer() { std::free(bytes); }
    bool reserve(std::size_t wanted) {
        if (wanted <= size) return true;
        std::free(bytes);
        bytes = static_cast<char *>(std::malloc(wanted));
        size = bytes ? wanted : 0;
        return bytes != nullptr;
    }
};

bool writeHeading(ini_t *ini, section_tag *heading, FILE *out, ValueBuffer &value) {
    if (heading->name[0] && std::fprintf(out, "[%s]\n", heading->name) < 0) return false;
    const int width = keyColumn(heading);
    for (key_tag *key = heading->firstKey; key; key = key->next) {
        if (!value.reserve(key->valueLength + 1)) return false;
        ini->current = heading;
        heading->currentKey = key;
        if (std::fprintf(out, "%-*s=", width, key->name) < 0 ||
            ini_readText(ini, value.bytes, key->valueLength + 1) < 0 ||
            std::fprintf(out, "%s\n", value.bytes) < 0)
            return false;
    }
    return std::fputs("\n", out) >= 0;
}

int rewrite(ini_t *ini) {
    char *delimiters = ini->listDelimiters;
    ini->listDelimiters = nullptr;  // values are written whole
    section_tag *current = ini->current;
    key_tag *currentKey = current ? current->currentKey : nullptr;

    FileReplacement file(ini->path);
    bool ok = file.stream() != nullptr;
    {
        ValueBuffer value;
        for (section_tag *heading = ini->firstHeading; ok && heading; heading = heading->next)
            ok = writeHeading(ini, heading, file.stream(), value);
    }
    ini->current = current;
    if (current) current->currentKey = currentKey;
    ok = ok && file.commit();
    ini->listDelimiters = delimiters;
    return ok ? 0 : -1;
}

}  // namespace

int __ini_commit(ini_t *ini, bool close) {
    int result = 0;
    if (ini->flags & INI_CHANGED) {
        if (!ini->firstHeading)  // nothing left: the file goes
            result = std::remove(ini->path) == 0 || errno == ENOENT ? 0 : -1;
        else
            result = rewrite(ini);
    }
    if (!close) return result;

    // The working copy of a file that existed, was opened with "b" and
    // changed stays as its backup; every other one goes.
    const unsigned int backup = INI_CHANGED | INI_BACKUP;
    __ini_closeWork(ini, (ini->flags & (INI_CHANGED | INI_CREATED | INI_BACKUP)) != backup);
    __ini_release(ini);
    return result;
}

extern "C" int ini_flush(ini_t *ini) {
    return ini ? __ini_commit(ini, false) : -1;
}

extern "C" int ini_close(ini_t *ini) {
    return ini ? __ini_commit(ini, true) : -1;
}
