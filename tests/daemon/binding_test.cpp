// SPDX-License-Identifier: BSD-3-Clause
// Binding of the family plug-ins, in a private mount namespace: a tmpfs at
// the installed directory and a temporary working directory hold only the
// files each test places. The loader spy records what was opened and closed.
#include <dlfcn.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dev_families.h"
#include "key_registry.h"
#include "loader_spy.h"
#include "sandbox.h"
#include "stand_in_control.h"

using qvk::test::StandIn;

namespace {

const std::string kInstalled = QVK_PLUGIN_DIR;

std::vector<std::string> opened_paths() {
    std::vector<std::string> paths;
    for (const auto &call : qvk::test::loader_opens()) paths.push_back(call.path);
    return paths;
}

bool family_bound(std::int32_t family) {
    const dev_family_entries &e = dev_family_of(family)->entries;
    return e.enumerate && e.open && e.close && e.transmit;
}

bool family_empty(std::int32_t family) {
    const dev_family *f = dev_family_of(family);
    const dev_family_entries &e = f->entries;
    return !f->library && !e.enumerate && !e.open && !e.close && !e.transmit;
}

class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_PRIVATE_NAMESPACES();
        unload_dev_families();  // left by an earlier case of this process
        key_registry_reset();
        qvk::test::reset_loader_spy();
        qvk::test::private_directory(kInstalled);
        ASSERT_EQ(chdir(work.path().c_str()), 0);
    }
    qvk::test::TempDir work;
};

TEST_F(Binding, InstalledFileWinsAndEveryOpenIsLazy) {
    qvk::test::install_stand_in(StandIn::udk, kInstalled);
    qvk::test::install_stand_in(StandIn::udk_without_close, work.path());  // never looked at
    ASSERT_EQ(load_dev_families(), 1);

    EXPECT_EQ(opened_paths(), (std::vector<std::string>{
                                  kInstalled + "/libqvkmgrudk.so",
                                  kInstalled + "/libqvkmgrccid.so", "./libqvkmgrccid.so",
                                  kInstalled + "/libqvkmgrhid.so", "./libqvkmgrhid.so"}));
    for (const auto &call : qvk::test::loader_opens()) EXPECT_EQ(call.flags, RTLD_LAZY) << call.path;
    EXPECT_TRUE(qvk::test::loader_opens()[0].loaded);
    EXPECT_TRUE(family_bound(DEV_FAMILY_UDK));
    EXPECT_TRUE(family_empty(DEV_FAMILY_CCID));
    EXPECT_TRUE(family_empty(DEV_FAMILY_HID));
    EXPECT_EQ(qvk::test::loader_closes(), 0);
    EXPECT_EQ(dev_family_of(0), nullptr);
    EXPECT_EQ(dev_family_of(4), nullptr);
}

TEST_F(Binding, OnlyTheCcidFileInTheWorkingDirectory) {
    qvk::test::StandInControl()
        .devices("*", {"/dev/stand-in-a", "/dev/stand-in-b"})
        .write_and_export(work / "control");
    qvk::test::install_stand_in(StandIn::ccid, work.path());
    ASSERT_EQ(load_dev_families(), 1);
    EXPECT_TRUE(family_empty(DEV_FAMILY_UDK));
    EXPECT_TRUE(family_bound(DEV_FAMILY_CCID));
    EXPECT_TRUE(family_empty(DEV_FAMILY_HID));

    std::uint8_t count = 0;
    std::array<char, DEV_PATH_LIST_SIZE> list{};
    EXPECT_EQ(key_enum_devices(count, list), 1u);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(key_dev_table[0].family, DEV_FAMILY_CCID);
    EXPECT_EQ(key_dev_table[1].family, DEV_FAMILY_CCID);
    EXPECT_STREQ(key_dev_table[1].path.data(), "/dev/stand-in-b");
    EXPECT_EQ(key_dev_table[2].family, DEV_FAMILY_NONE);
}

TEST_F(Binding, NothingAnywhereOpensAndClosesNothing) {
    EXPECT_EQ(load_dev_families(), 0);
    EXPECT_EQ(opened_paths(), (std::vector<std::string>{
                                  kInstalled + "/libqvkmgrudk.so", "./libqvkmgrudk.so",
                                  kInstalled + "/libqvkmgrccid.so", "./libqvkmgrccid.so",
                                  kInstalled + "/libqvkmgrhid.so", "./libqvkmgrhid.so"}));
    for (const auto &call : qvk::test::loader_opens()) EXPECT_FALSE(call.loaded) << call.path;
    EXPECT_EQ(qvk::test::loader_closes(), 0);
}

// One loaded plug-in that lacks an entry point (or exports it at a null
// address) blocks the whole binding, however complete the others are.
class IncompletePlugin : public Binding, public ::testing::WithParamInterface<StandIn> {};

TEST_P(IncompletePlugin, BlocksEveryFamilyAndUnloadsAll) {
    qvk::test::install_stand_in(GetParam(), kInstalled);
    qvk::test::install_stand_in(StandIn::ccid, work.path());
    qvk::test::install_stand_in(StandIn::hid, kInstalled);
    EXPECT_EQ(load_dev_families(), 0);

    int loaded = 0;
    for (const auto &call : qvk::test::loader_opens()) loaded += call.loaded ? 1 : 0;
    EXPECT_EQ(loaded, 3);
    EXPECT_EQ(qvk::test::loader_closes(), 3);
    for (std::int32_t family = 1; family <= DEV_FAMILY_COUNT; ++family)
        EXPECT_TRUE(family_empty(family)) << "family " << family;
}

INSTANTIATE_TEST_SUITE_P(EachEntryPoint, IncompletePlugin,
                         ::testing::Values(StandIn::udk_without_enum, StandIn::udk_without_open,
                                           StandIn::udk_without_close,
                                           StandIn::udk_without_transmit, StandIn::udk_null_open));

}  // namespace
