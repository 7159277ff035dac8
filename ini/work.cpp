// SPDX-License-Identifier: BSD-3-Clause
// The working copy: where every value lives while a handle is open, read
// through a window of the file held in memory.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "ini_internal.h"

namespace {

constexpr std::size_t WINDOW_SIZE = 64 * 1024;

bool readExactly(int fd, char *buffer, std::size_t count, long offset) {
    while (count > 0) {
        const ssize_t n = pread(fd, buffer, count, offset);
        if (n <= 0) return false;
        buffer += n;
        count -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

char *__ini_workName(const char *path) {
    char *name = strdup(path);
    if (name) name[std::strlen(name) - 1] = '~';
    return name;
}

FILE *__ini_createWork(const ini_t *ini) {
    if (ini->mode == INI_MODE_READ) return std::tmpfile();
    char *name = __ini_workName(ini->path);
    if (!name) return nullptr;
    FILE *work = std::fopen(name, "wb+");
    std::free(name);
    return work;
}

bool __ini_readWork(ini_t *ini, long offset, char *buffer, std::size_t count) {
    if (count == 0) return true;
    if (offset < 0) return false;
    if (offset >= ini->windowOffset &&
        offset - ini->windowOffset + count <= ini->windowLength) {
        std::memcpy(buffer, ini->readWindow + (offset - ini->windowOffset), count);
        return true;
    }
    // Bytes that writes appended may still sit in the stream's buffer.
    if (std::fflush(ini->work) != 0) return false;
    const int fd = fileno(ini->work);
    if (!ini->readWindow && count < WINDOW_SIZE)
        ini->readWindow = static_cast<char *>(std::malloc(WINDOW_SIZE));
    if (!ini->readWindow || count >= WINDOW_SIZE) return readExactly(fd, buffer, count, offset);

    ini->windowOffset = offset;
    ini->windowLength = 0;
    std::size_t filled = 0;
    while (filled < WINDOW_SIZE) {
        const ssize_t n = pread(fd, ini->readWindow + filled, WINDOW_SIZE - filled,
                                offset + static_cast<long>(filled));
        if (n <= 0) break;
        filled += static_cast<std::size_t>(n);
    }
    ini->windowLength = filled;
    if (filled < count) return false;
    std::memcpy(buffer, ini->readWindow, count);
    return true;
}

void __ini_closeWork(ini_t *ini, bool removeFile) {
    if (ini->work) std::fclose(ini->work);
    ini->work = nullptr;
    if (!removeFile || ini->mode == INI_MODE_READ) return;  // a temporary file goes by itself
    char *name = __ini_workName(ini->path);
    if (name) std::remove(name);
    std::free(name);
}

void __ini_release(ini_t *ini) {
    // Keys go with the key pool; only headings are freed one by one.
    for (section_tag *heading = ini->firstHeading, *next; heading; heading = next) {
        next = heading->next;
        std::free(heading->name);
        std::free(heading);
    }
    __ini_poolRelease(ini);
    if (ini->work) std::fclose(ini->work);
    std::free(ini->path);
    std::free(ini->pendingHeading.name);
    std::free(ini->pendingKey.name);
    std::free(ini->listDelimiters);
    std::free(ini->listBuffer);
    std::free(ini->readWindow);
    std::free(ini);
}
