// SPDX-License-Identifier: BSD-3-Clause
// Selection and reading: the pending heading and key, text reads with
// truncation and trimming, typed reads and the boolean words, list mode.
#include <vector>

#include "ini_fixture.h"

namespace {

using ini_test::Handle;
using ini_test::IniTest;
using Items = std::vector<std::string>;
using Text = std::pair<int, std::string>;

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
    // ini_readText's result and what it left in a buffer that held "unset".
    Text text(std::size_t size = 16) {
        char buffer[300] = "unset";
        const int result = ini_readText(ini.get(), buffer, size);
        return {result, buffer};
    }
    // Every list item ini_readText gives until it fails.
    Items items() {
        Items out;
        for (Text item = text(); item.first == 15 && out.size() < 10; item = text()) out.push_back(item.second);
        return out;
    }
};

TEST_F(Read, MissedSelectionsLeaveNothingToRead) {
    load("[S]\nk=v\n");
    EXPECT_EQ(ini_selectKey(ini.get(), "k"), -1);  // no heading yet
    EXPECT_EQ(ini_selectHeading(ini.get(), "S"), 0);
    EXPECT_EQ(text(), Text(-1, "unset"));  // no key yet
    EXPECT_EQ(ini_selectHeading(ini.get(), "T"), -1);
    EXPECT_EQ(ini_selectKey(ini.get(), "k"), -1);
    EXPECT_EQ(text(), Text(-1, "unset"));
    EXPECT_EQ(ini_selectHeading(ini.get(), "S"), 0);
    EXPECT_EQ(ini_selectKey(ini.get(), "missing"), -1);
    EXPECT_EQ(text(), Text(-1, "unset"));
    long number = 7;
    EXPECT_EQ(ini_readLong(ini.get(), &number), -1);
    EXPECT_EQ(number, 7);
    EXPECT_EQ(ini_selectKey(ini.get(), nullptr), -1);
    EXPECT_STREQ(ini_currentKey(ini.get()), "missing");
}

TEST_F(Read, HeadingsAreWalkedInFileOrder) {
    load("top=1\n[B]\nk=b\n[a]\n[b]\nk=again\n[C]\n");
    std::vector<std::string> names;
    while (ini_selectNextHeading(ini.get()) == 0) names.emplace_back(ini_currentHeading(ini.get()));
    // The nameless heading first; a heading written twice is one heading.
    EXPECT_EQ(names, (Items{"", "B", "a", "C"}));
    EXPECT_EQ(ini_currentHeading(ini.get()), nullptr);
    // Each step leaves no key current; a missed selection starts the walk again.
    ASSERT_EQ(ini_selectHeading(ini.get(), "B"), 0);
    ASSERT_EQ(ini_selectKey(ini.get(), "k"), 0);
    ASSERT_EQ(ini_selectNextHeading(ini.get()), 0);
    EXPECT_STREQ(ini_currentHeading(ini.get()), "a");
    EXPECT_EQ(text(), Text(-1, "unset"));
    EXPECT_EQ(ini_selectHeading(ini.get(), "missing"), -1);
    ASSERT_EQ(ini_selectNextHeading(ini.get()), 0);
    EXPECT_STREQ(ini_currentHeading(ini.get()), "");
    EXPECT_EQ(ini_selectNextHeading(nullptr), -1);
}

TEST_F(Read, TextIsCutThenTrimmed) {
    load("[S]\nk=  hello  \nempty=\nspaces=   \n");
    select("S", "k");
    EXPECT_EQ(ini_dataLength(ini.get()), 9);
    EXPECT_EQ(text(256), Text(9, "hello"));
    EXPECT_EQ(text(4), Text(3, "h"));  // the first three raw bytes: two spaces and "h"
    EXPECT_EQ(text(1), Text(0, ""));
    EXPECT_EQ(text(0), Text(-1, "unset"));
    select("S", "empty");
    EXPECT_EQ(text(256), Text(0, ""));
    select("S", "spaces");
    EXPECT_EQ(text(256), Text(3, ""));
    EXPECT_EQ(ini_dataLength(nullptr), -1);
}

