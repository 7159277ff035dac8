// SPDX-License-Identifier: BSD-3-Clause
// The device registry and the handle map, driven through the calls the
// request loop makes, with stand-in families bound by load_dev_families.
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_hook.h"
#include "dev_families.h"
#include "key_handle_map.h"
#include "key_registry.h"
#include "sandbox.h"
#include "stand_in_control.h"

using qvk::test::StandIn;
using qvk::test::StandInControl;

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_PRIVATE_NAMESPACES();
        unload_dev_families();  // left by an earlier case of this process
        key_registry_reset();
    }

    // Installs the families, points them at the control, binds them.
    void start(StandInControl control, std::initializer_list<StandIn> families) {
        qvk::test::private_directory(QVK_PLUGIN_DIR);
        control.log(log_file).write_and_export(work / "control");
        for (StandIn family : families) qvk::test::install_stand_in(family, QVK_PLUGIN_DIR);
        ASSERT_EQ(load_dev_families(), 1);
    }

    std::vector<std::string> enumerate(std::uint32_t expected_result = 1) {
        std::uint8_t count = 0xEE;
        list.fill('\x55');
        EXPECT_EQ(key_enum_devices(count, list), expected_result);
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) paths.emplace_back(list.data() + i * DEV_PATH_SLOT_SIZE);
        // Each listed slot is its path and zero bytes; unlisted slots are zero.
        for (std::size_t slot = 0; slot < DEV_MAX_COUNT; ++slot) {
            const char *start = list.data() + slot * DEV_PATH_SLOT_SIZE;
            const std::size_t text = slot < paths.size() ? paths[slot].size() : 0;
            for (std::size_t i = text; i < DEV_PATH_SLOT_SIZE; ++i)
                EXPECT_EQ(start[i], '\0') << "slot " << slot << " byte " << i;
        }
        return paths;
    }

    std::vector<std::string> calls() const { return qvk::test::stand_in_log(log_file); }

    std::uint32_t transmit(std::uint32_t handle, std::int32_t &length) {
        const std::array<std::uint8_t, 4> command{0x00, 0xCA, 0x01, 0x02};
        return key_transmit(handle, 4, command.data(), length, response.data());
    }

    qvk::test::TempDir work;
    const std::string log_file = work / "calls";
    std::array<char, DEV_PATH_LIST_SIZE> list{};
    std::array<std::uint8_t, RESP_PAYLOAD_SIZE> response{};
};

std::vector<std::string> numbered(const std::string &stem, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back(stem + std::to_string(i));
    return paths;
}

TEST_F(Registry, EnumerationGoesInFamilyOrderAndEmptiesTheRest) {
    start(StandInControl()
              .devices("hid", {"/dev/hid0"})
              .devices("udk", {"/dev/udk0", "/dev/udk1"})
              .devices("ccid", {"/dev/ccid0"})
              .devices("udk", {})
              .devices("ccid", {})
              .devices("hid", {}),
          {StandIn::hid, StandIn::udk, StandIn::ccid});
    EXPECT_EQ(enumerate(), (std::vector<std::string>{"/dev/udk0", "/dev/udk1", "/dev/ccid0", "/dev/hid0"}));
    const std::array<std::int32_t, 5> families{1, 1, 2, 3, 0};
    for (std::size_t i = 0; i < families.size(); ++i) EXPECT_EQ(key_dev_table[i].family, families[i]) << i;
    EXPECT_EQ(key_dev_table[0].handle, 0u);

    // The next enumeration lists nothing: result 0, and no listed path stays openable.
    EXPECT_TRUE(enumerate(0).empty());
    EXPECT_EQ(key_dev_table[0].family, DEV_FAMILY_NONE);
    EXPECT_EQ(key_open_device("/dev/udk0"), 0u);
    EXPECT_EQ(calls(), (std::vector<std::string>{"udk enum -> 2", "ccid enum -> 1", "hid enum -> 1",
                                                 "udk enum -> 0", "ccid enum -> 0", "hid enum -> 0"}));
}

TEST_F(Registry, FortyDevicesAreListedAsThirtyTwo) {
    start(StandInControl()
              .devices("udk", numbered("/dev/udk", 20))
              .devices("ccid", numbered("/dev/ccid", 15))
              .devices("hid", numbered("/dev/hid", 5)),
          {StandIn::udk, StandIn::ccid, StandIn::hid});
    const std::vector<std::string> paths = enumerate();
    ASSERT_EQ(paths.size(), 32u);
    EXPECT_EQ(paths[19], "/dev/udk19");
    EXPECT_EQ(paths[31], "/dev/ccid11");
    EXPECT_EQ(key_dev_table[31].family, DEV_FAMILY_CCID);
    // The later family is still asked, though none of its devices fits.
    EXPECT_EQ(calls().back(), "hid enum -> 5");
}

