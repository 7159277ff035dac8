// SPDX-License-Identifier: BSD-3-Clause
// Keyrill end to end on homes that are hostile or unusual: shared homes that
// a group can write (and whose trees a member swaps), module lists that name
// a planted library (which may exit), a home under a FUSE mount that lies
// about owners, a named pipe or an oversize file as profiles.ini, homes on a
// file system whose listing gives no entry types, modules gated by a
// supplementary group, profiles without databases, and certificates that
// are no plain CA. As root, in private mounts over /root and /home, on real
// NSS databases.
#include "keyrill_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace qvk::test;

namespace {

constexpr uid_t kAlice = 12345, kBob = 12346, kMember = 12350, kGated = 12352;
constexpr gid_t kDevs = 5000, kGate = 12353;
constexpr const char *kModule = "keyrill-test";


class KeyrillHomes : public testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_PRIVATE_NAMESPACES();
        mount_empty_homes();
        chmod(logDir.path().c_str(), 0777);
        write_file(loadLog, "");
        chmod(loadLog.c_str(), 0666);
        for (const std::string &copy : {planted, exiting}) {
            write_file(copy, read_file(KEYRILL_PLANTED_MODULE));
            chmod(copy.c_str(), 0755);
        }
        // Nothing of the administrator's environment may reach a user's code.
        setenv("KEYRILL_TEST_SECRET", "root's own", 1);
    }

    ProcessResult keyrill(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KEYRILL_PATH);
        return run_program(arguments);
    }

    // Runs Keyrill and expects exactly the given output on standard output only.
    void expectRun(std::vector<std::string> arguments, const std::string &output) {
        const ProcessResult result = keyrill(std::move(arguments));
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, output);
        EXPECT_EQ(result.err, "");
    }

    // Adds a planted library to the module list of profile.
    void plant(const std::string &profile, const std::string &library) {
        const std::string list = profile + "/pkcs11.txt";
        write_file(list, read_file(list) + "library=" + library + "\nname=planted\n\n");
    }
    void plant(const std::string &profile) { plant(profile, planted); }

    // Each load of a planted library: "<uid> <euid> <HOME> clean|leaked".
    std::vector<std::string> loads() {
        std::vector<std::string> lines;
        std::istringstream in(read_file(loadLog));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    SoftHsm softHsm;
    TempDir logDir;
    const std::string loadLog = logDir / "loads";
    const std::string planted = logDir / "planted.so";
    const std::string exiting = logDir / "planted-exit.so";  // calls exit(1) once loaded
};

// The uid of each load.
std::vector<std::string> loadUids(const std::vector<std::string> &lines) {
    std::vector<std::string> uids;
    for (const std::string &line : lines) uids.push_back(line.substr(0, line.find(' ')));
    return uids;
}

}  // namespace

