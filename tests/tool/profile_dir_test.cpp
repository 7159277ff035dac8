// Profile discovery on profiles.ini files in a scratch home: how the value
// of Path is taken and which lists are not read at all.
#include "keyrill_fixture.h"
#include "profile_dir.h"

#include <sys/stat.h>

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

TEST(KeyrillProfileDir, AByteOrderMarkDoesNotHideTheFirstHeading) {
    TempDir home;
    EXPECT_EQ(discovered(home, "\xEF\xBB\xBF[Profile0]\r\nPath=a.default\r\n"),
              home / ".mozilla/firefox/a.default");
}

TEST(KeyrillProfileDir, OnlyARegularFileOfSaneSizeIsRead) {
    TempDir home;
    const std::string list = "[Profile0]\nPath=a.default\n";
    std::string padded = list;
    padded.resize(PROFILES_INI_MAX_SIZE, '\n');
    EXPECT_EQ(discovered(home, padded), home / ".mozilla/firefox/a.default");
    EXPECT_EQ(discovered(home, padded + "\n"), "<none>");

    // A named pipe that nobody writes fails at once instead of waiting.
    const std::string ini = home / ".mozilla/firefox/profiles.ini";
    ASSERT_EQ(unlink(ini.c_str()), 0);
    ASSERT_EQ(mkfifo(ini.c_str(), 0600), 0);
    ProfileDirBuffer out{};
    EXPECT_EQ(findProfileDir(home.path().c_str(), ProfileApp::Firefox, out), 0);
    ASSERT_EQ(unlink(ini.c_str()), 0);
    ASSERT_EQ(mkdir(ini.c_str(), 0700), 0);
    EXPECT_EQ(findProfileDir(home.path().c_str(), ProfileApp::Firefox, out), 0);
}
