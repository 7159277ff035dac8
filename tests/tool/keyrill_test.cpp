// SPDX-License-Identifier: BSD-3-Clause
// Keyrill end to end, as root, in private mounts over /root and /home, on real
// profiles.ini files and NSS profile databases, with SoftHSM as the module.
// Every profile is checked afterwards with modutil and certutil run as its owner.
#include "keyrill_fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>

using namespace qvk::test;

namespace {

constexpr uid_t kAlice = 12345, kBob = 12346, kCarol = 12347;
constexpr const char *kModule = "keyrill-test";

ProcessResult keyrill(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KEYRILL_PATH);
    return run_program(arguments);
}

std::string makeProfile(const std::string &home, const std::string &appDir, const std::string &ini,
                        const std::string &profile, uid_t uid) {
    return make_profile(home, appDir, ini, profile, uid);
}

std::string ini(const std::string &path) { return profiles_ini(path); }

std::string inListingOrder(const std::map<std::string, std::string> &lines) {
    return in_listing_order(lines);
}

class KeyrillTool : public testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_PRIVATE_NAMESPACES();
        mount_empty_homes();
    }

    // Runs Keyrill and expects exactly the given output on standard output only.
    void expectRun(std::vector<std::string> arguments, const std::string &output) {
        const ProcessResult result = keyrill(std::move(arguments));
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, output);
        EXPECT_EQ(result.err, "");
    }

    SoftHsm softHsm;
};

}  // namespace

TEST_F(KeyrillTool, ModuleIsAddedAndDeletedForRootAndEveryUserOnce) {
    const std::string rootFf =
        makeProfile("/root", ".mozilla/firefox", ini("r.default"), "r.default", 0);
    make_owned_directories("/home", "alice", kAlice, kAlice);
    const std::string aliceFf = makeProfile("/home/alice", ".mozilla/firefox",
                                            "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName="
                                            "default\nIsRelative=1\nPath=a.default\nDefault=1\n",
                                            "a.default", kAlice);
    // Heading and key in capitals, blanks around a value naming a subdirectory.
    const std::string aliceTb = makeProfile("/home/alice", ".thunderbird",
                                            "[PROFILE0]\r\nPATH =  \tProfiles/t.default  \r\n",
                                            "Profiles/t.default", kAlice);
    make_owned_directories("/home", "bob", kBob, kBob);
    // A profile list holding nothing but "[Profile1]": not found.
    const std::string bobUnlisted =
        makeProfile("/home/bob", ".mozilla/firefox", "[Profile1]", "b.default", kBob);
    const std::string bobTb =
        makeProfile("/home/bob", ".thunderbird", ini("b.default"), "b.default", kBob);
    make_owned_directories("/home", "carol", kCarol, kCarol);  // no profiles at all
    make_owned_directories("/home", "lost+found", 0, 0);
    ASSERT_EQ(symlink("/home/alice", "/home/dave"), 0);
    const std::vector<std::pair<std::string, uid_t>> changed{
        {rootFf, 0}, {aliceFf, kAlice}, {aliceTb, kAlice}, {bobTb, kBob}};

    // The wrong count: the usage text, nothing touched.
    EXPECT_EQ(keyrill({"-add", kModule}).out.rfind("  Usage: Keyrill CMD modulename", 0), 0u);
    EXPECT_EQ(list_modules(rootFf, 0, 0).find(kModule), std::string::npos);

    const std::string added =
        "        Add PKCS#11 module for root succeed.\n" +
        inListingOrder({{"alice", "        Add PKCS#11 module for alice succeed\n"},
                        {"bob", "        Add PKCS#11 module for bob succeed\n"}});
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "first add" : "second add");
        expectRun({"-add", kModule, kSoftHsmLibrary}, added);
        for (const auto &[profile, owner] : changed) {
            EXPECT_NE(list_modules(profile, owner, owner).find(kModule), std::string::npos)
                << profile;
            EXPECT_EQ(files_not_owned_by(profile, owner), std::vector<std::string>{});
        }
        EXPECT_EQ(list_modules(bobUnlisted, kBob, kBob).find(kModule), std::string::npos);
    }

    const std::string deleted =
        "        Delete PKCS#11 module for root succeed.\n" +
        inListingOrder({{"alice", "        Delete PKCS#11 module for alice succeed.\n"},
                        {"bob", "        Delete PKCS#11 module for bob succeed.\n"}});
    expectRun({"-del", kModule}, deleted);
    for (const auto &[profile, owner] : changed) {
        EXPECT_EQ(list_modules(profile, owner, owner).find(kModule), std::string::npos) << profile;
        EXPECT_EQ(files_not_owned_by(profile, owner), std::vector<std::string>{});
    }
    expectRun({"-del", kModule}, "");  // nowhere registered any more
}

