// SPDX-License-Identifier: BSD-3-Clause
// What a home's child takes of the sweeping process's memory in one step:
// which lines of /proc/<pid>/maps are taken and how, this process's own map,
// and a child that takes it and then finds its pages there, unchanged.
#include "inherited_memory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

enum class Taken { NotParsed, No, Read, Write };

struct MapsCase {
    const char *line;
    Taken expected;
    const char *name;  // the name parsed, for lines that parse
};

Taken takenFor(const char *line) {
    const std::optional<MappingLine> mapping = parseMappingLine(line);
    if (!mapping) return Taken::NotParsed;
    const std::optional<InheritedMemory::Range> range = InheritedMemory::rangeFor(*mapping);
    if (!range) return Taken::No;
    return range->write ? Taken::Write : Taken::Read;
}

class MapsLines : public testing::TestWithParam<MapsCase> {};

TEST_P(MapsLines, AreTakenAsTheirKindAsks) {
    EXPECT_EQ(takenFor(GetParam().line), GetParam().expected) << GetParam().line;
    if (const std::optional<MappingLine> mapping = parseMappingLine(GetParam().line)) {
        EXPECT_EQ(std::string(mapping->name), GetParam().name);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MapsLines,
    testing::Values(
        MapsCase{"7f1c2a028000-7f1c2a1bd000 r-xp 00028000 08:01 1234   /usr/lib/x86_64-linux-gnu/libc.so.6\n",
                 Taken::Read, "/usr/lib/x86_64-linux-gnu/libc.so.6"},
        MapsCase{"7f1c2a215000-7f1c2a219000 r--p 00214000 08:01 1234   /usr/lib/x86_64-linux-gnu/libc.so.6",
                 Taken::Read, "/usr/lib/x86_64-linux-gnu/libc.so.6"},
        MapsCase{"7f1c2a219000-7f1c2a21b000 rw-p 00218000 08:01 1234   /usr/lib/x86_64-linux-gnu/libc.so.6",
                 Taken::Write, "/usr/lib/x86_64-linux-gnu/libc.so.6"},
        MapsCase{"7f1c2a300000-7f1c2a301000 r-xp 00000000 08:01 99 /opt/a dir/lib x.so (deleted)",
                 Taken::Read, "/opt/a dir/lib x.so (deleted)"},
        MapsCase{"7f1c2a21b000-7f1c2a228000 rw-p 00000000 00:00 0 ", Taken::No, ""},
        MapsCase{"55d0c8a1e000-55d0c8a3f000 rw-p 00000000 00:00 0   [heap]", Taken::No, "[heap]"},
        MapsCase{"7ffd5c0e2000-7ffd5c103000 rw-p 00000000 00:00 0   [stack]", Taken::Write, "[stack]"},
        MapsCase{"7ffd5c1f6000-7ffd5c1fa000 r--p 00000000 00:00 0   [vvar]", Taken::No, "[vvar]"},
        MapsCase{"7ffd5c1fa000-7ffd5c1fc000 r-xp 00000000 00:00 0   [vdso]", Taken::No, "[vdso]"},
        MapsCase{"7f1c2a400000-7f1c2a500000 rw-s 00000000 00:1a 7 /dev/shm/segment", Taken::No,
                 "/dev/shm/segment"},
        MapsCase{"7f1c2a500000-7f1c2a600000 ---p 00000000 08:01 1234 /usr/lib/libx.so", Taken::No,
                 "/usr/lib/libx.so"},
        // Larger than anything a child is sure to use.
        MapsCase{"7f0000000000-7f0008000000 r--p 00000000 08:01 5 /usr/lib/locale/archive", Taken::No,
                 "/usr/lib/locale/archive"},
        MapsCase{"", Taken::NotParsed, ""},
        MapsCase{"garbage", Taken::NotParsed, ""},
        MapsCase{"2000-1000 r-xp 00000000 08:01 1 /usr/lib/x.so", Taken::NotParsed, ""},
        MapsCase{"1000-2000 r-x 00000000 08:01 1 /usr/lib/x.so", Taken::NotParsed, ""},
        MapsCase{"1000-2000 r-xp 00000000 08:01", Taken::NotParsed, ""},
        MapsCase{"10x0-2000 r-xp 00000000 08:01 1 /usr/lib/x.so", Taken::NotParsed, ""}));

// Written by this process before it forks; a child's copy must read the same.
alignas(4096) std::uint8_t g_written[64 * 4096] = {1};

bool covers(const InheritedMemory &memory, const void *address, bool write) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (const InheritedMemory::Range &range : memory.ranges())
        if (range.start <= at && at < range.end) return range.write == write;
    return false;
}

