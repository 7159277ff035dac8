// SPDX-License-Identifier: BSD-3-Clause
// Keyrill end to end on the stores of today's desktops: Firefox's XDG
// location, Chrome's database, the Flatpak and Snap stores, the profiles that
// installations start with, and the listing of each profile. As root, in
// private mounts over /root and /home, on real NSS databases.
#include "keyrill_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace qvk::test;

namespace {

constexpr uid_t kFirstUser = 12360;
constexpr const char *kModule = "keyrill-test";


class KeyrillStores : public testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_PRIVATE_NAMESPACES();
        mount_empty_homes();
    }

    ProcessResult keyrill(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KEYRILL_PATH);
        return run_program(arguments);
    }

    // A home of its own for uid.
    std::string makeHome(const std::string &name, uid_t uid) {
        make_owned_directories("/home", name, uid, uid);
        return "/home/" + name;
    }

    SoftHsm softHsm;
};

bool holdsModule(const std::string &database, uid_t owner) {
    return list_modules(database, owner, owner).find(kModule) != std::string::npos;
}

bool holdsCa(const std::string &database, uid_t owner) {
    return list_certificates(database, owner, owner).find("Keyrill Test CA") != std::string::npos;
}

// One home for each kind of store that is not ~/.mozilla/firefox or
// ~/.thunderbird; "current" of the Snap is a link to its revision, as snapd makes it.
struct StoreCase {
    const char *home;
    const char *directory;  // the profile list's directory, or the database
    bool sandboxed;
};
constexpr StoreCase kStoreCases[] = {
    {"xdg", ".config/mozilla/firefox", false},
    {"chrome", ".pki/nssdb", false},
    {"flatpak", ".var/app/org.mozilla.firefox/.mozilla/firefox", true},
    {"flatpakxdg", ".var/app/org.mozilla.firefox/config/mozilla/firefox", true},
    {"flatpaktb", ".var/app/org.mozilla.Thunderbird/.thunderbird", true},
    {"snap", "snap/firefox/common/.mozilla/firefox", true},
    {"snaptb", "snap/thunderbird/common/.thunderbird", true},
    {"snapchromium", "snap/chromium/current/.pki/nssdb", true},
};

}  // namespace

TEST_F(KeyrillStores, EveryKindOfStoreIsWorkedOnAndASandboxGetsOnlyAModuleItCanSee) {
    std::vector<std::pair<std::string, uid_t>> databases;  // in the order of kStoreCases
    std::map<std::string, std::string> reg, add, del;
    std::string refusals;
    uid_t uid = kFirstUser;
    for (const StoreCase &store : kStoreCases) {
        const std::string home = makeHome(store.home, uid);
        std::string directory = store.directory;
        if (directory.starts_with("snap/chromium/")) {
            make_owned_directories(home, "snap/chromium/2345/.pki", uid, uid);
            ASSERT_EQ(symlink("2345", (home + "/snap/chromium/current").c_str()), 0);
            ASSERT_EQ(lchown((home + "/snap/chromium/current").c_str(), uid, uid), 0);
            create_nss_database(home + "/" + directory, uid, uid);
            databases.emplace_back(home + "/" + directory, uid);
        } else if (directory.ends_with("nssdb")) {
            make_owned_directories(home, ".pki", uid, uid);
            create_nss_database(home + "/" + directory, uid, uid);
            databases.emplace_back(home + "/" + directory, uid);
        } else {
            databases.emplace_back(make_profile(home, directory, profiles_ini("p"), "p", uid), uid);
        }
        reg[store.home] = kRegLine + store.home + " succeed\n";
        if (!store.sandboxed) {
            add[store.home] = kAddLine + store.home + " succeed\n";
            del[store.home] = kDelLine + store.home + " succeed.\n";
        }
        ++uid;
    }

    const ProcessResult imported = keyrill({"-reg", test_ca_path()});
    EXPECT_EQ(imported.out, in_listing_order(reg));
    EXPECT_EQ(imported.err, "");
    for (const auto &[database, owner] : databases) EXPECT_TRUE(holdsCa(database, owner)) << database;

    // The host's module is added outside the sandboxes only; each sandboxed
    // store says why it was left alone.
    const ProcessResult added = keyrill({"-add", kModule, kSoftHsmLibrary});
    EXPECT_EQ(added.out, in_listing_order(add));
    for (std::size_t i = 0; i < std::size(kStoreCases); ++i) {
        const StoreCase &store = kStoreCases[i];
        const auto &[database, owner] = databases[i];
        EXPECT_EQ(holdsModule(database, owner), !store.sandboxed) << database;
        const std::string why = std::string("Keyrill: ") + store.home + ": ";
        const std::size_t at = added.err.find(why);
        EXPECT_EQ(at != std::string::npos, store.sandboxed) << added.err;
        const std::string reason =
            std::string(kSoftHsmLibrary) + " lies outside /home/" + store.home + "/";
        EXPECT_TRUE(at == std::string::npos || added.err.find(reason, at) != std::string::npos)
            << added.err;
    }
    EXPECT_EQ(std::count(added.err.begin(), added.err.end(), '\n'), 6) << added.err;

    const ProcessResult deleted = keyrill({"-del", kModule});
    EXPECT_EQ(deleted.out, in_listing_order(del));
    EXPECT_EQ(deleted.err, "");
    for (const auto &[database, owner] : databases) EXPECT_FALSE(holdsModule(database, owner));
}

