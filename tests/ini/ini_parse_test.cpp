// SPDX-License-Identifier: BSD-3-Clause
// What the parser records: headings, keys and the exact extent of every raw
// value, for the syntax, comment markers, repeated names and special bytes.
#include "ini_fixture.h"

namespace {

using ini_test::Handle;
using ini_test::IniTest;

struct Case {
    const char *text;
    const char *marker;
    const char *index;
};

class Parse : public IniTest {
public:
    void expect(std::initializer_list<Case> cases) {
        for (const Case &c : cases)
            EXPECT_EQ(parsed(c.text, c.marker), c.index)
                << "text: '" << c.text << "' marker: " << (c.marker ? c.marker : "(none)");
    }
};

TEST_F(Parse, HeadingsAndKeyLines) {
    expect({
        // Keys before any heading and a later "[]" share the nameless heading, listed first.
        {"a=1\n[S]\nc=3\n[]\nb=2\n", nullptr, "[]\na={1}\nb={2}\n[S]\nc={3}\n"},
        {"[ a ] text after\nk=v\n[   ]\nn=1\n", nullptr, "[]\nn={1}\n[a]\nk={v}\n"},
        {"[S]\na b = c d\n", nullptr, "[S]\na b={ c d}\n"},
        {"[S]\na=b=c\n=v\nno equals\n", nullptr, "[S]\na={b=c}\n"},
        // Names may hold brackets; leading "]" are skipped; "[" without "]" records nothing.
        {"[S]\nx[y] ]=1\n]] k=2\n  ] z=3\n[T\nw=4\n", nullptr, "[S]\nx[y] ]={1}\nk={2}\nz={3}\nw={4}\n"},
        {"[a=b]\nk=[v]\n", nullptr, "[a=b]\nk={[v]}\n"},
        {"\n\n   \n\t\n", nullptr, ""},
    });
}

TEST_F(Parse, RepeatedNamesMergeIntoTheFirstRecord) {
    expect({
        {"[A]\nx=1\ny=2\n[B]\nz=3\n[a]\nX=9\n", nullptr, "[A]\nX={9}\ny={2}\n[B]\nz={3}\n"},
    });
    // With "i" names match exactly.
    Handle ini = open("[S]\nPath=1\nPATH=2\npath=3\n", "ri");
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini_test::dump(ini.get()), "[S]\nPath={1}\nPATH={2}\npath={3}\n");
    EXPECT_EQ(ini_test::value(ini.get(), "s", "Path"), std::nullopt);
    ini = open("[S]\nPath=1\nPATH=2\npath=3\n", "r");
    EXPECT_EQ(ini_test::dump(ini.get()), "[S]\npath={3}\n");
    EXPECT_EQ(ini_test::value(ini.get(), "s", "PaTh"), "3");
}

TEST_F(Parse, CommentMarkersBeginOnlyWhereTheyMay) {
    expect({
        {"[S]\nk=v ;c\nk2=v;c\n  ;x=1\nk3=;c\nk ;c=1\nk4= ;c\n", ";",
         "[S]\nk={v}\nk2={v;c}\nk3={}\nk ;c={1}\nk4={}\n"},
        {"; [T]\n[a;b] ;x\nk=1\n", ";", "[a;b]\nk={1}\n"},
        {"[S]\n/x=1\nk=v / x\n// y=2\nk2=v //c\nk3=v /\n/=5\n", "//",
         "[S]\n/x={1}\nk={v / x}\nk2={v}\nk3={v /}\n/={5}\n"},
        // Whitespace between marker characters breaks the marker; the held ones are dropped.
        {"/ x=1\n", "//", "[]\nx={1}\n"},
        {"[S]\nk=v ;c\n", nullptr, "[S]\nk={v ;c}\n"},
    });
}

TEST_F(Parse, RefusesMarkersThatTakePartInTheSyntax) {
    for (const char *marker : {"[", "]", "=", "\n", "\r", "\f", "\x1a", ";=", "#]"}) {
        qvk::test::write_file(path, "[S]\nk=v\n");
        EXPECT_EQ(ini_open(path.c_str(), "r", marker), nullptr) << "marker " << marker;
    }
    EXPECT_EQ(parsed("[S]\nk=v #c\n", "#"), "[S]\nk={v}\n");
}

TEST_F(Parse, LineEndsNulAndCtrlZ) {
    expect({
        {"[S]\r\nk = v \r\nk2=x\r\n", nullptr, "[S]\nk={ v }\nk2={x}\n"},
        {"[S]\fk=1\rk2=2", nullptr, "[S]\nk={1}\nk2={2}\n"},
        {"[S]\nk=last line", nullptr, "[S]\nk={last line}\n"},
        {"[S]\nk=v\x1a\n[T]\nz=1\n", nullptr, "[S]\nk={v}\n"},
    });
    EXPECT_EQ(parsed(std::string("[S]\nk=v\0x\n", 10)), "<open failed>");
    // A NUL after the Ctrl-Z is never read; nothing after the Ctrl-Z reaches the working copy.
    Handle ini = open(std::string("[S]\nk=v\x1a\0[T]\n", 13), "a");
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini_test::dump(ini.get()), "[S]\nk={v}\n");
    EXPECT_EQ(ini_test::read_file(workPath), "[S]\nk=v");
}

TEST_F(Parse, AByteOrderMarkStartingTheFileIsSkipped) {
    expect({
        {"\xEF\xBB\xBF[Profile0]\nPath=p\n", nullptr, "[Profile0]\nPath={p}\n"},
        {"\xEF\xBB\xBF;c\nk=v\n", ";", "[]\nk={v}\n"},
        {"\xEF\xBB\xBF", nullptr, ""},
        // Only at the very start: elsewhere, or cut short, the bytes are text.
        {"[S]\n\xEF\xBB\xBFk=1\n", nullptr, "[S]\n\xEF\xBB\xBFk={1}\n"},
        {" \xEF\xBB\xBF[S]\n", nullptr, ""},
        {"\xEF\xBB[S]\nk=1\n", nullptr, "[]\nk={1}\n"},
    });
}

TEST_F(Parse, BlockBoundariesAndLongLines) {
    // Names and markers that straddle the parser's read blocks.
    std::string text = "[S]\n";
    for (int i = 0; text.size() < 300000; ++i)
        text += "key" + std::to_string(i) + std::string(i % 37, 'x') + " = v" + std::to_string(i) + " //c\n";
    text += "[" + std::string(100000, 'h') + "]\n" + std::string(70000, 'k') + "=long\n";
    Handle ini = open(text, "r", "//");
    ASSERT_TRUE(ini);
    for (int i = 0; i < 7000; i += 97) {
        const std::string key = std::string("key").append(std::to_string(i)).append(i % 37, 'x');
        EXPECT_EQ(ini_test::value(ini.get(), "S", key.c_str()), std::string("v").append(std::to_string(i))) << key;
    }
    EXPECT_EQ(ini_test::value(ini.get(), std::string(100000, 'h').c_str(), std::string(70000, 'k').c_str()),
              "long");
}

}  // namespace