TEST_F(KeyrillHomes, NothingOthersCanWriteIsLoadedFollowedOrCreatedAsRoot) {
    // A shared home: root's, but the group may write it (root:devs 2775). A
    // member planted a Firefox profile whose module list names their library,
    // and made the Thunderbird profile a link to a directory only root enters.
    make_owned_directories("/home", "shared", 0, kDevs);
    chmod("/home/shared", 02775);
    const std::string memberFf =
        make_profile("/home/shared", ".mozilla/firefox", profiles_ini("p"), "p", kMember);
    plant(memberFf);
    make_profile("/home/shared", ".thunderbird", profiles_ini("t"), "", kMember);
    make_directories("/root/secret", 0700);
    ASSERT_EQ(symlink("/root/secret", "/home/shared/.thunderbird/t"), 0);
    // A service's home that is root's all the way, but for a module list that
    // anyone may write.
    make_owned_directories("/home", "srv", 0, 0);
    const std::string srvFf = make_profile("/home/srv", ".mozilla/firefox", profiles_ini("p"), "p", 0);
    for (const std::string &dir : {std::string("/home/srv"), std::string("/home/srv/.mozilla"),
                                   std::string("/home/srv/.mozilla/firefox"), srvFf})
        chmod(dir.c_str(), 0755);
    for (const std::string &file : {srvFf + "/cert9.db", srvFf + "/key4.db",
                                    std::string("/home/srv/.mozilla/firefox/profiles.ini")})
        chmod(file.c_str(), 0644);
    plant(srvFf);
    chmod((srvFf + "/pkcs11.txt").c_str(), 0666);
    // Root's own Firefox profile stays root's; a Thunderbird tree that a user
    // owns in /root is that user's, in the same sweep.
    const std::string rootFf = make_profile("/root", ".mozilla/firefox", profiles_ini("r"), "r", 0);
    chmod("/root", 0711);
    const std::string rootTb = make_profile("/root", ".thunderbird", profiles_ini("b"), "b", kBob);
    plant(rootTb);

    // The shared home is worked on as nobody, who cannot enter the member's
    // profile: no line for it. So is the service's, where nobody may do what
    // anyone may: append to its module list (the add, which cannot replace
    // the list in root's directory, fails after that) and take the entry out
    // again, but not change its other databases.
    expectRun({"-add", kModule, kSoftHsmLibrary}, kAddLine + "root succeed.\n");
    expectRun({"-reg", test_ca_path()}, kRegLine + "root succeed.\n");
    expectRun({"-del", kModule}, "        Delete PKCS#11 module for root succeed.\n" +
                                     in_listing_order({{"srv", "        Delete PKCS#11 module for srv succeed.\n"}}));

    // The planted library ran as the owner of the Thunderbird tree in /root
    // and, for the open module list, as nobody, each with a login's
    // environment; never as root, nor as the member in the shared home.
    const std::vector<std::string> seen = loads();
    const std::string all = read_file(loadLog);
    EXPECT_NE(std::find(seen.begin(), seen.end(), "12346 12346 /root clean"), seen.end()) << all;
    EXPECT_NE(std::find(seen.begin(), seen.end(), "65534 65534 /nonexistent clean"), seen.end()) << all;
    for (const std::string &line : seen)
        EXPECT_TRUE(line.starts_with("12346 12346 ") || line.starts_with("65534 65534 ")) << line;
    EXPECT_EQ(files_not_owned_by(memberFf, kMember), std::vector<std::string>{});
    EXPECT_EQ(run_program({"ls", "-A", "/root/secret"}).out, "");
    EXPECT_EQ(files_not_owned_by(rootFf, 0), std::vector<std::string>{});
    EXPECT_EQ(files_not_owned_by(rootTb, kBob), std::vector<std::string>{});
    EXPECT_NE(list_certificates(rootTb, kBob, kBob).find("Keyrill Test CA"), std::string::npos);
    EXPECT_NE(list_certificates(rootFf, 0, 0).find("Keyrill Test CA"), std::string::npos);
}

TEST_F(KeyrillHomes, AMemberSwappingTreesInASharedHomeNeverRunsAsAnotherMember) {
    // In root:devs 2775 /home/shared, member B owns .mozilla; member C keeps
    // a tree of her own, readable by all, whose module list names her
    // library, and swaps the two names over and over.
    make_owned_directories("/home", "shared", 0, kDevs);
    chmod("/home/shared", 02775);
    make_profile("/home/shared", ".mozilla/firefox", profiles_ini("p"), "p", kBob);
    make_owned_directories("/home/shared", ".swap/firefox", kMember, kMember);
    const std::string memberFf =
        make_profile("/home/shared/.swap", "firefox", profiles_ini("p"), "p", kMember);
    plant(memberFf);
    ASSERT_EQ(run_program({"chmod", "-R", "a+rX", "/home/shared/.swap"}).exitStatus, 0);

    const pid_t swapper = fork();
    if (swapper == 0) {
        if (setresgid(kDevs, kDevs, kDevs) != 0 || setresuid(kMember, kMember, kMember) != 0) _exit(1);
        for (;;)
            renameat2(AT_FDCWD, "/home/shared/.mozilla", AT_FDCWD, "/home/shared/.swap",
                      RENAME_EXCHANGE);
    }
    ASSERT_GT(swapper, 0);
    for (int round = 0; round < 30; ++round)
        EXPECT_EQ(keyrill({"-add", kModule, kSoftHsmLibrary}).exitStatus, 0);
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);

    // Whichever tree the name led to, the home was worked on as nobody.
    for (const std::string &uid : loadUids(loads())) EXPECT_EQ(uid, "65534");
}