TEST_F(KeyrillStores, TheProfilesInstallationsStartWithInBothFirefoxLocationsEachOnce) {
    // Profile0 is an old profile; the installations start with two others,
    // one named absolutely, and one names Profile0 again. The XDG list names
    // the old profile once more, through its own directory. Profile2 is no
    // installation's and stays untouched. Profile0 loads a library that exits.
    const uid_t alice = kFirstUser;
    const std::string home = makeHome("alice", alice);
    const std::string list =
        "[Profile0]\nPath=old\n[Profile1]\nPath=rel\n[Profile2]\nPath=unused\n"
        "[Install4F96D1932A9F858E]\nDefault=rel\nLocked=1\n"
        "[InstallE7CF176E110C211B]\nDefault=" + home + "/elsewhere/abs\n"
        "[Install0000000000000000]\nDefault=old\n[InstallTerminal]\nDefault=\x1b]2;x\x07\n";
    const std::string classic = home + "/.mozilla/firefox";
    const std::string old = make_profile(home, ".mozilla/firefox", list, "old", alice);
    // A name that would reach the administrator's terminal as an escape sequence.
    for (const char *profile : {"rel", "unused", "\x1b]2;x\x07"})
        create_nss_database(classic + "/" + profile, alice, alice);
    make_owned_directories(home, "elsewhere", alice, alice);
    create_nss_database(home + "/elsewhere/abs", alice, alice);
    const std::string xdg = make_profile(
        home, ".config/mozilla/firefox",
        "[Profile0]\nPath=x\n[InstallAB]\nDefault=../../../.mozilla/firefox/old\n", "x", alice);
    TempDir lib;
    chmod(lib.path().c_str(), 0755);
    write_file(lib / "planted-exit.so", read_file(KEYRILL_PLANTED_MODULE));
    chmod((lib / "planted-exit.so").c_str(), 0755);
    write_file(lib / "loads", "");
    chmod((lib / "loads").c_str(), 0666);
    write_file(old + "/pkcs11.txt", read_file(old + "/pkcs11.txt") + "library=" +
                                        (lib / "planted-exit.so") + "\nname=planted\n\n");

    const ProcessResult listed = keyrill({"-v", "-add", kModule, kSoftHsmLibrary});
    EXPECT_EQ(listed.out, kAddLine + "alice succeed\n");
    EXPECT_EQ(listed.err,
              "Keyrill: alice: Firefox: " + old + ": failed (ended without a report)\n"
              "Keyrill: alice: Firefox: " + classic + "/rel: done\n"
              "Keyrill: alice: Firefox: " + home + "/elsewhere/abs: done\n"
              "Keyrill: alice: Firefox: " + classic + "/\\033]2;x\\007: done\n"
              "Keyrill: alice: Firefox: " + xdg + ": done\n");
    for (const std::string &done : {classic + "/rel", home + "/elsewhere/abs", xdg})
        EXPECT_TRUE(holdsModule(done, alice)) << done;
    EXPECT_FALSE(holdsModule(classic + "/unused", alice));
    EXPECT_EQ(read_file(lib / "loads"), std::to_string(alice) + " " + std::to_string(alice) + " " +
                                            home + " clean\n");

    // Without the option, nothing but the line of the home.
    const ProcessResult deleted = keyrill({"-del", kModule});
    EXPECT_EQ(deleted.out, kDelLine + "alice succeed.\n");
    EXPECT_EQ(deleted.err, "");
}

