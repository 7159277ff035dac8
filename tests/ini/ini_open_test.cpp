// SPDX-License-Identifier: BSD-3-Clause
// Opening: mode strings, missing files per mode, the working copy, refused
// paths and read errors; and the name hash, case rules and trimming.
#include <cstring>

#include "ini_fixture.h"

namespace {

using ini_test::exists;
using ini_test::Handle;
using ini_test::IniTest;
using ini_test::read_file;

TEST_F(IniTest, ModeStrings) {
    for (const char *mode : {"r", "rb", "wi", "abi", "rib", "ri", "a", "wbi"}) {
        Handle ini = open("[S]\nk=v\n", mode);
        EXPECT_TRUE(ini) << mode;
        if (ini) {
            EXPECT_EQ(ini_test::value(ini.get(), "S", "k"), "v");
        }
    }
    for (const char *mode : {"rbb", "rx", "", "x", "R", "rii", "b", "rw"})
        EXPECT_FALSE(open("[S]\nk=v\n", mode)) << mode;
    EXPECT_EQ(ini_open(path.c_str(), nullptr, nullptr), nullptr);
    EXPECT_EQ(ini_open(nullptr, "r", nullptr), nullptr);
    EXPECT_EQ(ini_open("", "w", nullptr), nullptr);
}

TEST_F(IniTest, MissingFilePerMode) {
    EXPECT_EQ(ini_open(path.c_str(), "r", nullptr), nullptr);
    EXPECT_EQ(ini_open(path.c_str(), "a", nullptr), nullptr);
    EXPECT_FALSE(exists(path));

    ini_t *ini = ini_open(path.c_str(), "wb", nullptr);
    ASSERT_NE(ini, nullptr);
    EXPECT_EQ(ini->flags, unsigned{INI_CREATED | INI_BACKUP});
    EXPECT_EQ(ini->firstHeading, nullptr);
    EXPECT_EQ(read_file(path), "");
    EXPECT_TRUE(exists(workPath));
    EXPECT_EQ(ini_close(ini), 0);
    EXPECT_EQ(read_file(path), "");  // nothing written: the created file stays empty
    EXPECT_FALSE(exists(workPath));
}

TEST_F(IniTest, WorkingCopyIsTheFileBesideItOrAnAnonymousOne) {
    const std::string text = "[S]\nk=v\n";
    {
        Handle ini = open(text, "a");
        ASSERT_TRUE(ini);
        EXPECT_EQ(read_file(workPath), text);
    }
    EXPECT_FALSE(exists(workPath));
    EXPECT_EQ(read_file(path), text);  // unchanged: not rewritten
    {
        Handle ini = open(text, "r");
        ASSERT_TRUE(ini);
        EXPECT_FALSE(exists(workPath));
    }
}

TEST_F(IniTest, RefusesAPathEndingInTildeForWriting) {
    const std::string tilde = dir / "names~";
    qvk::test::write_file(tilde, "[S]\nk=v\n");
    EXPECT_EQ(ini_open(tilde.c_str(), "w", nullptr), nullptr);
    EXPECT_EQ(ini_open(tilde.c_str(), "ab", nullptr), nullptr);
    EXPECT_EQ(read_file(tilde), "[S]\nk=v\n");
    Handle ini(ini_open(tilde.c_str(), "r", nullptr));
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini_test::value(ini.get(), "S", "k"), "v");
}

TEST_F(IniTest, ReadErrorFailsTheOpenAndLeavesNothingBehind) {
    const std::string directory = dir / "folder";
    qvk::test::make_directories(directory);
    EXPECT_EQ(ini_open(directory.c_str(), "r", nullptr), nullptr);
    EXPECT_EQ(ini_open(directory.c_str(), "w", nullptr), nullptr);
    EXPECT_EQ(ini_open(directory.c_str(), "a", nullptr), nullptr);
    EXPECT_FALSE(exists(dir / "folde~"));
    // A NUL fails the open in the same orderly way.
    EXPECT_FALSE(open(std::string("[S]\0", 4), "a"));
    EXPECT_FALSE(exists(workPath));
}

