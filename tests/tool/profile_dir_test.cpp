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
