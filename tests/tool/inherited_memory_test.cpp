// SPDX-License-Identifier: BSD-3-Clause
// What a home's child takes of the sweeping process's memory in one step:
// which lines of /proc/<pid>/maps are taken and how, this process's own map,
// and a child that takes it and then writes without a fault for each page.
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
    const char *name;  // as parsed, for lines that parse
};

class MapsLines : public testing::TestWithParam<MapsCase> {};

TEST_P(MapsLines, AreTakenAsTheirKindAsks) {
    const std::optional<MappingLine> mapping = parseMappingLine(GetParam().line);
    std::optional<InheritedMemory::Range> range;
    if (mapping) range = InheritedMemory::rangeFor(*mapping);
    const Taken taken = !mapping ? Taken::NotParsed : !range ? Taken::No : range->write ? Taken::Write : Taken::Read;
    EXPECT_EQ(taken, GetParam().expected);
    EXPECT_EQ(mapping ? std::string(mapping->name) : "", GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MapsLines,
    testing::Values(MapsCase{"7f1c2a028000-7f1c2a1bd000 r-xp 00028000 08:01 12   /usr/lib/libc.so.6\n", Taken::Read, "/usr/lib/libc.so.6"},
                    MapsCase{"7f1c2a219000-7f1c2a21b000 rw-p 00218000 08:01 12 /usr/lib/libc.so.6", Taken::Write, "/usr/lib/libc.so.6"},
                    MapsCase{"1000-2000 r-xp 00000000 08:01 9 /opt/a dir/x.so (deleted)", Taken::Read, "/opt/a dir/x.so (deleted)"},
                    MapsCase{"1000-2000 rw-p 00000000 00:00 0 ", Taken::No, ""},
                    MapsCase{"1000-2000 rw-p 00000000 00:00 0   [heap]", Taken::No, "[heap]"},
                    MapsCase{"1000-2000 rw-p 00000000 00:00 0   [stack]", Taken::Write, "[stack]"},
                    MapsCase{"1000-2000 rw-s 00000000 00:1a 7 /dev/shm/segment", Taken::No, "/dev/shm/segment"},
                    MapsCase{"1000-2000 ---p 00000000 08:01 12 /usr/lib/libx.so", Taken::No, "/usr/lib/libx.so"},
                    MapsCase{"7f0000000000-7f0008000000 r--p 00000000 08:01 5 /usr/lib/big", Taken::No, "/usr/lib/big"},
                    MapsCase{"garbage", Taken::NotParsed, ""},
                    MapsCase{"2000-1000 r-xp 00000000 08:01 1 /usr/lib/x.so", Taken::NotParsed, ""},
                    MapsCase{"1000-2000 r-xp 00000000 08:01", Taken::NotParsed, ""}));

// Written by this process before it forks; a child's copy must read the same.
alignas(4096) std::uint8_t g_written[64 * 4096] = {1};

bool covers(const InheritedMemory &memory, const void *address, bool write) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (const InheritedMemory::Range &range : memory.ranges())
        if (range.start <= at && at < range.end) return range.write == write;
    return false;
}

TEST(InheritedMemory, ThisProcessesCodeIsReadItsDataAndStackWrittenItsHeapApart) {
    const InheritedMemory memory = InheritedMemory::ofThisProcess();
    EXPECT_TRUE(covers(memory, reinterpret_cast<const void *>(&covers), false));
    EXPECT_TRUE(covers(memory, g_written, true));
    EXPECT_TRUE(covers(memory, __builtin_frame_address(0), true));
    const auto *heap = new int(1);
    EXPECT_FALSE(covers(memory, heap, true) || covers(memory, heap, false));
    delete heap;
}

long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Page faults of a child that writes one byte in each page of g_written (-1
// when its copy differs from what this process wrote), then in 256 KiB that
// it allocates in blocks of 16 KiB.
std::pair<long, long> faultsOfAChild(const InheritedMemory *taken) {
    int fds[2];
    std::pair<long, long> faults{-2, -2};
    if (pipe(fds) != 0) return faults;
    if (fork() == 0) {
        if (taken != nullptr) taken->take();
        long before = minorFaults();
        bool same = true;
        for (std::size_t i = 0; i < sizeof g_written; i += 4096) {
            same = same && g_written[i] == static_cast<std::uint8_t>(i / 4096 + 7);
            g_written[i] = 0;
        }
        faults.first = same ? minorFaults() - before : -1;
        before = minorFaults();
        for (int block = 0; block < 16; ++block)
            if (auto *bytes = static_cast<volatile char *>(std::malloc(16 << 10)))
                for (std::size_t i = 0; i < (16 << 10); i += 4096) bytes[i] = 1;
        faults.second = minorFaults() - before;
        _exit(write(fds[1], &faults, sizeof faults) == sizeof faults ? 0 : 1);
    }
    close(fds[1]);
    if (read(fds[0], &faults, sizeof faults) != sizeof faults) faults = {-2, -2};
    close(fds[0]);
    wait(nullptr);
    return faults;
}

TEST(InheritedMemory, AChildThatTookItWritesWithoutAFaultPerPage) {
    if (madvise(g_written, 4096, 23 /* MADV_POPULATE_WRITE */) != 0)
        GTEST_SKIP() << "this kernel cannot populate page tables (Linux 5.14 or later can)";
    for (std::size_t i = 0; i < sizeof g_written; i += 4096) g_written[i] = static_cast<std::uint8_t>(i / 4096 + 7);
    const InheritedMemory memory = InheritedMemory::ofThisProcess();
    const auto [dataWithout, heapWithout] = faultsOfAChild(nullptr);
    const auto [data, heap] = faultsOfAChild(&memory);
    EXPECT_GE(dataWithout, 64);  // one for each page, so the count is a fair one
    EXPECT_GE(data, 0) << "the child's copy differs from what was written";
    EXPECT_LE(data, 8);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's allocator keeps no heap
    EXPECT_LE(heap, 16) << "without taking it: " << heapWithout;
#endif
}

}  // namespace