TEST_F(Read, TypedReads) {
    load("[S]\ni= 42 \nl=-7 apples\nd=1.5\nx=x1\nempty=\nspaces=   \n42=x\n");
    int i = 0;
    long l = 0;
    double d = 0;
    select("S", "i");
    EXPECT_EQ(ini_readInt(ini.get(), &i), 0);
    select("S", "l");
    EXPECT_EQ(ini_readLong(ini.get(), &l), 0);
    select("S", "d");
    EXPECT_EQ(ini_readDouble(ini.get(), &d), 0);
    EXPECT_EQ(i, 42);
    EXPECT_EQ(l, -7);
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

TEST_F(Read, BooleanWords) {
    const std::pair<const char *, int> words[] = {
        {"Yes", 1}, {"ON", 1}, {"1", 1}, {"true", 1}, {" on  and on", 1}, {"No", 0}, {"off", 0},
        {"0", 0}, {"FALSE", 0}, {"falsehood", 0}, {"10", -1}, {"2", -1}, {"maybe", -1}, {"", -1}, {"   ", -1}};
    std::string file = "[B]\n";
    for (std::size_t n = 0; n < std::size(words); ++n)
        file.append("k").append(std::to_string(n)).append("=").append(words[n].first).append("\n");
    load(file);
    for (std::size_t n = 0; n < std::size(words); ++n) {
        select("B", std::string("k").append(std::to_string(n)).c_str());
        int value = -5;
        EXPECT_EQ(ini_readBool(ini.get(), &value), words[n].second < 0 ? -1 : 0) << words[n].first;
        EXPECT_EQ(value, words[n].second < 0 ? -5 : words[n].second) << words[n].first;
    }
}

TEST_F(Read, ListSplitting) {
    const struct {
        const char *delimiters, *value;
        Items expected;
    } cases[] = {
        {",", "a,b,,c", {"a", "b", "", "c"}}, {",", "a,b,", {"a", "b", ""}},  {",", ",a", {"", "a"}},
        {",", "  a,b,", {"a", "b", ""}},      {" ", "a  b", {"a", "b"}},       {", ", "a, b", {"a", "", "b"}},
        {", ", "a ,b", {"a", "b"}},           {",;", "a;b ,c", {"a", "b", "c"}}, {",", "single", {"single"}},
    };
    for (const auto &c : cases) {
        load(std::string("[L]\nv=") + c.value + "\n");
        ASSERT_EQ(ini_setListDelimiters(ini.get(), c.delimiters), 0);
        select("L", "v");
        EXPECT_EQ(ini_listItemCount(ini.get()), static_cast<int>(c.expected.size())) << c.value;
        EXPECT_EQ(items(), c.expected) << "'" << c.value << "' split at '" << c.delimiters << "'";
    }
}

TEST_F(Read, ListPositionAndLengths) {
    load("[L]\nv=x,y,z\nn=ab , 42\nempty=\n");
    ASSERT_EQ(ini_listDelimiters(ini.get(), ","), 0);
    select("L", "v");
    EXPECT_EQ(ini_seekListItem(ini.get(), 2), 0);
    EXPECT_EQ(ini_seekListItem(ini.get(), 3), -1);
    EXPECT_EQ(text(), Text(15, "z"));
    EXPECT_EQ(ini_seekListItem(ini.get(), 0), 0);
    EXPECT_EQ(items(), (Items{"x", "y", "z"}));
    select("L", "v");  // a selection starts the list again
    EXPECT_EQ(items(), (Items{"x", "y", "z"}));

    select("L", "n");
    EXPECT_EQ(ini_dataLength(ini.get()), 3);  // "ab ", untrimmed, and the cursor stays
    EXPECT_EQ(text(), Text(15, "ab"));
    int number = 0;
    EXPECT_EQ(ini_readInt(ini.get(), &number), 0);
    EXPECT_EQ(number, 42);
    EXPECT_EQ(ini_dataLength(ini.get()), -1);  // past the last item
    EXPECT_EQ(ini_readInt(ini.get(), &number), -1);

    select("L", "empty");  // one empty item, every time
    EXPECT_EQ(ini_listItemCount(ini.get()), 0);
    EXPECT_EQ(ini_dataLength(ini.get()), 0);
    EXPECT_EQ(ini_seekListItem(ini.get(), 0), -1);
    EXPECT_EQ(text(), Text(15, ""));
    EXPECT_EQ(text(), Text(15, ""));

    // List mode off: the whole value again; list operations refuse a non-empty value.
    ASSERT_EQ(ini_setListDelimiters(ini.get(), ""), 0);
    select("L", "v");
    EXPECT_EQ(text(), Text(5, "x,y,z"));
    EXPECT_EQ(ini_listItemCount(ini.get()), -1);
    EXPECT_EQ(ini_seekListItem(ini.get(), 0), -1);
}

}  // namespace
