// SPDX-License-Identifier: BSD-3-Clause
// The parser: one pass over the file, character by character, through a
// small state machine that records every heading and key by its position.
//
// Syntax, in short: a heading line is "[", a name, "]" (the rest of the line
// is ignored); a key line is a name, "=", a value; keys before the first
// heading belong to the nameless heading. A comment marker, when one is
// given, may begin at the start of a line (after optional whitespace),
// directly after "=", or after whitespace inside a value, and runs to the end
// of the line. Marker characters seen so far are held back; when the marker
// turns out not to follow, they are replayed as ordinary characters.
#include <cstdlib>
#include <initializer_list>
#include <cstring>
#include <string_view>

#include "ini_internal.h"

namespace {

enum : int {
    IN_KEY = 0,
    LINE_BEGUN = 1, /* the line's first significant character is being examined */
    SKIP_LINE = 2,  /* after a heading's "]" or a comment marker */
    IN_HEADING = 3,
    PARSE_END = 4,
    IN_VALUE = 5,              /* after a non-whitespace character of a value */
    MARKER_OK = 8,             /* a comment marker may begin here */
    LINE_START = LINE_BEGUN | MARKER_OK,
    VALUE_START = IN_VALUE | MARKER_OK, /* after "=", or after whitespace in a value */
};

constexpr int CTRL_Z = 26;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t BLOCK_SIZE = 64 * 1024;

bool isLineEnd(int c) { return c == '\n' || c == '\f' || c == '\r'; }

// Character classes for the fast path: runs of characters that change
// nothing but the position (and, in values, the MARKER_OK bit) are skipped
// without going through the character loop one by one.
enum : unsigned char {
    STOP_ALWAYS = 1, /* NUL, line ends, Ctrl-Z */
    STOP_SPACE = 2,  /* whitespace other than line ends */
    STOP_EQUALS = 4,
    STOP_CLOSE = 8,  /* "]" */
    STOP_MARKER = 16, /* the comment marker's first character */
};

struct ClassTable {
    unsigned char of[256] = {};
    explicit ClassTable(const char *marker) {
        for (const int c : {0, CTRL_Z, int{'\n'}, int{'\f'}, int{'\r'}}) of[c] = STOP_ALWAYS;
        for (const int c : {int{' '}, int{'\t'}, int{'\v'}}) of[c] = STOP_SPACE;
        of[static_cast<unsigned char>('=')] = STOP_EQUALS;
        of[static_cast<unsigned char>(']')] = STOP_CLOSE;
        of[static_cast<unsigned char>(marker[0])] |= marker[0] ? STOP_MARKER : 0;
    }
};

}  // namespace

struct ini_parser {
    long position = 0; /* last character applied, or last whitespace where a marker may begin */
    long start = -1;   /* first character of the name being read */
    long end = -1;     /* the "]" or "=" that ended the name */
    key_tag *key = nullptr; /* the key whose value is still open */
    int state = LINE_START;
    const char *marker = "";
    int matched = 0; /* marker characters held back */

    // Names are taken from the bytes in memory: window[i] is the byte at
    // file position windowOffset + i, up to windowEnd.
    FILE *source = nullptr;
    const char *window = nullptr;
    long windowOffset = 0;
    long windowEnd = 0;

    bool holds(long offset, std::size_t length) const {
        return offset >= windowOffset && offset + static_cast<long>(length) <= windowEnd;
    }
    const char *bytesAt(long offset) const { return window + (offset - windowOffset); }
    bool nameOpen() const { return start != -1 && end < start; }
};