TEST_F(KeyrillHomes, APlantedModuleThatExitsGivesNoSuccessAndCostsNoOtherAttemptItsTurn) {
    // No Firefox profile in /root (root's attempt fails), and a Thunderbird
    // tree of bob's whose module list names a library that calls exit(1).
    chmod("/root", 0711);
    const std::string rootTb = make_profile("/root", ".thunderbird", profiles_ini("b"), "b", kBob);
    plant(rootTb, exiting);
    // Alice's Firefox profile names it too; her Thunderbird profile still gets its turn.
    make_owned_directories("/home", "alice", kAlice, kAlice);
    const std::string aliceFf =
        make_profile("/home/alice", ".mozilla/firefox", profiles_ini("a"), "a", kAlice);
    const std::string aliceTb = make_profile("/home/alice", ".thunderbird", profiles_ini("t"), "t", kAlice);
    plant(aliceFf, exiting);

    expectRun({"-add", kModule, kSoftHsmLibrary}, kAddLine + "alice succeed\n");
    std::vector<std::string> uids = loadUids(loads());
    std::sort(uids.begin(), uids.end());
    EXPECT_EQ(uids, (std::vector<std::string>{"12345", "12346"}));
    const std::string registered = std::string("name=") + kModule;
    EXPECT_EQ(read_file(rootTb + "/pkcs11.txt").find(registered), std::string::npos);
    EXPECT_EQ(read_file(aliceFf + "/pkcs11.txt").find(registered), std::string::npos);
    EXPECT_NE(read_file(aliceTb + "/pkcs11.txt").find(registered), std::string::npos);
}

class KeyrillFuseHome : public KeyrillHomes, public testing::WithParamInterface<bool> {};

