// SPDX-License-Identifier: BSD-3-Clause
// ini_merge: every key of one open file written into another.
#include <cstdlib>

#include "ini_internal.h"

extern "C" int ini_merge(ini_t *destination, ini_t *source) {
    if (!destination || !source || destination->mode == INI_MODE_READ) return -1;
    section_tag *sourceHeading = source->current;
    key_tag *sourceKey = sourceHeading ? sourceHeading->currentKey : nullptr;
    section_tag *destinationHeading = destination->current;
    char *delimiters = source->listDelimiters;
    source->listDelimiters = nullptr;

    int result = 0;
    char *buffer = nullptr;
    std::size_t size = 0;
    for (section_tag *heading = source->firstHeading; heading && result == 0; heading = heading->next) {
        ini_selectHeading(destination, heading->name);
        for (key_tag *key = heading->firstKey; key; key = key->next) {
            source->current = heading;
            heading->currentKey = key;
            if (key->valueLength >= size) {
                std::free(buffer);
                size = key->valueLength + 10;
                buffer = static_cast<char *>(std::malloc(size));
                if (!buffer) {
                    result = -1;
                    break;
                }
            }
            ini_selectKey(destination, key->name);
            if (ini_readText(source, buffer, size) != static_cast<int>(key->valueLength) ||
                ini_writeText(destination, buffer) != 0) {
                result = -1;
                break;
            }
        }
    }
    std::free(buffer);

    source->listDelimiters = delimiters;
    source->current = sourceHeading;
    if (sourceHeading) sourceHeading->currentKey = sourceKey;
    destination->current = destinationHeading;
    if (destinationHeading) destinationHeading->currentKey = nullptr;
    return result;
}
