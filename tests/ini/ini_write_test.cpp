// SPDX-License-Identifier: BSD-3-Clause
// Writing: the exact bytes of rewritten files (key column, empty values,
// headings without keys, the nameless heading first, overwrites keeping
// their place), the writers' formats, and mode "r" refusing every change.
#include "ini_fixture.h"

namespace {

using ini_test::Handle;
using ini_test::IniTest;
using ini_test::read_file;

void writeText(ini_t *ini, const char *heading, const char *key, const char *text) {
    ini_selectHeading(ini, heading);
    ini_selectKey(ini, key);
    EXPECT_EQ(ini_writeText(ini, text), 0) << heading << "/" << key;
}

TEST_F(IniTest, KeyColumnWidth) {
    const std::string forty(40, 'L');
    const struct {
        std::string text, rewritten;
    } cases[] = {
        {"[S]\na=1\nbb=2\nccc=3\n", "[S]\na  =1\nbb =2\nccc=3\n\n"},
        {"[S]\nx=1\ny=2\n" + forty + "=3\n",
         "[S]\nx" + std::string(13, ' ') + "=1\ny" + std::string(13, ' ') + "=2\n" + forty + "=3\n\n"},
        {"[S]\nab=1\nabcdefgh=2\n", "[S]\nab      =1\nabcdefgh=2\n\n"},
        {"[S]\nk=1\ntwelve_chars=2\n", "[S]\nk           =1\ntwelve_chars=2\n\n"},
        // A is 11: a name of 21 characters (A + 10) is not padded to.
        {"[S]\nk=1\n" + std::string(21, 'n') + "=2\n", "[S]\nk          =1\n" + std::string(21, 'n') + "=2\n\n"},
    };
    for (const auto &c : cases) {
        // Rewriting a value with itself marks the file changed without altering it.
        const std::string out = rewritten(c.text, [](ini_t *ini) {
            ini_selectHeading(ini, "S");
            ini_selectKey(ini, ini->firstHeading->firstKey->name);
            EXPECT_EQ(ini_writeText(ini, "1"), 0);
        });
        EXPECT_EQ(out, c.rewritten);
    }
}

TEST_F(IniTest, LayoutOfTheRewrittenFile) {
    qvk::test::write_file(path, "; comment\n[E]\n[S]\nk =  v  ;c\ne=\n");
    Handle ini(ini_open(path.c_str(), "a", ";"));
    ASSERT_TRUE(ini);
    writeText(ini.get(), "", "top", " 1 ");
    writeText(ini.get(), "  New  ", "  spaced  ", "x");
    ASSERT_EQ(ini_close(ini.release()), 0);
    EXPECT_EQ(read_file(path), "top=1\n\n[E]\n\n[S]\nk=v\ne=\n\n[New]\nspaced=x\n\n");
}

TEST_F(IniTest, WritesAppendAndOverwritesKeepTheirPlace) {
    qvk::test::write_file(path, "[S]\na=1\nb=2\nc=3\n");
    ini_t *ini = ini_open(path.c_str(), "ab", nullptr);
    ASSERT_NE(ini, nullptr);
    writeText(ini, "S", "b", "20");
    writeText(ini, "S", "d", "4");
    EXPECT_EQ(ini_selectHeading(ini, "T"), -1);
    EXPECT_EQ(ini_selectKey(ini, "k"), -1);
    EXPECT_EQ(ini_writeInt(ini, 5), 0);
    EXPECT_STREQ(ini_currentHeading(ini), "T");  // the real heading now, and its key
    EXPECT_EQ(ini->current, ini->lastHeading);
    EXPECT_STREQ(ini_currentKey(ini), "k");
    int five = 0;
    EXPECT_EQ(ini_selectHeading(ini, "T"), 0);
    EXPECT_EQ(ini_selectKey(ini, "k"), 0);
    EXPECT_EQ(ini_readInt(ini, &five), 0);
    EXPECT_EQ(five, 5);
    EXPECT_EQ(ini_test::value(ini, "S", "b"), "20");
    ASSERT_EQ(ini_close(ini), 0);
    EXPECT_EQ(read_file(path), "[S]\na=1\nb=20\nc=3\nd=4\n\n[T]\nk=5\n\n");
    // The backup: the old content followed by what the writes appended.
    EXPECT_EQ(read_file(workPath), "[S]\na=1\nb=2\nc=3\n\n[S]\nb=20\nd=4\n\n[T]\nk=5\n");
}

TEST_F(IniTest, WriterFormats) {
    const std::string out = rewritten("[S]\n", [](ini_t *ini) {
        ini_selectHeading(ini, "S");
        const auto key = [&](const char *name) { ini_selectKey(ini, name); };
        key("d");
        EXPECT_EQ(ini_writeDouble(ini, 1.5), 0);
        key("t");
        EXPECT_EQ(ini_writeBool(ini, 1), 0);
        key("f");
        EXPECT_EQ(ini_writeBool(ini, 0), 0);
        EXPECT_EQ(ini_writeBool(ini, 2), -1);
        key("l");
        EXPECT_EQ(ini_writeLong(ini, -9), 0);
        key("i");
        EXPECT_EQ(ini_writeInt(ini, 7), 0);
        key("s");
        EXPECT_EQ(ini_writeText(ini, ""), 0);
        EXPECT_EQ(ini_dataLength(ini), 0);
        key("d");
        EXPECT_EQ(ini_dataLength(ini), 8);
    });
    EXPECT_EQ(out, "[S]\nd=1.500000\nt=true\nf=false\nl=-9\ni=7\ns=\n\n");
}

TEST_F(IniTest, FailedWritesChangeNothing) {
    const std::string text = "[S]\nk=v\n";
    const std::string out = rewritten(text, [](ini_t *ini) {
        EXPECT_EQ(ini_writeText(ini, "x"), -1);  // nothing selected
        ini_selectHeading(ini, "New");
        EXPECT_EQ(ini_writeText(ini, "x"), -1);  // no key selected
        ini_selectKey(ini, "   ");
        EXPECT_EQ(ini_writeText(ini, "x"), -1);  // a key name of spaces only
        EXPECT_EQ(ini_selectHeading(ini, "New"), -1);
        EXPECT_EQ(ini->flags & INI_CHANGED, 0u);
    });
    EXPECT_EQ(out, text);
}

TEST_F(IniTest, ReadModeRefusesEveryChange) {
    const std::string text = "[S]\nk=v\n";
    Handle ini = open(text, "r");
    ASSERT_TRUE(ini);
    Handle other = open(text, "a");
    ASSERT_TRUE(other);
    ASSERT_EQ(ini_selectHeading(ini.get(), "S"), 0);
    ASSERT_EQ(ini_selectKey(ini.get(), "k"), 0);
    EXPECT_EQ(ini_writeText(ini.get(), "x"), -1);
    EXPECT_EQ(ini_writeBool(ini.get(), 1), -1);
    EXPECT_EQ(ini_writeDouble(ini.get(), 1), -1);
    EXPECT_EQ(ini_writeLong(ini.get(), 1), -1);
    EXPECT_EQ(ini_writeInt(ini.get(), 1), -1);
    EXPECT_EQ(ini_deleteKey(ini.get()), -1);
    EXPECT_EQ(ini_deleteHeading(ini.get()), -1);
    EXPECT_EQ(ini_deleteAll(ini.get()), -1);
    EXPECT_EQ(ini_merge(ini.get(), other.get()), -1);
    EXPECT_EQ(ini_test::value(ini.get(), "S", "k"), "v");
    EXPECT_EQ(ini_flush(ini.get()), 0);
    EXPECT_EQ(ini_close(ini.release()), 0);
    EXPECT_EQ(read_file(path), text);
    other.reset();
    EXPECT_EQ(ini_test::entries(dir.path()), std::vector<std::string>{"test.ini"});
}

}  // namespace
