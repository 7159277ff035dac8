// SPDX-License-Identifier: BSD-3-Clause
// What a home's child inherits from the sweeping process and goes on to use:
// the code and data of the libraries (NSS, its software token, the resident
// module), the heap and the stack. Taken page by page, each page costs the
// child a page fault; taken in one step when the child starts (madvise with
// MADV_POPULATE_READ or MADV_POPULATE_WRITE, Linux 5.14 and later) it costs a
// fraction of that. A kernel without these, or a range that cannot be taken,
// leaves the child to its page faults: nothing else changes.
//
// The heap is given room for what a profile attempt allocates (NSS and the
// module, a few hundred KiB) before it is noted, so the child takes that room
// in the same step instead of growing its heap a page fault at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// One line of /proc/<pid>/maps, as far as it matters here.
struct MappingLine {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    bool readable = false;
    bool writable = false;
    bool shared = false;
    std::string_view name;  // a file's path, "[heap]", "[stack]", ... or empty
};
std::optional<MappingLine> parseMappingLine(std::string_view line);

class InheritedMemory {
public:
    // Gives the heap kHeapRoom of free room at its top, which it keeps from
    // then on, and notes this process's mappings, to be taken by each child
    // forked later.
    static InheritedMemory ofThisProcess();
    static constexpr std::size_t kHeapRoom = std::size_t{512} << 10;

    // In a child just forked: takes every noted mapping (the heap up to its
    // current end). Changes nothing but when the child's pages are filled in.
    void take() const;

    struct Range {
        std::uintptr_t start;
        std::uintptr_t end;
        bool write;  // the child's own copy now, not on its first write
    };
    // The ranges that take() covers besides the heap.
    const std::vector<Range> &ranges() const { return ranges_; }

    // Which mappings are taken, and how: private mappings of files (code,
    // read-only data, and, for writing, their writable data) and the stack.
    // Shared and anonymous mappings are left alone: the child may never use
    // what they reserve. So is anything larger than kLargest.
    static std::optional<Range> rangeFor(const MappingLine &mapping);
    static constexpr std::uintptr_t kLargest = std::uintptr_t{64} << 20;

private:
    std::vector<Range> ranges_;
    std::uintptr_t heapStart_ = 0;
};