TEST_F(Registry, AShorterPathRewritesTheLongerOneAndLaterEntriesGoAway) {
    start(StandInControl()
              .devices("udk", {"/dev/token-1234", "/dev/token-5678"})
              .devices("udk", {"/dev/token-123"})
              .open("udk", "/dev/token-123", {7})
              .open("udk", "/dev/token-5678", {8}),
          {StandIn::udk});
    enumerate();
    EXPECT_EQ(enumerate(), std::vector<std::string>{"/dev/token-123"});
    const std::string expected = "/dev/token-123";
    for (std::size_t i = 0; i < DEV_PATH_SLOT_SIZE; ++i)
        EXPECT_EQ(key_dev_table[0].path[i], i < expected.size() ? expected[i] : '\0') << i;
    EXPECT_EQ(key_dev_table[1].family, DEV_FAMILY_NONE);

    EXPECT_EQ(key_open_device("/dev/token-123"), 1u);  // the daemon's first handle
    EXPECT_EQ(key_open_device("/dev/token-5678"), 0u);  // no longer listed
    EXPECT_EQ(key_open_device("/dev/token-1234"), 0u);
    EXPECT_EQ(calls().back(), "udk open /dev/token-123 -> 7");
}

TEST_F(Registry, OpensRecordHandlesAndOnlyASuccessfulCloseForgetsOne) {
    start(StandInControl()
              .devices("hid", {"/dev/hid0"})
              .open("hid", "/dev/hid0", {7, 9, 5})
              .close("hid", 5, 0)
              .answer("hid", 0x9000, "AA BB"),
          {StandIn::hid});
    enumerate();
    // The daemon's handles 1, 2, 3 stand for the family's 7, 9, 5.
    EXPECT_EQ(key_open_device("/dev/hid0"), 1u);
    EXPECT_EQ(key_open_device("/dev/hid0"), 2u);
    EXPECT_EQ(key_close_device(2), 1u);

    std::int32_t length = 16;
    EXPECT_EQ(transmit(1, length), 0x9000u);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(response[0], 0xAA);

    // A second close of one handle answers 1 without asking the family.
    EXPECT_EQ(key_close_device(1), 1u);
    EXPECT_EQ(key_close_device(1), 1u);
    length = 33;
    EXPECT_EQ(transmit(1, length), QVK_STATUS_NOT_OPEN);
    EXPECT_EQ(length, 33);

    // A refused close keeps the record: the next close asks the family again.
    EXPECT_EQ(key_open_device("/dev/hid0"), 3u);
    EXPECT_EQ(key_close_device(3), 0u);
    EXPECT_EQ(key_close_device(3), 0u);
    EXPECT_EQ(transmit(3, length), 0x9000u);

    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "hid enum -> 1", "hid open /dev/hid0 -> 7", "hid open /dev/hid0 -> 9",
                           "hid close 9 -> 1", "hid transmit 7 4 00ca0102 16 -> 9000 2",
                           "hid close 7 -> 1", "hid open /dev/hid0 -> 5", "hid close 5 -> 0",
                           "hid close 5 -> 0", "hid transmit 5 4 00ca0102 33 -> 9000 2"}));
}

TEST_F(Registry, AFailedOpenRecordsNothing) {
    start(StandInControl()
              .devices("udk", {"/dev/QVUsbKey0", "/dev/QVUsbKey1"})
              .open("udk", "/dev/QVUsbKey0", {0})
              .open("udk", "/dev/QVUsbKey1", {0xFFFFFFFF}),
          {StandIn::udk});
    enumerate();
    EXPECT_EQ(key_open_device("/dev/QVUsbKey0"), 0u);
    EXPECT_EQ(key_open_device("/dev/QVUsbKey1"), 0u);  // the kernel-driver family's "not opened"
    EXPECT_EQ(key_open_device("/dev/QVUsbKey2"), 0u);  // not listed: no family call
    EXPECT_EQ(key_handle_map_list, nullptr);
    std::int32_t length = 4;
    EXPECT_EQ(transmit(0xFFFFFFFF, length), QVK_STATUS_NOT_OPEN);
    EXPECT_EQ(key_close_device(0xFFFFFFFF), 1u);
    EXPECT_EQ(calls(), (std::vector<std::string>{"udk enum -> 2", "udk open /dev/QVUsbKey0 -> 0",
                                                 "udk open /dev/QVUsbKey1 -> 4294967295"}));
}