TEST_P(KeyrillFuseHome, AHomeUnderAUsersFuseMountIsWorkedOnAsThatUser) {
    // Alice mounts a file system over her home that shows her own files but
    // reports each as root's and closed to others.
    make_owned_directories("/home", "alice", kAlice, kAlice);
    chmod("/home/alice", 0755);
    const std::string aliceFf =
        make_profile("/home/alice", ".mozilla/firefox", profiles_ini("a"), "a", kAlice);
    plant(aliceFf);
    {
        const LyingMount mount("/home/alice", kAlice, kAlice, GetParam());
        expectRun({"-add", kModule, kSoftHsmLibrary}, kAddLine + "alice succeed\n");
    }
    EXPECT_EQ(loadUids(loads()), std::vector<std::string>{"12345"});
    EXPECT_NE(read_file(aliceFf + "/pkcs11.txt").find(std::string("name=") + kModule),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutAllowOther, KeyrillFuseHome, testing::Bool());

TEST_F(KeyrillHomes, AProfileListThatIsNoRegularFileOrTooLargeIsSkippedAtOnce) {
    // A named pipe that nobody writes as the Firefox list: Thunderbird's
    // profile still gets its turn.
    make_owned_directories("/home", "fifo", kAlice, kAlice);
    make_owned_directories("/home/fifo", ".mozilla/firefox", kAlice, kAlice);
    ASSERT_EQ(mkfifo("/home/fifo/.mozilla/firefox/profiles.ini", 0644), 0);
    const std::string fifoTb = make_profile("/home/fifo", ".thunderbird", profiles_ini("t"), "t", kAlice);
    // A valid list padded past 1 MiB: refused whole.
    make_owned_directories("/home", "large", kBob, kBob);
    std::string padded = profiles_ini("p") + "[Padding]\n";
    for (int i = 0; padded.size() <= (1u << 20); ++i) padded.append("k").append(std::to_string(i)).append("=").append(100, 'x').append("\n");
    const std::string largeFf = make_profile("/home/large", ".mozilla/firefox", padded, "p", kBob);
    // Just under the bound: read.
    make_owned_directories("/home", "fits", kBob, kBob);
    const std::string fitsFf = make_profile("/home/fits", ".mozilla/firefox", padded.substr(0, (1u << 20) - 200) + "\n", "p", kBob);

    expectRun({"-add", kModule, kSoftHsmLibrary},
              in_listing_order({{"fifo", kAddLine + "fifo succeed\n"},
                                {"fits", kAddLine + "fits succeed\n"}}));
    EXPECT_NE(list_modules(fifoTb, kAlice, kAlice).find(kModule), std::string::npos);
    EXPECT_NE(list_modules(fitsFf, kBob, kBob).find(kModule), std::string::npos);
    EXPECT_EQ(list_modules(largeFf, kBob, kBob).find(kModule), std::string::npos);
}

TEST_F(KeyrillHomes, HomesOnAFileSystemWhoseListingGivesNoTypesAreSwept) {
    if (access("/dev/loop-control", F_OK) != 0)
        GTEST_SKIP() << "needs loop devices to mount an ext2 image without entry types";
    // ext2 without the filetype feature: every entry of a listing is DT_UNKNOWN.
    TempDir image;
    ASSERT_EQ(run_program({"truncate", "-s", "16M", image / "homes.ext2"}).exitStatus, 0);
    ASSERT_EQ(run_program({"mke2fs", "-q", "-F", "-t", "ext2", "-O", "^filetype", "-m", "0",
                           image / "homes.ext2"})
                  .exitStatus,
              0);
    ASSERT_EQ(run_program({"mount", "-o", "loop", image / "homes.ext2", "/home"}).exitStatus, 0);
    make_owned_directories("/home", "alice", kAlice, kAlice);
    const std::string aliceFf =
        make_profile("/home/alice", ".mozilla/firefox", profiles_ini("a"), "a", kAlice);
    ASSERT_EQ(symlink("/home/alice", "/home/link"), 0);  // a link to a home is still skipped
    write_file("/home/file", "");

    expectRun({"-add", kModule, kSoftHsmLibrary}, kAddLine + "alice succeed\n");
    EXPECT_NE(list_modules(aliceFf, kAlice, kAlice).find(kModule), std::string::npos);
    EXPECT_EQ(umount2("/home", MNT_DETACH), 0);
}

TEST_F(KeyrillHomes, AModuleGatedByASupplementaryGroupIsRegisteredForItsMembers) {
    // A login that is a member of the group that may use the token store.
    TempDir etc;
    write_file(etc / "passwd", read_file("/etc/passwd") + "gated:x:12352:12352::/home/gated:/bin/sh\n");
    write_file(etc / "group", read_file("/etc/group") + "gated:x:12352:\nhsmgate:x:12353:gated\n");
    bind_mount(etc / "passwd", "/etc/passwd");
    bind_mount(etc / "group", "/etc/group");
    // SoftHSM's configuration and tokens only for that group.
    TempDir store;
    chmod(store.path().c_str(), 0755);
    make_directories(store / "tokens");
    write_file(store / "softhsm2.conf", "directories.tokendir = " + (store / "tokens") +
                                            "\nobjectstore.backend = file\nlog.level = ERROR\n");
    for (const auto &[file, mode] : {std::pair{store / "tokens", 0770}, {store / "softhsm2.conf", 0640}}) {
        ASSERT_EQ(chown(file.c_str(), 0, kGate), 0);
        chmod(file.c_str(), static_cast<mode_t>(mode));
    }
    setenv("SOFTHSM2_CONF", (store / "softhsm2.conf").c_str(), 1);
    make_owned_directories("/home", "gated", kGated, kGated);
    const std::string gatedFf =
        make_profile("/home/gated", ".mozilla/firefox", profiles_ini("g"), "g", kGated);

    expectRun({"-add", kModule, kSoftHsmLibrary}, kAddLine + "gated succeed\n");
    EXPECT_NE(read_file(gatedFf + "/pkcs11.txt").find(std::string("name=") + kModule),
              std::string::npos);
    EXPECT_EQ(files_not_owned_by(gatedFf, kGated), std::vector<std::string>{});
}

TEST_F(KeyrillHomes, ACaGoesWithItsTrustIntoAProfileWithoutDatabases) {
    make_owned_directories("/home", "alice", kAlice, kAlice);
    make_profile("/home/alice", ".mozilla/firefox", profiles_ini("fresh"), "", kAlice);
    make_owned_directories("/home/alice/.mozilla/firefox", "fresh", kAlice, kAlice);
    const std::string fresh = "/home/alice/.mozilla/firefox/fresh";

    expectRun({"-reg", test_ca_path()}, kRegLine + "alice succeed\n");
    const std::string listed = list_certificates(fresh, kAlice, kAlice);
    EXPECT_NE(listed.find("Keyrill Test CA - Kestrane Tests"), std::string::npos) << listed;
    EXPECT_NE(listed.find("CT,C,C"), std::string::npos) << listed;
    EXPECT_EQ(files_not_owned_by(fresh, kAlice), std::vector<std::string>{});
}

TEST_F(KeyrillHomes, OnlyOnePlainCaCertificateIsImportedAndAnythingElseTouchesNoProfile) {
    const std::string rootFf = make_profile("/root", ".mozilla/firefox", profiles_ini("r"), "r", 0);
    make_owned_directories("/home", "alice", kAlice, kAlice);
    const std::string aliceFf =
        make_profile("/home/alice", ".mozilla/firefox", profiles_ini("a"), "a", kAlice);
    plant(aliceFf);  // any NSS start on the profile would load it
    // A profile without databases would get them from any NSS start.
    make_profile("/home/alice", ".thunderbird", profiles_ini("fresh"), "", kAlice);
    make_owned_directories("/home/alice/.thunderbird", "fresh", kAlice, kAlice);
    const std::string rootBefore = database_contents(rootFf), aliceBefore = database_contents(aliceFf);

    // The zoo, made with openssl: a server's key signs each of its own.
    TempDir zoo;
    const std::string ca = read_file(test_ca_path());
    auto openssl = [](const std::string &command) {
        ASSERT_EQ(run_program({"sh", "-c", "openssl " + command + " 2>&1"}).exitStatus, 0) << command;
    };
    openssl("req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=srv -keyout " +
            (zoo / "key") + " -out " + (zoo / "csr"));
    write_file(zoo / "ext", "[server]\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n"
                            "[broken]\nbasicConstraints=critical,DER:01:01:ff\n");
    const std::string sign = "x509 -req -days 2 -outform DER -in " + (zoo / "csr") + " -signkey " +
                             (zoo / "key") + " -extfile " + (zoo / "ext");
    openssl(sign + " -extensions server -out " + (zoo / "server.der"));
    openssl(sign + " -extensions broken -out " + (zoo / "broken.der"));
    openssl("x509 -req -days 2 -outform DER -in " + (zoo / "csr") + " -signkey " + (zoo / "key") +
            " -out " + (zoo / "v1.der"));
    openssl("x509 -inform DER -in " + std::string(KEYRILL_TEST_LEAF) + " -out " + (zoo / "leaf.pem"));
    openssl("x509 -inform DER -in " + test_ca_path() + " -out " + (zoo / "ca.pem"));
    const std::string caPem = read_file(zoo / "ca.pem");
    write_file(zoo / "trailing.der", ca + "\n");
    write_file(zoo / "bundle.der", ca + ca);
    write_file(zoo / "bundle.pem", caPem + caPem);
    write_file(zoo / "garbage", "this is no certificate\n");
    write_file(zoo / "truncated.der", ca.substr(0, ca.size() - 20));

    const std::pair<std::string, std::string> refused[] = {
        {zoo / "server.der", "no basic constraints"},
        {zoo / "v1.der", "version 1 or 2"},
        {zoo / "broken.der", "basic constraints cannot be decoded"},
        {KEYRILL_TEST_LEAF, "basic constraints say that it is no CA"},
        {zoo / "leaf.pem", "basic constraints say that it is no CA"},
        {zoo / "trailing.der", "other bytes follow the certificate"},
        {zoo / "bundle.der", "more than one certificate"},
        {zoo / "bundle.pem", "more than one certificate"},
        {zoo / "garbage", "neither a DER certificate nor a PEM"},
        {zoo / "truncated.der", "cut short"},
    };
    for (const auto &[file, reason] : refused) {
        SCOPED_TRACE(file);
        const ProcessResult result = keyrill({"-reg", file});
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, "");
        // One line on standard error that says why.
        EXPECT_TRUE(result.err.starts_with("Keyrill: " + file + ": not imported: ")) << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_TRUE(database_contents(rootFf) == rootBefore) << "root's databases changed";
    EXPECT_TRUE(database_contents(aliceFf) == aliceBefore) << "alice's databases changed";
    EXPECT_EQ(run_program({"ls", "-A", "/home/alice/.thunderbird/fresh"}).out, "");
    EXPECT_EQ(loads(), std::vector<std::string>{}) << "a profile was opened";

    // The CA itself, as PEM, goes in.
    expectRun({"-reg", zoo / "ca.pem"}, kRegLine + "root succeed.\n" + kRegLine + "alice succeed\n");
    EXPECT_NE(list_certificates(rootFf, 0, 0).find("Keyrill Test CA"), std::string::npos);
}
