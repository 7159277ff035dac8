// SPDX-License-Identifier: BSD-3-Clause
// Allocation failures, injected by wrapping malloc and calloc at link time:
// a name whose text cannot be allocated ends the process with an assertion
// on "str"; a record that cannot be allocated is an ordinary failure.
#include <cstdlib>

#include "ini_fixture.h"

namespace {

// Requests of a size in [failFrom, failTo] fail; none while failFrom is 0.
std::size_t failFrom = 0;
std::size_t failTo = 0;

bool failing(std::size_t size) { return failFrom != 0 && size >= failFrom && size <= failTo; }

void failSizes(std::size_t from, std::size_t to) {
    failFrom = from;
    failTo = to;
}

}  // namespace

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__wrap_malloc(std::size_t size) { return failing(size) ? nullptr : __real_malloc(size); }
void *__wrap_calloc(std::size_t count, std::size_t size) {
    return failing(count * size) ? nullptr : __real_calloc(count, size);
}
}

namespace {

using ini_test::exists;
using ini_test::IniTest;

constexpr const char *kAssertion = "Assertion `str' failed";

TEST_F(IniTest, NameTextThatCannotBeAllocatedIsFatal) {
    qvk::test::write_file(path, "[" + std::string(777, 'h') + "]\nk=v\n");
    EXPECT_DEATH((failSizes(778, 778), ini_open(path.c_str(), "r", nullptr)), kAssertion);
    qvk::test::write_file(path, "k=v\n");  // the nameless heading's empty name
    EXPECT_DEATH((failSizes(1, 1), ini_open(path.c_str(), "r", nullptr)), kAssertion);
    // Key names (long enough to take memory of their own), parsed and written.
    const std::string longKey(20000, 'k');
    qvk::test::write_file(path, "[S]\n" + longKey + "=v\n");
    EXPECT_DEATH((failSizes(20001, 20200), ini_open(path.c_str(), "r", nullptr)), kAssertion);
    qvk::test::write_file(path, "[S]\nk=v\n");
    ini_t *ini = ini_open(path.c_str(), "a", nullptr);
    ASSERT_NE(ini, nullptr);
    ini_selectHeading(ini, "S");
    ini_selectKey(ini, longKey.c_str());
    EXPECT_DEATH((failSizes(20001, 20200), ini_writeText(ini, "x")), kAssertion);
    failSizes(0, 0);
    EXPECT_EQ(ini_close(ini), 0);
}

TEST_F(IniTest, RecordThatCannotBeAllocatedFailsCleanly) {
    qvk::test::write_file(path, "[S]\nk=v\n");
    failSizes(sizeof(section_tag), sizeof(section_tag));
    EXPECT_EQ(ini_open(path.c_str(), "a", nullptr), nullptr);
    failSizes(0, 0);
    EXPECT_FALSE(exists(workPath));

    ini_t *ini = ini_open(path.c_str(), "a", nullptr);
    ASSERT_NE(ini, nullptr);
    ini_selectHeading(ini, "New");
    ini_selectKey(ini, "k");
    failSizes(sizeof(section_tag), sizeof(section_tag));
    EXPECT_EQ(ini_writeText(ini, "x"), -1);
    failSizes(0, 0);
    EXPECT_EQ(ini_test::dump(ini), "[S]\nk={v}\n");
    EXPECT_EQ(ini_close(ini), 0);
}

}  // namespace
