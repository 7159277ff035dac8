// SPDX-License-Identifier: BSD-3-Clause
// The INI engine on any file content and any comment marker, followed by a
// sequence of operations decoded from the input: selections, every kind of
// read, list mode, every writer, deletions, flush, merge with a second
// handle, close and reopen. Buffers handed to the engine are exactly as
// large as the size given, so a write past them is caught.
//
// Input: mode byte, marker length byte and marker, 2-byte content length and
// content, then operations (an operation byte and its arguments) to the end.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ini.h"

namespace {

struct Input {
    const uint8_t *data;
    std::size_t size;
    std::size_t at = 0;
    bool empty() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t number(int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= uint32_t{byte()} << (8 * i);
        return value;
    }
    std::string text(std::size_t limit) {
        const std::size_t length = std::min<std::size_t>(byte() % (limit + 1), size > at ? size - at : 0);
        std::string out(reinterpret_cast<const char *>(data + at), length);
        at += length;
        return out.c_str();  // up to the first NUL, as a C caller would pass it
    }
};

// A directory of its own under $TMPDIR (scripts/fuzz.sh points that at its
// scratch directory, which it removes afterwards).
const std::string &scratch_directory() {
    static const std::string directory = [] {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                              "/qvkinifuzz.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    return directory;
}

void write_file(const std::string &path, const uint8_t *data, std::size_t size) {
    FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size > 0) std::fwrite(data, 1, size, out);
    std::fclose(out);
}

const char *kModes[] = {"r", "w", "a", "wb", "ab", "ri", "wi", "abi"};

void read_into_exact_buffer(ini_t *ini, std::size_t size) {
    auto buffer = std::make_unique<char[]>(size == 0 ? 1 : size);
    const int got = ini_readText(ini, buffer.get(), size);
    if (got >= 0 && size > 0) {
        if (static_cast<std::size_t>(got) > size - 1) __builtin_trap();
        if (std::memchr(buffer.get(), '\0', size) == nullptr) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    Input in{data, size};
    const char *mode = kModes[in.byte() % std::size(kModes)];
    const std::string marker = in.text(4);
    const std::size_t content_length = std::min<std::size_t>(in.number(2), size > in.at ? size - in.at : 0);

    const std::string &dir = scratch_directory();
    const std::string path = dir + "/a.ini";
    const std::string other_path = dir + "/b.ini";
    write_file(path, data + in.at, content_length);
    write_file(other_path, data + in.at, content_length / 2);
    in.at += content_length;

    ini_t *ini = ini_open(path.c_str(), mode, marker.empty() ? nullptr : marker.c_str());
    ini_t *other = ini_open(other_path.c_str(), "w", marker.empty() ? nullptr : marker.c_str());

    for (int steps = 0; !in.empty() && steps < 64; ++steps) {
        const uint8_t operation = in.byte() % 20;
        if (ini == nullptr && operation != 19) continue;
        switch (operation) {
        case 0: ini_selectHeading(ini, in.text(16).c_str()); break;
        case 1: ini_selectKey(ini, in.text(16).c_str()); break;
        case 2: read_into_exact_buffer(ini, in.byte() % 64); break;
        case 3: {
            const std::string delimiters = in.text(3);
            ini_setListDelimiters(ini, delimiters.empty() ? nullptr : delimiters.c_str());
            break;
        }
        case 4: ini_listItemCount(ini); break;
        case 5: ini_seekListItem(ini, in.byte() % 8); break;
        case 6: {
            int b = 0; double d = 0; long l = 0; int i = 0;
            ini_readBool(ini, &b); ini_readDouble(ini, &d); ini_readLong(ini, &l); ini_readInt(ini, &i);
            break;
        }
        case 7: ini_dataLength(ini); break;
        case 8: ini_writeText(ini, in.text(24).c_str()); break;
        case 9: ini_writeInt(ini, static_cast<int>(in.number(4))); break;
        case 10: ini_writeBool(ini, in.byte() % 3); break;
        case 11: ini_writeDouble(ini, static_cast<int>(in.number(2)) / 7.0); break;
        case 12: ini_writeLong(ini, static_cast<long>(static_cast<int32_t>(in.number(4)))); break;
        case 13: ini_deleteKey(ini); break;
        case 14: ini_deleteHeading(ini); break;
        case 15: ini_deleteAll(ini); break;
        case 16: ini_flush(ini); break;
        case 17:
            if (in.byte() & 1) ini_merge(other, ini); else ini_merge(ini, other);
            break;
        case 18: {
            const char *heading = ini_currentHeading(ini);
            const char *key = ini_currentKey(ini);
            if ((heading && std::strlen(heading) > 1u << 20) || (key && std::strlen(key) > 1u << 20))
                __builtin_trap();
            break;
        }
        case 19:
            ini_close(ini);
            ini = ini_open(path.c_str(), kModes[in.byte() % std::size(kModes)], nullptr);
            break;
        }
    }
    ini_close(ini);
    ini_close(other);
    // Every working copy and temporary file is gone once the handles are closed.
    unlink(path.c_str());
    unlink(other_path.c_str());
    const std::string backups[] = {dir + "/a.in~", dir + "/b.in~"};
    for (const std::string &backup : backups) unlink(backup.c_str());
    return 0;
}