namespace {

section_tag *addHeading(ini_t *ini, const ini_parser &p, long offset, std::size_t length) {
    if (length == 0) return __ini_faddHeading(ini, "", 0);
    if (p.holds(offset, length)) return __ini_faddHeading(ini, p.bytesAt(offset), length);
    return __ini_faddHeading(ini, p.source, offset, length);
}

key_tag *addKey(ini_t *ini, const ini_parser &p, long offset, std::size_t length) {
    if (p.holds(offset, length)) return __ini_faddKey(ini, p.bytesAt(offset), offset, length);
    return __ini_faddKey(ini, p.source, offset, length);
}

void closeValue(ini_parser &p, long at) {
    if (!p.key) return;
    // A marker right after "=" closes the value before it starts: empty.
    p.key->valueLength = at > p.key->valueOffset ? static_cast<std::size_t>(at - p.key->valueOffset) : 0;
    p.key = nullptr;
}

// The held marker characters stand right before position at; each is applied
// as an ordinary character at its own position, in the state of the moment.
bool replay(ini_t *ini, ini_parser &p, long at) {
    for (int k = 0; k < p.matched; ++k) {
        p.position = at - p.matched + k;
        if (!__ini_parseChar(ini, p, static_cast<unsigned char>(p.marker[k]))) return false;
    }
    p.matched = 0;
    return true;
}

// One character at file position at; false when the open must fail.
bool step(ini_t *ini, ini_parser &p, int c, long at) {
    if (c == 0) return false;
    if (isLineEnd(c) || c == CTRL_Z) {
        p.state = c == CTRL_Z ? PARSE_END : LINE_START;
        if (c != CTRL_Z) p.start = p.end = -1;
        if (!replay(ini, p, at)) return false;
        p.position = at;
        closeValue(p, at);
        return true;
    }
    const int base = p.state & ~MARKER_OK;
    if (base == SKIP_LINE) return true;
    if ((base == LINE_BEGUN || base == IN_VALUE) && __ini_isSpace(c)) {
        p.state = p.state | MARKER_OK;
        p.matched = 0;  // dropped: whitespace breaks a marker
        p.position = at;
        return true;
    }
    if (p.state & MARKER_OK) {
        if (c == static_cast<unsigned char>(p.marker[p.matched])) {
            if (p.marker[++p.matched] == '\0') {
                p.matched = 0;
                p.state = SKIP_LINE;
                closeValue(p, p.position);
            }
            return true;
        }
        p.state = base;
        if (!replay(ini, p, at)) return false;
    }
    if (p.state == IN_VALUE) return true;
    p.position = at;
    return __ini_parseChar(ini, p, c);
}

// Skips from block[i] over the characters that the character loop would
// only copy; returns the index of the next one it must see.
std::size_t skipRun(ini_parser &p, const ClassTable &classes, const char *block, std::size_t i,
                    std::size_t count, long offset) {
    auto classOf = [&](std::size_t at) { return classes.of[static_cast<unsigned char>(block[at])]; };
    const std::size_t first = i;
    switch (p.state) {
    case SKIP_LINE:
        while (i < count && !(classOf(i) & STOP_ALWAYS)) ++i;
        return i;
    case IN_KEY:
    case IN_HEADING: {
        // "=" ends a key name, "]" a heading name.
        const unsigned char stops = STOP_ALWAYS | (p.state == IN_KEY ? STOP_EQUALS : STOP_CLOSE);
        while (i < count && !(classOf(i) & stops)) ++i;
        if (i > first) p.position = offset + static_cast<long>(i) - 1;
        return i;
    }
    case IN_VALUE:
    case VALUE_START:
        if (p.matched != 0) return i;
        // Whitespace lets a marker begin; anything else continues the value.
        for (; i < count; ++i) {
            const unsigned char c = classOf(i);
            if (c & STOP_ALWAYS) break;
            if (c & STOP_SPACE) {
                p.state = VALUE_START;
                p.position = offset + static_cast<long>(i);
            } else if (p.state == VALUE_START && (c & STOP_MARKER)) {
                break;
            } else {
                p.state = IN_VALUE;
            }
        }
        return i;
    default:
        return i;
    }
}

}  // namespace

