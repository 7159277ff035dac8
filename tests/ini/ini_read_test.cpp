// Selection and reading: the pending heading and key, text reads with
// truncation and trimming, typed reads and the boolean words, list mode.
#include <cstring>
#include <vector>

#include "ini_fixture.h"

namespace {

using ini_test::Handle;
using ini_test::IniTest;

class Read : public IniTest {
protected:
    Handle ini;
    void load(const std::string &text) {
        ini = open(text, "r");
        ASSERT_TRUE(ini);
    }
    void select(const char *heading, const char *key) {
        ASSERT_EQ(ini_selectHeading(ini.get(), heading), 0) << heading;
        ASSERT_EQ(ini_selectKey(ini.get(), key), 0) << key;
    }
};

TEST_F(Read, MissedSelectionsLeaveNothingToRead) {
    load("[S]\nk=v\n");
    char buffer[8] = "unset";
    EXPECT_EQ(ini_selectKey(ini.get(), "k"), -1);  // no heading yet
    EXPECT_EQ(ini_selectHeading(ini.get(), "S"), 0);
    EXPECT_EQ(ini_readText(ini.get(), buffer, sizeof buffer), -1);  // no key yet
    EXPECT_EQ(ini_selectHeading(ini.get(), "T"), -1);
    EXPECT_EQ(ini_selectKey(ini.get(), "k"), -1);
    EXPECT_EQ(ini_readText(ini.get(), buffer, sizeof buffer), -1);
    EXPECT_EQ(ini_selectHeading(ini.get(), "S"), 0);
    EXPECT_EQ(ini_selectKey(ini.get(), "missing"), -1);
    EXPECT_EQ(ini_readText(ini.get(), buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "unset");
    long number = 7;
    EXPECT_EQ(ini_readLong(ini.get(), &number), -1);
    EXPECT_EQ(number, 7);
    EXPECT_EQ(ini_selectHeading(ini.get(), nullptr), -1);
    EXPECT_EQ(ini_selectKey(ini.get(), nullptr), -1);
    EXPECT_STREQ(ini_currentKey(ini.get()), "missing");
}

TEST_F(Read, TextIsCutThenTrimmed) {
    load("[S]\nk=  hello  \nempty=\nspaces=   \n");
    char buffer[256];
    select("S", "k");
    EXPECT_EQ(ini_dataLength(ini.get()), 9);
    EXPECT_EQ(ini_readText(ini.get(), buffer, 256), 9);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(ini_readText(ini.get(), buffer, 4), 3);
    EXPECT_STREQ(buffer, "h");
    EXPECT_EQ(ini_readText(ini.get(), buffer, 1), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(ini_readText(ini.get(), buffer, 0), -1);
    select("S", "empty");
    EXPECT_EQ(ini_readText(ini.get(), buffer, 256), 0);
    EXPECT_STREQ(buffer, "");
    select("S", "spaces");
    EXPECT_EQ(ini_readText(ini.get(), buffer, 256), 3);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(ini_dataLength(nullptr), -1);
}

TEST_F(Read, TypedReads) {
    load("[S]\ni= 42 \nl=-7 apples\nd=1.5\nx=x1\nempty=\nspaces=   \n42=x\n");
    int i = 0;
    long l = 0;
    double d = 0;
    select("S", "i");
    EXPECT_EQ(ini_readInt(ini.get(), &i), 0);
    EXPECT_EQ(i, 42);
    select("S", "l");
    EXPECT_EQ(ini_readLong(ini.get(), &l), 0);
    EXPECT_EQ(l, -7);
    select("S", "d");
    EXPECT_EQ(ini_readDouble(ini.get(), &d), 0);
    EXPECT_EQ(d, 1.5);
    for (const char *key : {"x", "empty", "spaces"}) {
        select("S", key);
        EXPECT_EQ(ini_readInt(ini.get(), &i), -1) << key;
        EXPECT_EQ(ini_readLong(ini.get(), &l), -1) << key;  // never the 42 of the next line
        EXPECT_EQ(ini_readDouble(ini.get(), &d), -1) << key;
    }
    EXPECT_EQ(i, 42);
    EXPECT_EQ(l, -7);
}

TEST_F(IniTest, BooleanWords) {
    const std::pair<const char *, int> words[] = {
        {"Yes", 1}, {"ON", 1}, {"1", 1}, {"true", 1}, {" on  and on", 1}, {"No", 0}, {"off", 0},
        {"0", 0}, {"FALSE", 0}, {"falsehood", 0}, {"10", -1}, {"2", -1}, {"maybe", -1}, {"", -1}, {"   ", -1}};
    std::string text = "[B]\n";
    for (std::size_t n = 0; n < std::size(words); ++n) text += "k" + std::to_string(n) + "=" + words[n].first + "\n";
    Handle ini = open(text);
    ASSERT_TRUE(ini);
    for (std::size_t n = 0; n < std::size(words); ++n) {
        ASSERT_EQ(ini_selectHeading(ini.get(), "B"), 0);
        ASSERT_EQ(ini_selectKey(ini.get(), ("k" + std::to_string(n)).c_str()), 0);
        int value = -5;
        const int result = ini_readBool(ini.get(), &value);
        EXPECT_EQ(result, words[n].second < 0 ? -1 : 0) << words[n].first;
        EXPECT_EQ(value, words[n].second < 0 ? -5 : words[n].second) << words[n].first;
    }
}

// Every item that ini_readText gives until it fails.
std::vector<std::string> items(ini_t *ini) {
    std::vector<std::string> out;
    char buffer[64];
    while (out.size() < 10 && ini_readText(ini, buffer, sizeof buffer) == 63) out.emplace_back(buffer);
    return out;
}

TEST_F(Read, ListSplitting) {
    using Items = std::vector<std::string>;
    const struct {
        const char *delimiters, *value;
        Items expected;
    } cases[] = {
        {",", "a,b,,c", {"a", "b", "", "c"}},
        {",", "a,b,", {"a", "b", ""}},
        {",", ",a", {"", "a"}},
        {",", "  a,b,", {"a", "b", ""}},
        {" ", "a  b", {"a", "b"}},
        {", ", "a, b", {"a", "", "b"}},
        {", ", "a ,b", {"a", "b"}},
        {",;", "a;b ,c", {"a", "b", "c"}},
        {",", "single", {"single"}},
    };
    for (const auto &c : cases) {
        load(std::string("[L]\nv=") + c.value + "\n");
        ASSERT_EQ(ini_setListDelimiters(ini.get(), c.delimiters), 0);
        select("L", "v");
        EXPECT_EQ(ini_listItemCount(ini.get()), static_cast<int>(c.expected.size())) << c.value;
        EXPECT_EQ(items(ini.get()), c.expected) << "'" << c.value << "' split at '" << c.delimiters << "'";
    }
}

TEST_F(Read, ListPositionAndLengths) {
    load("[L]\nv=x,y,z\nn=ab , 42\nempty=\n");
    ASSERT_EQ(ini_listDelimiters(ini.get(), ","), 0);
    char buffer[16];
    select("L", "v");
    EXPECT_EQ(ini_seekListItem(ini.get(), 2), 0);
    EXPECT_EQ(ini_seekListItem(ini.get(), 3), -1);
    EXPECT_EQ(ini_readText(ini.get(), buffer, sizeof buffer), 15);
    EXPECT_STREQ(buffer, "z");
    EXPECT_EQ(ini_seekListItem(ini.get(), 0), 0);
    EXPECT_EQ(items(ini.get()), (std::vector<std::string>{"x", "y", "z"}));
    select("L", "v");  // a selection starts the list again
    EXPECT_EQ(items(ini.get()), (std::vector<std::string>{"x", "y", "z"}));

    select("L", "n");
    EXPECT_EQ(ini_dataLength(ini.get()), 3);  // "ab ", untrimmed, and the cursor stays
    EXPECT_EQ(ini_dataLength(ini.get()), 3);
    EXPECT_EQ(ini_readText(ini.get(), buffer, sizeof buffer), 15);
    EXPECT_EQ(ini_dataLength(ini.get()), 3);
    int number = 0;
    EXPECT_EQ(ini_readInt(ini.get(), &number), 0);
    EXPECT_EQ(number, 42);
    EXPECT_EQ(ini_dataLength(ini.get()), -1);  // past the last item
    EXPECT_EQ(ini_readInt(ini.get(), &number), -1);

    select("L", "empty");
    EXPECT_EQ(ini_listItemCount(ini.get()), 0);
    EXPECT_EQ(ini_dataLength(ini.get()), 0);
    EXPECT_EQ(ini_seekListItem(ini.get(), 0), -1);
    for (int n = 0; n < 3; ++n) {
        std::strcpy(buffer, "unset");
        EXPECT_EQ(ini_readText(ini.get(), buffer, sizeof buffer), 15);
        EXPECT_STREQ(buffer, "");
    }

    // List mode off: the whole value again; list operations refuse a non-empty value.
    ASSERT_EQ(ini_setListDelimiters(ini.get(), nullptr), 0);
    select("L", "v");
    EXPECT_EQ(ini_readText(ini.get(), buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "x,y,z");
    EXPECT_EQ(ini_listItemCount(ini.get()), -1);
    EXPECT_EQ(ini_seekListItem(ini.get(), 0), -1);
    ASSERT_EQ(ini_setListDelimiters(ini.get(), ""), 0);
    EXPECT_EQ(ini_readText(ini.get(), buffer, sizeof buffer), 5);
}

}  // namespace