TEST(IniNames, HashIsCrc32WithOptionalCaseFolding) {
    EXPECT_EQ(__ini_hashName("123456789", true), 0xCBF43926ul);
    EXPECT_EQ(__ini_hashName("", true), 0ul);
    EXPECT_EQ(__ini_hashName("", false), 0ul);
    EXPECT_EQ(__ini_hashName("Path", false), __ini_hashName("path", true));
    EXPECT_EQ(__ini_hashName("PATH", false), __ini_hashName("path", false));
    EXPECT_NE(__ini_hashName("Path", true), __ini_hashName("path", true));
    // Folding covers every letter, A and Z included, and nothing around them:
    // "@" and "[" stand next to the capitals, "`" and "{" next to the small letters.
    for (char upper = 'A'; upper <= 'Z'; ++upper) {
        const char capital[] = {upper, '\0'}, small[] = {static_cast<char>(upper - 'A' + 'a'), '\0'};
        EXPECT_EQ(__ini_hashName(capital, false), __ini_hashName(small, true)) << capital;
        EXPECT_EQ(__ini_hashName(small, false), __ini_hashName(small, true)) << small;
        EXPECT_NE(__ini_hashName(capital, true), __ini_hashName(small, true)) << capital;
    }
    for (const char *neighbour : {"@", "[", "`", "{"})
        EXPECT_EQ(__ini_hashName(neighbour, false), __ini_hashName(neighbour, true)) << neighbour;
    // Bytes of 0x80 and above take part unchanged, also when folding.
    EXPECT_EQ(__ini_hashName("\xC4\xD6", false), __ini_hashName("\xC4\xD6", true));
    EXPECT_NE(__ini_hashName("\xC4", false), __ini_hashName("\xE4", false));
}

TEST(IniNames, TrimKeepsInnerWhitespace) {
    const std::pair<const char *, const char *> cases[] = {
        {"  a b  ", "a b"}, {"   ", ""}, {"", ""}, {"x", "x"}, {"\t\v\f\r\n x \n", "x"}, {"\xA0x\xA0", "\xA0x\xA0"}};
    for (const auto &[text, trimmed] : cases) {
        char buffer[32];
        std::strcpy(buffer, text);
        __ini_trim(buffer);
        EXPECT_STREQ(buffer, trimmed);
    }
}

TEST_F(IniTest, CaseRulesAndCurrentNames) {
    Handle ini = open("[Profile0]\nPath=abc\n", "r");
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini_currentHeading(ini.get()), nullptr);
    EXPECT_EQ(ini_test::value(ini.get(), "PROFILE0", "path"), "abc");
    EXPECT_STREQ(ini_currentHeading(ini.get()), "Profile0");
    EXPECT_STREQ(ini_currentKey(ini.get()), "Path");

    EXPECT_EQ(ini_selectHeading(ini.get(), "profile0"), 0);
    EXPECT_EQ(ini_currentKey(ini.get()), nullptr);  // selecting a heading clears its key
    EXPECT_EQ(ini_selectHeading(ini.get(), "Missing"), -1);
    EXPECT_STREQ(ini_currentHeading(ini.get()), "Missing");
    EXPECT_EQ(ini_selectKey(ini.get(), "Gone"), -1);
    EXPECT_STREQ(ini_currentKey(ini.get()), "Gone");
    EXPECT_EQ(ini_currentHeading(nullptr), nullptr);
    EXPECT_EQ(ini_currentKey(nullptr), nullptr);

    // Every letter matches its other case, the first and last ones included;
    // the characters next to the alphabet match only themselves.
    ini = open("[abcdefghijklmnopqrstuvwxyz]\nABCDEFGHIJKLMNOPQRSTUVWXYZ=1\n[@[]\n`{=2\n", "r");
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini_test::value(ini.get(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz"), "1");
    EXPECT_EQ(ini_test::value(ini.get(), "@[", "`{"), "2");
    EXPECT_EQ(ini_test::value(ini.get(), "`{", "`{"), std::nullopt);
    EXPECT_EQ(ini_test::value(ini.get(), "@[", "@["), std::nullopt);
}

}  // namespace
