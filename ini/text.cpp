// SPDX-License-Identifier: BSD-3-Clause
// Whitespace, trimming and reading names back from text, the same in every
// locale: whitespace is what isspace() accepts in the POSIX locale.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini_internal.h"

void __ini_assertFail(const char *expression, const char *file, unsigned line,
                      const char *function) {
    std::fprintf(stderr, "%s:%u: %s: Assertion `%s' failed.\n", file, line, function, expression);
    std::fflush(stderr);
    std::abort();
}

void __ini_trim(char *text) {
    const char *first = text;
    while (__ini_isSpace(static_cast<unsigned char>(*first))) ++first;
    std::size_t length = std::strlen(first);
    while (length > 0 && __ini_isSpace(static_cast<unsigned char>(first[length - 1]))) --length;
    std::memmove(text, first, length);
    text[length] = '\0';
}

void __ini_copyName(char *str, const char *bytes, std::size_t length) {
    // Like fgets: the text ends after a line end (and, as a string, at a NUL).
    length = strnlen(bytes, length);
    const void *newline = std::memchr(bytes, '\n', length);
    if (newline) length = static_cast<std::size_t>(static_cast<const char *>(newline) - bytes) + 1;
    while (length > 0 && __ini_isSpace(static_cast<unsigned char>(*bytes))) ++bytes, --length;
    while (length > 0 && __ini_isSpace(static_cast<unsigned char>(bytes[length - 1]))) --length;
    std::memcpy(str, bytes, length);
    str[length] = '\0';
}

bool __ini_readName(char *str, FILE *stream, long offset, std::size_t length) {
    if (length == 0) {
        str[0] = '\0';
        return true;
    }
    if (length > static_cast<std::size_t>(INT_MAX) || std::fseek(stream, offset, SEEK_SET) != 0 ||
        !std::fgets(str, static_cast<int>(length + 1), stream))
        return false;
    __ini_trim(str);
    return true;
}
