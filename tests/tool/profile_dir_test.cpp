// SPDX-License-Identifier: BSD-3-Clause
// Profile discovery on profiles.ini files in a scratch home: how the value
// of Path is taken. (Lists that are not read at all, end to end in
// keyrill_homes_test.)
#include "keyrill_fixture.h"
#include "profile_dir.h"

#include <gtest/gtest.h>

using namespace qvk::test;

namespace {

// The directory findProfileDir gives for a Firefox profiles.ini holding
// text, or "<none>".
std::string discovered(const TempDir &home, const std::string &text) {
    make_directories(home / ".mozilla/firefox");
    write_file(home / ".mozilla/firefox/profiles.ini", text);
    ProfileDirBuffer out{};
    out.fill('x');
    if (findProfileDir(home.path().c_str(), ProfileApp::Firefox, out) != 1) return "<none>";
    return out.data();
}

}  // namespace

TEST(KeyrillProfileDir, APathThatDoesNotFitIsSkippedNeverCut) {
    TempDir home;
    const std::string parent = home / ".mozilla/firefox/";
    const std::string longest(PROFILE_PATH_VALUE_SIZE - 1, 'p');
    const struct {
        std::string value;
        std::string directory;  // relative to the parent, or "<none>"
    } cases[] = {
        {longest, longest},
        {"  \t" + longest + "  ", longest},  // blanks around it do not count
        {longest + "q", "<none>"},
        {std::string(300, 'p'), "<none>"},
        {"  ", "<none>"},
    };
    for (const auto &c : cases) {
        const std::string expected = c.directory == "<none>" ? c.directory : parent + c.directory;
        EXPECT_EQ(discovered(home, "[Profile0]\nPath=" + c.value + "\n"), expected)
            << c.value.size() << " characters";
    }
}

TEST(KeyrillProfileDir, EveryInstallationsDefaultOnceAfterProfile0) {
    TempDir home;
    const std::string parent = home / ".mozilla/firefox/";
    make_directories(parent);
    std::string list = "[Profile0]\nPath=p0\n[installA]\nDEFAULT = p1 \n[InstallB]\nDefault=\n"
                       "[InstallC]\nDefault=/abs/p\n[Install]\nDefault=p0\n[NotInstallD]\nDefault=x\n"
                       "[InstallE]\nDefault=" + std::string(PROFILE_PATH_VALUE_SIZE, 'q') + "\n";
    for (int i = 0; i < 100; ++i) list += "[Install" + std::to_string(i) + "]\nDefault=n" + std::to_string(i) + "\n";
    write_file(parent + "profiles.ini", list);

    const ProfileDirs found = findProfileDirs(home.path().c_str(), ProfileApp::Firefox);
    EXPECT_TRUE(found.listed);
    ASSERT_EQ(found.directories.size(), PROFILE_DIRS_PER_LIST_MAX);
    EXPECT_EQ(std::vector<std::string>(found.directories.begin(), found.directories.begin() + 4),
              (std::vector<std::string>{parent + "p0", parent + "p1", "/abs/p", parent + "n0"}));
    EXPECT_EQ(found.directories.back(), parent + "n60");
    // A store that is one database has no list.
    EXPECT_FALSE(findProfileDirs(home.path().c_str(), ProfileApp::Chrome).listed);
}