TEST_F(KeyrillTool, CaCertificateIsImportedWithItsTrust) {
    const std::string rootFf =
        makeProfile("/root", ".mozilla/firefox", ini("r.default"), "r.default", 0);
    make_owned_directories("/home", "alice", kAlice, kAlice);
    const std::string aliceFf =
        makeProfile("/home/alice", ".mozilla/firefox", ini("a.default"), "a.default", kAlice);
    const std::string aliceTb =
        makeProfile("/home/alice", ".thunderbird", ini("t.default"), "t.default", kAlice);
    TempDir files;
    write_file(files / "empty.der", "");

    expectRun({"-reg", files / "missing.der"}, "");
    expectRun({"-reg", files / "empty.der"}, "");
    EXPECT_EQ(list_certificates(rootFf, 0, 0).find("Keyrill Test CA"), std::string::npos);

    expectRun({"-reg", test_ca_path()},
              "        Add certificate(s) for root succeed.\n"
              "        Add certificate(s) for alice succeed\n");
    for (const auto &[profile, owner] : std::vector<std::pair<std::string, uid_t>>{
             {rootFf, 0}, {aliceFf, kAlice}, {aliceTb, kAlice}}) {
        const std::string listed = list_certificates(profile, owner, owner);
        EXPECT_NE(listed.find("Keyrill Test CA - Kestrane Tests"), std::string::npos) << profile;
        EXPECT_NE(listed.find("CT,C,C"), std::string::npos) << listed;
        EXPECT_EQ(files_not_owned_by(profile, owner), std::vector<std::string>{});
    }
}

TEST_F(KeyrillTool, ProfilePathsLeadingOutOfTheHomeAreNotWrittenThrough) {
    // Root's databases, with the module: one reached by a relative Path, one
    // by a symlinked profile.
    create_nss_database("/root/.x", 0, 0);
    make_owned_directories("/home", "shared-db", 0, 0);
    chmod("/home/shared-db", 0755);
    create_nss_database("/home/shared-db", 0, 0);
    for (const char *db : {"sql:/root/.x", "sql:/home/shared-db"})
        ASSERT_EQ(run_program({"modutil", "-add", kModule, "-libfile", kSoftHsmLibrary, "-dbdir",
                               db, "-force"})
                      .exitStatus,
                  0);
    make_owned_directories("/home", "alice", kAlice, kAlice);
    makeProfile("/home/alice", ".mozilla/firefox", ini("../../../../root/.x"), "", kAlice);
    makeProfile("/home/alice", ".thunderbird", ini("t.default"), "", kAlice);
    ASSERT_EQ(symlink("/home/shared-db", "/home/alice/.thunderbird/t.default"), 0);
    const std::string rootX = database_contents("/root/.x"), shared = database_contents("/home/shared-db");

    expectRun({"-add", kModule, kSoftHsmLibrary}, "");
    expectRun({"-reg", test_ca_path()}, "");
    expectRun({"-del", kModule}, "");
    EXPECT_TRUE(database_contents("/root/.x") == rootX) << "/root/.x was changed";
    EXPECT_TRUE(database_contents("/home/shared-db") == shared) << "/home/shared-db was changed";
}