TEST(InheritedMemory, ThisProcessesCodeIsReadAndItsDataWritten) {
    const InheritedMemory memory = InheritedMemory::ofThisProcess();
    EXPECT_TRUE(covers(memory, reinterpret_cast<const void *>(&takenFor), false));
    EXPECT_TRUE(covers(memory, g_written, true));
    const auto *heap = new int(1);
    EXPECT_FALSE(covers(memory, heap, true) || covers(memory, heap, false));
    delete heap;
    EXPECT_TRUE(covers(memory, __builtin_frame_address(0), true));  // the stack
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnAllocator = true;  // the sanitizer's, not the heap's
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kOwnAllocator = true;
#else
constexpr bool kOwnAllocator = false;
#endif
#else
constexpr bool kOwnAllocator = false;
#endif

struct ChildFaults {
    long data = -1;  // writing its copy of g_written, one byte a page; -1: the copy differs
    long heap = -1;  // allocating and writing 256 KiB in blocks of 16 KiB
};

// Forks a child that takes its memory (or not) and counts its page faults.
ChildFaults faultsInAChild(bool take, const InheritedMemory &inherited) {
    int pipeFds[2];
    ChildFaults faults;
    if (pipe(pipeFds) != 0) return faults;
    const pid_t child = fork();
    if (child == 0) {
        if (take) inherited.take();
        const auto minorFaults = [] {
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            return usage.ru_minflt;
        };
        long before = minorFaults();
        bool same = true;
        for (std::size_t i = 0; i < sizeof g_written; i += 4096) {
            same = same && g_written[i] == static_cast<std::uint8_t>(i * 7);
            g_written[i] = 0;
        }
        ChildFaults counted;
        counted.data = same ? minorFaults() - before : -1;
        before = minorFaults();
        for (int block = 0; block < 16; ++block) {
            auto *bytes = static_cast<volatile char *>(std::malloc(16 << 10));
            for (std::size_t i = 0; bytes != nullptr && i < (16 << 10); i += 4096) bytes[i] = 1;
        }
        counted.heap = minorFaults() - before;
        (void)!write(pipeFds[1], &counted, sizeof counted);
        _exit(0);
    }
    close(pipeFds[1]);
    if (read(pipeFds[0], &faults, sizeof faults) != sizeof faults) faults = ChildFaults{};
    close(pipeFds[0]);
    waitpid(child, nullptr, 0);
    return faults;
}

// A child that has taken its memory writes its copy of the data, and fills
// the heap's room, without a page fault for each page; and it finds what this
// process wrote there.
TEST(InheritedMemory, AChildThatTookItWritesWithoutAFaultPerPage) {
    if (madvise(g_written, 4096, 23 /* MADV_POPULATE_WRITE */) != 0)
        GTEST_SKIP() << "this kernel cannot populate page tables (Linux 5.14 or later can)";
    for (std::size_t i = 0; i < sizeof g_written; ++i) g_written[i] = static_cast<std::uint8_t>(i * 7);
    const InheritedMemory memory = InheritedMemory::ofThisProcess();
    const ChildFaults without = faultsInAChild(false, memory);
    const ChildFaults with = faultsInAChild(true, memory);
    ASSERT_GE(without.data, 0) << "the child's copy differs from what was written";
    ASSERT_GE(with.data, 0) << "the child's copy differs from what was written, once taken";
    EXPECT_GE(without.data, 64);  // one fault for each page written
    EXPECT_LE(with.data, 4);
    if (!kOwnAllocator) {
        EXPECT_LE(with.heap, 8) << "without taking it: " << without.heap;
    }
}

}  // namespace
