// SPDX-License-Identifier: BSD-3-Clause
// Enumeration of /dev/QVUsbKey0..31, with a private /dev that holds only the
// nodes each test places there.
#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "udk_api.h"

namespace {

constexpr char kFill = '\xEE';

std::string node(int index) { return "/dev/QVUsbKey" + std::to_string(index); }

int open_descriptor_count() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) ++count;
    if (dir != nullptr) closedir(dir);
    return count;
}

class Enumerate : public ::testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_PRIVATE_NAMESPACES();
        qvk::test::private_dev({"null"});
        list.fill(kFill);
    }
    qvk::test::UdkApi api;
    std::array<char, 4096> list;
    uint8_t count = 0x55;

    std::string slot(int i) const { return std::string(list.data() + i * 128); }
    bool slot_padded(int i) const {
        const char *s = list.data() + i * 128;
        for (std::size_t k = std::strlen(s); k < 128; ++k)
            if (s[k] != '\0') return false;
        return true;
    }
};

TEST_F(Enumerate, NoNodeLeavesCountAndListAlone) {
    EXPECT_EQ(api.enumerate(&count, list.data()), 0);
    EXPECT_EQ(count, 0x55);
    for (char c : list) ASSERT_EQ(c, kFill);
}

TEST_F(Enumerate, ListsOpenableNodesFromSlotZeroInIndexOrder) {
    qvk::test::write_file(node(17), "");
    qvk::test::write_file(node(3), "");
    ASSERT_EQ(mkdir(node(5).c_str(), 0755), 0);  // cannot be opened read-write: skipped
    qvk::test::write_file("/dev/QVUsbKey03", "");  // not a name the driver uses
    qvk::test::write_file("/dev/QVUsbKey32", "");

    const int descriptors_before = open_descriptor_count();
    EXPECT_EQ(api.enumerate(&count, list.data()), 1);
    EXPECT_EQ(open_descriptor_count(), descriptors_before) << "enumeration leaves nothing open";

    EXPECT_EQ(count, 2);
    EXPECT_EQ(slot(0), "/dev/QVUsbKey3");
    EXPECT_EQ(slot(1), "/dev/QVUsbKey17");
    EXPECT_TRUE(slot_padded(0));
    EXPECT_TRUE(slot_padded(1));
    for (std::size_t i = 256; i < list.size(); ++i) ASSERT_EQ(list[i], kFill) << "byte " << i;
}

TEST_F(Enumerate, AllThirtyTwoNodesFillTheWholeList) {
    for (int i = 31; i >= 0; --i) qvk::test::write_file(node(i), "");
    EXPECT_EQ(api.enumerate(&count, list.data()), 1);
    EXPECT_EQ(count, 32);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(slot(i), node(i));
        EXPECT_TRUE(slot_padded(i)) << "slot " << i;
    }
}

TEST_F(Enumerate, NullArgumentsAreRefused) {
    qvk::test::write_file(node(0), "");
    EXPECT_EQ(api.enumerate(nullptr, list.data()), 0);
    EXPECT_EQ(api.enumerate(&count, nullptr), 0);
    EXPECT_EQ(count, 0x55);
}

}  // namespace
