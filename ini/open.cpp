// SPDX-License-Identifier: BSD-3-Clause
// ini_open: the mode string, the working copy, and the one pass over the file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ini_internal.h"

namespace {

// One letter "r", "w" or "a", then at most one each of "b" and "i".
bool parseMode(const char *text, int *mode, unsigned int *flags) {
    if (!text) return false;
    switch (text[0]) {
    case 'r': *mode = INI_MODE_READ; break;
    case 'w': *mode = INI_MODE_WRITE; break;
    case 'a': *mode = INI_MODE_APPEND; break;
    default: return false;
    }
    *flags = 0;
    for (const char *letter = text + 1; *letter; ++letter) {
        const unsigned int bit = *letter == 'b' ? INI_BACKUP : *letter == 'i' ? INI_CASE : 0u;
        if (bit == 0 || (*flags & bit)) return false;
        *flags |= bit;
    }
    return true;
}

// A marker made of syntax characters, line ends or Ctrl-Z would take part
// in the syntax it is meant to hide; such markers are refused.
bool markerAccepted(const char *marker) {
    return std::strpbrk(marker, "[]=\n\f\r\x1a") == nullptr;
}

// The file is created only when it does not exist; an existing file that
// merely cannot be read is never truncated.
bool createMissing(const char *path) {
    if (errno != ENOENT) return false;
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace

extern "C" ini_t *ini_open(const char *path, const char *mode, const char *comment) {
    int fileMode = 0;
    unsigned int flags = 0;
    if (!parseMode(mode, &fileMode, &flags)) return nullptr;
    const char *marker = comment ? comment : "";
    if (!markerAccepted(marker) || !path || !path[0]) return nullptr;
    // The working copy is named like the file with its last character
    // replaced by "~": for a name that already ends in "~" it would be the
    // file itself, emptied before it is read.
    if (fileMode != INI_MODE_READ && path[std::strlen(path) - 1] == '~') return nullptr;

    auto *ini = static_cast<ini_t *>(std::calloc(1, sizeof(ini_t)));
    if (!ini) return nullptr;
    ini->path = strdup(path);
    ini->mode = fileMode;
    ini->flags = flags;
    if (!ini->path) {
        __ini_release(ini);
        return nullptr;
    }

    FILE *source = std::fopen(path, "rb");
    if (!source) {
        if (fileMode != INI_MODE_WRITE || !createMissing(path)) {
            __ini_release(ini);
            return nullptr;
        }
        ini->flags |= INI_CREATED;
    }
    ini->work = __ini_createWork(ini);
    if (!ini->work) {
        if (source) std::fclose(source);
        __ini_release(ini);
        return nullptr;
    }
    if (!source) return ini;  // a file just created: nothing to read

    const bool parsed = __ini_parseFile(ini, source, marker);
    std::fclose(source);
    if (!parsed) {
        __ini_closeWork(ini, true);
        __ini_release(ini);
        return nullptr;
    }
    return ini;
}