TEST_F(KeyrillStores, AModuleInsideTheSnapIsAddedThereAndLoadedByItsOwnerAlone) {
    const uid_t snapper = kFirstUser, other = kFirstUser + 1;
    const std::string home = makeHome("snapper", snapper);
    const std::string profile =
        make_profile(home, "snap/firefox/common/.mozilla/firefox", profiles_ini("p"), "p", snapper);
    const std::string otherProfile = make_profile(
        makeHome("other", other), "snap/firefox/common/.mozilla/firefox", profiles_ini("p"), "p", other);
    // A copy of the module in the sandbox's tree, and a library of the user's
    // there that records who loads it.
    const std::string common = home + "/snap/firefox/common/";
    for (const auto &[name, source] : {std::pair{"p11.so", kSoftHsmLibrary},
                                       std::pair{"planted.so", KEYRILL_PLANTED_MODULE}}) {
        write_file(common + name, read_file(source));
        chmod((common + name).c_str(), 0755);
        ASSERT_EQ(chown((common + name).c_str(), snapper, snapper), 0);
    }
    write_file(common + "loads", "");
    ASSERT_EQ(chown((common + "loads").c_str(), snapper, snapper), 0);

    const ProcessResult planted = keyrill({"-add", "planted", common + "planted.so"});
    EXPECT_EQ(planted.out, "");  // no PKCS#11 module, so not added
    const std::string loads = read_file(common + "loads");
    EXPECT_FALSE(loads.empty());
    EXPECT_EQ(loads.find("0 0 "), std::string::npos) << "root loaded the user's library: " << loads;

    const ProcessResult added = keyrill({"-add", kModule, common + "p11.so"});
    EXPECT_EQ(added.out, kAddLine + "snapper succeed\n");
    EXPECT_TRUE(holdsModule(profile, snapper));
    EXPECT_FALSE(holdsModule(otherProfile, other));
    EXPECT_NE(added.err.find("Keyrill: other: Snap Firefox: /home/other/snap/firefox/common/"
                             ".mozilla/firefox: not added: " + common + "p11.so lies outside "
                             "/home/other/snap/firefox"),
              std::string::npos)
        << added.err;
}

TEST_F(KeyrillStores, AChromeDatabaseLinkedIntoRootsFilesIsNotWrittenAsRoot) {
    // Root's own Chrome database is root's to change; mallory's ~/.pki (and
    // her Snap's "current") lead to a database only root may enter.
    make_directories("/root/.pki", 0700);
    create_nss_database("/root/.pki/nssdb", 0, 0);
    make_directories("/root/secret/.pki", 0700);
    create_nss_database("/root/secret/.pki/nssdb", 0, 0);
    const uid_t mallory = kFirstUser;
    const std::string home = makeHome("mallory", mallory);
    ASSERT_EQ(symlink("/root/secret/.pki", (home + "/.pki").c_str()), 0);
    make_owned_directories(home, "snap/chromium", mallory, mallory);
    ASSERT_EQ(symlink("/root/secret", (home + "/snap/chromium/current").c_str()), 0);
    for (const std::string &link : {home + "/.pki", home + "/snap/chromium/current"})
        ASSERT_EQ(lchown(link.c_str(), mallory, mallory), 0);
    const std::string secret = database_contents("/root/secret/.pki/nssdb");

    EXPECT_EQ(keyrill({"-add", kModule, kSoftHsmLibrary}).out, kAddLine + "root succeed.\n");
    EXPECT_EQ(keyrill({"-reg", test_ca_path()}).out, kRegLine + "root succeed.\n");
    EXPECT_TRUE(holdsModule("/root/.pki/nssdb", 0));
    EXPECT_TRUE(database_contents("/root/secret/.pki/nssdb") == secret) << "written as root";
    EXPECT_EQ(files_not_owned_by("/root/secret/.pki/nssdb", 0), std::vector<std::string>{});
}