bool __ini_parseChar(ini_t *ini, ini_parser &p, int c) {
    switch (c) {
    case '[':
        if (p.state == LINE_BEGUN) {
            p.state = IN_HEADING;
            p.start = p.position + 1;
        }
        return true;
    case ']':
        if (p.state == IN_HEADING) {
            p.end = p.position;
            if (!addHeading(ini, p, p.start, static_cast<std::size_t>(p.end - p.start))) return false;
            p.state = SKIP_LINE;
        }
        return true;
    case '=':
        if (p.state == IN_HEADING) return true;
        p.end = p.position;
        if (p.start != -1) {
            if (!ini->current && !addHeading(ini, p, 0, 0)) return false;
            // A name here begins with a non-whitespace character, so a
            // missing key means that a record could not be allocated.
            p.key = addKey(ini, p, p.start, static_cast<std::size_t>(p.end - p.start));
            if (!p.key) return false;
        }
        p.state = VALUE_START;
        return true;
    default:
        if (p.state == LINE_BEGUN) {
            p.state = IN_KEY;
            p.start = p.position;
        }
        return true;
    }
}

bool __ini_parseFile(ini_t *ini, FILE *source, const char *marker) {
    ini_parser p;
    const ClassTable classes(marker);
    p.marker = marker;
    p.source = source;
    std::size_t capacity = BLOCK_SIZE;
    char *buffer = static_cast<char *>(std::malloc(capacity));
    bool ok = buffer != nullptr;
    long offset = 0;  // file position of the next block
    while (ok && p.state != PARSE_END) {
        // Keep the bytes that a name still to be recorded or held marker
        // characters refer to; drop the rest.
        long keep = p.windowEnd - p.matched;
        if (p.nameOpen() && p.start < keep) keep = p.start;
        if (keep < p.windowOffset) keep = p.windowOffset;
        const std::size_t kept = static_cast<std::size_t>(p.windowEnd - keep);
        std::memmove(buffer, buffer + (keep - p.windowOffset), kept);
        if (kept + BLOCK_SIZE > capacity) {
            char *larger = static_cast<char *>(std::realloc(buffer, 2 * (kept + BLOCK_SIZE)));
            if (!larger) {
                ok = false;
                break;
            }
            buffer = larger;
            capacity = 2 * (kept + BLOCK_SIZE);
        }
        p.window = buffer;
        p.windowOffset = keep;

        char *block = buffer + kept;
        std::size_t count = 0;
        if (std::fseek(source, offset, SEEK_SET) == 0) count = std::fread(block, 1, BLOCK_SIZE, source);
        if (count == 0) {
            // End of file reads as a Ctrl-Z; anything else is a read error.
            ok = !std::ferror(source) && std::feof(source) && step(ini, p, CTRL_Z, offset);
            break;
        }
        p.windowEnd = offset + static_cast<long>(count);

        std::size_t i = 0;
        // A UTF-8 byte-order mark that starts the file is no text: it goes to
        // the working copy, so that positions still agree, but not to the parser.
        if (offset == 0 && count >= kByteOrderMark.size() &&
            std::memcmp(block, kByteOrderMark.data(), kByteOrderMark.size()) == 0)
            i = kByteOrderMark.size();
        while (i < count && p.state != PARSE_END) {
            i = skipRun(p, classes, block, i, count, offset);
            if (i == count) break;
            if (!step(ini, p, static_cast<unsigned char>(block[i]), offset + static_cast<long>(i))) {
                ok = false;
                break;
            }
            ++i;
        }
        // Every character before a Ctrl-Z goes to the working copy.
        const std::size_t copied = p.state == PARSE_END ? i - 1 : i;
        if (ok && std::fwrite(block, 1, copied, ini->work) != copied) ok = false;
        offset += static_cast<long>(count);
    }
    std::free(buffer);
    ini->current = nullptr;
    return ok && std::fflush(ini->work) == 0;
}