TEST_F(Registry, NoMemoryForTheRecordClosesTheDeviceAgain) {
    start(StandInControl().devices("ccid", {"/dev/ccid0"}).open("ccid", "/dev/ccid0", {3, 7, 8, 9}),
          {StandIn::ccid});
    enumerate();
    ASSERT_EQ(key_open_device("/dev/ccid0"), 1u);
    key_handle_map_node *const before = key_handle_map_list;

    qvk::test::fail_nothrow_allocation(1);  // the record
    EXPECT_EQ(key_open_device("/dev/ccid0"), 0u);
    qvk::test::fail_nothrow_allocation(2);  // the node
    EXPECT_EQ(key_open_device("/dev/ccid0"), 0u);
    qvk::test::fail_nothrow_allocation(0);

    EXPECT_EQ(key_handle_map_list, before);
    EXPECT_EQ(before->next, nullptr);
    EXPECT_EQ(key_handle_map_find(key_handle_map_list, 2), nullptr);
    EXPECT_EQ(key_handle_map_find(key_handle_map_list, 3), nullptr);
    EXPECT_EQ(key_open_device("/dev/ccid0"), 4u);  // 2 and 3 went with the unrecorded opens
    EXPECT_EQ(key_close_device(1), 1u);
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "ccid enum -> 1", "ccid open /dev/ccid0 -> 3", "ccid open /dev/ccid0 -> 7",
                           "ccid close 7 -> 1", "ccid open /dev/ccid0 -> 8", "ccid close 8 -> 1",
                           "ccid open /dev/ccid0 -> 9", "ccid close 3 -> 1"}));
}

// The daemon's handles skip 0 and 0xFFFFFFFF when they wrap, and any that is
// still open.
TEST_F(Registry, HandlesSkipTheNotOpenedValuesAndThoseStillOpen) {
    start(StandInControl().devices("udk", {"/dev/QVUsbKey0"}).open("udk", "/dev/QVUsbKey0", {5}),
          {StandIn::udk});
    enumerate();
    key_handle_seed(0xFFFFFFFE);
    EXPECT_EQ(key_open_device("/dev/QVUsbKey0"), 0xFFFFFFFEu);
    EXPECT_EQ(key_open_device("/dev/QVUsbKey0"), 1u);
    key_handle_seed(0xFFFFFFFE);
    EXPECT_EQ(key_open_device("/dev/QVUsbKey0"), 2u);
    // Every one of them reaches the family as its own handle.
    std::int32_t length = 0;
    EXPECT_EQ(transmit(2, length), 0x9000u);
    EXPECT_EQ(calls().back(), "udk transmit 5 4 00ca0102 0 -> 9000 0");
}

// Handles whose opener has died are closed through their family; those of a
// live opener, or of one that could not be told, stay.
TEST_F(Registry, HandlesOfDeadOpenersAreReclaimed) {
    start(StandInControl()
              .devices("ccid", {"/dev/ccid0"})
              .open("ccid", "/dev/ccid0", {11, 12, 13, 14})
              .close("ccid", 14, 0),
          {StandIn::ccid});
    enumerate();
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);

    const std::uint32_t of_dead = key_open_device("/dev/ccid0", dead);
    const std::uint32_t of_live = key_open_device("/dev/ccid0", getpid());
    const std::uint32_t of_unknown = key_open_device("/dev/ccid0", 0);
    const std::uint32_t refused = key_open_device("/dev/ccid0", dead);  // its family will not close it
    EXPECT_EQ(key_reclaim_orphans(), 1u);
    const std::vector<std::string> logged = calls();
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(logged.end() - 2, logged.end()),
              (std::vector<std::string>{"ccid close 14 -> 0", "ccid close 11 -> 1"}));
    std::int32_t length = 0;
    EXPECT_EQ(transmit(of_dead, length), QVK_STATUS_NOT_OPEN);
    for (std::uint32_t kept : {of_live, of_unknown, refused}) EXPECT_EQ(transmit(kept, length), 0x9000u);
    EXPECT_EQ(key_reclaim_orphans(), 0u);
}

}  // namespace
