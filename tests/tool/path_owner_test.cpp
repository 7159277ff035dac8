// SPDX-License-Identifier: BSD-3-Clause
// Whose rights a path is acted on with, on a scratch tree of directories,
// files and links with chosen owners and modes (as root).
#include "keyrill_fixture.h"
#include "path_owner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace qvk::test;

namespace {

constexpr uid_t kAlice = 12345, kBob = 12346;

void node(const std::string &path, uid_t uid, mode_t mode, bool directory = true) {
    if (directory)
        make_directories(path);
    else
        write_file(path, "");
    if (chown(path.c_str(), uid, uid) != 0 || chmod(path.c_str(), mode) != 0) ADD_FAILURE() << path;
}

std::string describe(const PathOwner &owner) {
    switch (owner.kind) {
        case PathOwner::Kind::Root: return "root";
        case PathOwner::Kind::Nobody: return "nobody";
        case PathOwner::Kind::User: return std::to_string(owner.uid) + ":" + std::to_string(owner.gid);
    }
    return "?";
}

}  // namespace

TEST(KeyrillPathOwner, RootOnlyWhereNobodyElseCanChangeAnything) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the tree its owners";
    TempDir dir;  // root's, 0700, in the sticky /tmp
    const std::string t = dir.path();
    chmod(t.c_str(), 0755);
    node(t + "/closed/profile", 0, 0755);
    node(t + "/closed/profile/pkcs11.txt", 0, 0644, false);
    node(t + "/closed/open.txt", 0, 0666, false);
    node(t + "/shared", 0, 02775);                 // a group may write it
    node(t + "/shared/.mozilla", kAlice, 0700);    // planted by a member
    node(t + "/shared/rootowned", 0, 0755);
    node(t + "/sticky", 0, 01777);
    node(t + "/sticky/kept", 0, 0755);
    node(t + "/alice", kAlice, 0700);
    node(t + "/alice/bobs", kBob, 0755);
    ASSERT_EQ(symlink("profile", (t + "/closed/link").c_str()), 0);
    ASSERT_EQ(symlink((t + "/alice").c_str(), (t + "/closed/to-alice").c_str()), 0);
    ASSERT_EQ(symlink((t + "/closed").c_str(), (t + "/shared/to-closed").c_str()), 0);
    ASSERT_EQ(symlink("loop", (t + "/closed/loop").c_str()), 0);
    ASSERT_EQ(symlink(t.c_str(), (t + "/alice/to-top").c_str()), 0);
    ASSERT_EQ(lchown((t + "/alice/to-top").c_str(), kAlice, kAlice), 0);
    // A user's own link in the sticky directory, leading to root's files.
    ASSERT_EQ(symlink((t + "/closed/profile").c_str(), (t + "/sticky/alices").c_str()), 0);
    ASSERT_EQ(lchown((t + "/sticky/alices").c_str(), kAlice, kAlice), 0);

    const std::string alice = std::to_string(kAlice) + ":" + std::to_string(kAlice);
    const std::pair<std::string, std::string> cases[] = {
        {"/closed/profile/pkcs11.txt", "root"},
        {"/closed/profile/cert9.db", "root"},         // missing in root's closed directory
        {"/closed/open.txt", "nobody"},               // anyone may write it
        {"/closed/link/pkcs11.txt", "root"},          // root's link among root's directories
        {"/closed/to-alice/x", alice},                // ... leading to a user's directory
        {"/closed/loop", "nobody"},
        {"/closed/profile/../profile/pkcs11.txt", "root"},
        {"/shared", "nobody"},
        {"/shared/.mozilla/firefox/profiles.ini", "nobody"},  // any member could swap it
        {"/shared/rootowned/x", "nobody"},
        {"/shared/to-closed/profile", "nobody"},      // no link followed below an open directory
        {"/sticky/kept", "root"},                     // others cannot replace root's entry
        {"/sticky/missing", "nobody"},                // but could create this one
        {"/sticky/alices/pkcs11.txt", alice},         // a user's link: never followed as root
        {"/sticky", "nobody"},
        {"/alice/bobs/x", alice},                     // the first owner on the way decides
        {"/alice/to-top/closed/profile", alice},
    };
    for (const auto &[relative, expected] : cases)
        EXPECT_EQ(describe(ownerOfPath(t + relative)), expected) << relative;
    EXPECT_EQ(describe(ownerOfPath("relative/path")), "nobody");
}

TEST(KeyrillPathOwner, AFuseMountIsItsMountersWhateverItReports) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    // Each mount claims that everything in it is root's and closed to others;
    // without allow_other root cannot even look.
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string t = dir.path();
    node(t + "/alice/.mozilla", kAlice, 0755);
    node(t + "/bob/.mozilla", kBob, 0755);
    node(t + "/byroot/.mozilla", 0, 0755);
    const LyingMount alices(t + "/alice", kAlice, kAlice, true);
    const LyingMount bobs(t + "/bob", kBob, kBob, false);
    const LyingMount roots(t + "/byroot", 0, 0, true);

    EXPECT_EQ(describe(ownerOfPath(t + "/alice/.mozilla/x")), std::to_string(kAlice) + ":" + std::to_string(kAlice));
    EXPECT_EQ(describe(ownerOfPath(t + "/bob/.mozilla/x")), std::to_string(kBob) + ":" + std::to_string(kBob));
    EXPECT_EQ(describe(ownerOfPath(t + "/byroot/.mozilla")), "nobody");
}
