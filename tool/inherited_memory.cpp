// SPDX-License-Identifier: BSD-3-Clause
#include "inherited_memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// Kernel headers older than 5.14 do not name them; such kernels refuse them.
#ifndef MADV_POPULATE_READ
constexpr int MADV_POPULATE_READ = 22;
#endif
#ifndef MADV_POPULATE_WRITE
constexpr int MADV_POPULATE_WRITE = 23;
#endif

struct FileClose {
    void operator()(FILE *file) const { std::fclose(file); }
};

// The next field of a maps line (separated by spaces), taken off the line.
std::string_view nextField(std::string_view &line) {
    const std::size_t begin = line.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(begin);
    const std::size_t end = line.find(' ');
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return field;
}

bool parseHex(std::string_view text, std::uintptr_t &value) {
    const auto [at, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && at == text.data() + text.size() && !text.empty();
}

// Keeps kHeapRoom free at the heap's top (malloc's top pad, which a trim
// leaves too) and grows the heap once so that the room is there now: small
// blocks are taken until the heap's end moves, then given back.
void makeHeapRoom() {
    mallopt(M_TOP_PAD, static_cast<int>(InheritedMemory::kHeapRoom));
    const void *const end = sbrk(0);
    std::vector<void *> blocks;
    constexpr std::size_t kBlock = 16 << 10;  // below the size malloc maps by itself
    while (sbrk(0) == end && blocks.size() < 2 * InheritedMemory::kHeapRoom / kBlock)
        blocks.push_back(std::malloc(kBlock));
    for (void *block : blocks) std::free(block);
}

void populate(std::uintptr_t start, std::uintptr_t end, bool write) {
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start,
                write ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
}

}  // namespace

std::optional<MappingLine> parseMappingLine(std::string_view line) {
    // "start-end perms offset device inode [name]"
    MappingLine mapping;
    const std::string_view range = nextField(line);
    const std::string_view perms = nextField(line);
    const std::size_t dash = range.find('-');
    if (dash == std::string_view::npos || !parseHex(range.substr(0, dash), mapping.start) ||
        !parseHex(range.substr(dash + 1), mapping.end) || mapping.end <= mapping.start ||
        perms.size() != 4)
        return std::nullopt;
    mapping.readable = perms[0] == 'r';
    mapping.writable = perms[1] == 'w';
    mapping.shared = perms[3] == 's';
    for (int field = 0; field < 3; ++field)  // offset, device, inode
        if (nextField(line).empty()) return std::nullopt;
    const std::size_t name = line.find_first_not_of(' ');
    if (name != std::string_view::npos) {
        mapping.name = line.substr(name);
        if (!mapping.name.empty() && mapping.name.back() == '\n') mapping.name.remove_suffix(1);
    }
    return mapping;
}

std::optional<InheritedMemory::Range> InheritedMemory::rangeFor(const MappingLine &mapping) {
    if (mapping.shared || !mapping.readable || mapping.end - mapping.start > kLargest)
        return std::nullopt;
    if (mapping.name == "[stack]") {
        if (!mapping.writable) return std::nullopt;
        return Range{mapping.start, mapping.end, true};
    }
    if (mapping.name.empty() || mapping.name.front() != '/') return std::nullopt;
    // A file that has gone since it was mapped is still mapped; its name then
    // ends in " (deleted)", and its pages are taken as any other's.
    return Range{mapping.start, mapping.end, mapping.writable};
}

InheritedMemory InheritedMemory::ofThisProcess() {
    makeHeapRoom();
    InheritedMemory memory;
    const std::unique_ptr<FILE, FileClose> maps(std::fopen("/proc/self/maps", "re"));
    if (!maps) return memory;
    char *line = nullptr;
    std::size_t capacity = 0;
    while (getline(&line, &capacity, maps.get()) > 0) {
        const std::optional<MappingLine> mapping = parseMappingLine(line);
        if (!mapping) continue;
        if (mapping->name == "[heap]")
            memory.heapStart_ = mapping->start;
        else if (const std::optional<Range> range = rangeFor(*mapping))
            memory.ranges_.push_back(*range);
    }
    std::free(line);
    return memory;
}

void InheritedMemory::take() const {
    if (heapStart_ != 0) populate(heapStart_, reinterpret_cast<std::uintptr_t>(sbrk(0)), true);
    for (const Range &range : ranges_) populate(range.start, range.end, range.write);
}
