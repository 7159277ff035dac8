// SPDX-License-Identifier: BSD-3-Clause
// Deletion, flush, close and merge: what reaches the file, when the file
// goes, when the "~" working copy stays as a backup, and the one-step
// replacement of the file.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include "ini_fixture.h"

namespace {

using ini_test::exists;
using ini_test::Handle;
using ini_test::IniTest;
using ini_test::read_file;

const char *const kTwoHeadings = "[S]\na=1\nb=2\n[T]\nc=3\n";

void select(ini_t *ini, const char *heading, const char *key = nullptr) {
    ini_selectHeading(ini, heading);
    if (key) ini_selectKey(ini, key);
}

TEST_F(IniTest, Deletions) {
    EXPECT_EQ(rewritten(kTwoHeadings,
                        [](ini_t *ini) {
                            select(ini, "S", "a");
                            EXPECT_EQ(ini_deleteKey(ini), 0);
                            EXPECT_EQ(ini_deleteKey(ini), -1);  // no current key any more
                            select(ini, "S", "missing");
                            EXPECT_EQ(ini_deleteKey(ini), -1);
                        }),
              "[S]\nb=2\n\n[T]\nc=3\n\n");
    EXPECT_EQ(rewritten(kTwoHeadings,
                        [](ini_t *ini) {
                            select(ini, "T");
                            EXPECT_EQ(ini_deleteHeading(ini), 0);
                            EXPECT_EQ(ini_deleteHeading(ini), -1);  // no heading current
                            select(ini, "missing");
                            EXPECT_EQ(ini_deleteHeading(ini), -1);
                            EXPECT_EQ(ini_test::value(ini, "T", "c"), std::nullopt);
                        }),
              "[S]\na=1\nb=2\n\n");
    // A heading deleted after a write to it is appended afresh by the next write.
    EXPECT_EQ(rewritten(kTwoHeadings,
                        [](ini_t *ini) {
                            select(ini, "T", "c");
                            ini_writeText(ini, "4");
                            EXPECT_EQ(ini_deleteHeading(ini), 0);
                            select(ini, "T", "d");
                            EXPECT_EQ(ini_writeText(ini, "5"), 0);
                        }),
              "[S]\na=1\nb=2\n\n[T]\nd=5\n\n");
}

TEST_F(IniTest, NothingLeftDeletesTheFile) {
    EXPECT_EQ(rewritten(kTwoHeadings,
                        [](ini_t *ini) {
                            select(ini, "S");
                            ini_deleteHeading(ini);
                            select(ini, "T");
                            ini_deleteHeading(ini);
                        }),
              "<deleted>");
    EXPECT_EQ(rewritten(kTwoHeadings,
                        [](ini_t *ini) {
                            EXPECT_EQ(ini_deleteAll(ini), 0);
                            EXPECT_EQ(ini_flush(ini), 0);
                            EXPECT_EQ(ini_flush(ini), 0);  // already gone
                        }),
              "<deleted>");
    // Deleting everything from a file without headings changes nothing.
    qvk::test::write_file(path, "; only a comment\n");
    ini_t *ini = ini_open(path.c_str(), "a", ";");
    ASSERT_NE(ini, nullptr);
    EXPECT_EQ(ini_deleteAll(ini), 0);
    EXPECT_EQ(ini->flags & INI_CHANGED, 0u);
    EXPECT_EQ(ini_close(ini), 0);
    EXPECT_EQ(read_file(path), "; only a comment\n");
    EXPECT_EQ(ini_deleteAll(nullptr), -1);
    EXPECT_EQ(ini_flush(nullptr), -1);
    EXPECT_EQ(ini_close(nullptr), -1);
}

TEST_F(IniTest, BackupRulePerMode) {
    const struct {
        const char *mode;
        bool existed, write, backup;
    } cases[] = {
        {"ab", true, true, true},    {"a", true, true, false},  {"ab", true, false, false},
        {"wb", false, true, false},  {"wb", true, true, true},  {"wbi", true, true, true},
    };
    for (const auto &c : cases) {
        unlink(path.c_str());
        if (c.existed) qvk::test::write_file(path, "[S]\nk=v\n");
        ini_t *ini = ini_open(path.c_str(), c.mode, nullptr);
        ASSERT_NE(ini, nullptr) << c.mode;
        if (c.write) {
            select(ini, "S", "k");
            EXPECT_EQ(ini_writeText(ini, "w"), 0);
        }
        EXPECT_EQ(ini_close(ini), 0);
        EXPECT_EQ(exists(workPath), c.backup) << c.mode << (c.existed ? " existing" : " missing")
                                              << (c.write ? " written" : " unchanged");
        unlink(workPath.c_str());
    }
}

TEST_F(IniTest, EveryFlushRewritesAndKeepsThePosition) {
    Handle ini = open(kTwoHeadings, "a");
    ASSERT_TRUE(ini);
    select(ini.get(), "T", "c");
    ASSERT_EQ(ini_writeText(ini.get(), "9"), 0);
    select(ini.get(), "S", "b");
    ASSERT_EQ(ini_flush(ini.get()), 0);
    const std::string expected = "[S]\na=1\nb=2\n\n[T]\nc=9\n\n";
    EXPECT_EQ(read_file(path), expected);
    EXPECT_STREQ(ini_currentHeading(ini.get()), "S");
    EXPECT_STREQ(ini_currentKey(ini.get()), "b");
    qvk::test::write_file(path, "changed meanwhile");
    ASSERT_EQ(ini_flush(ini.get()), 0);
    EXPECT_EQ(read_file(path), expected);
}

TEST_F(IniTest, ReplacesTheFileInOneStep) {
    Handle ini = open(kTwoHeadings, "a");
    ASSERT_TRUE(ini);
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    select(ini.get(), "S", "a");
    ASSERT_EQ(ini_writeText(ini.get(), std::string(100000, 'x').c_str()), 0);
    ASSERT_EQ(ini_flush(ini.get()), 0);

    // The reader that held the old file still reads all of it.
    std::string old(1000, '\0');
    old.resize(static_cast<std::size_t>(pread(reader, old.data(), old.size(), 0)));
    close(reader);
    EXPECT_EQ(old, kTwoHeadings);
    EXPECT_EQ(read_file(path), "[S]\na=" + std::string(100000, 'x') + "\nb=2\n\n[T]\nc=3\n\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(ini_test::entries(dir.path()).size(), 2u);  // the file and its working copy, no leftovers
}

TEST_F(IniTest, ASymbolicLinkIsReplacedAtItsTarget) {
    const std::string target = dir / "real.ini";
    qvk::test::write_file(target, kTwoHeadings);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    ini_t *ini = ini_open(path.c_str(), "a", nullptr);
    ASSERT_NE(ini, nullptr);
    select(ini, "T", "c");
    ASSERT_EQ(ini_writeText(ini, "4"), 0);
    ASSERT_EQ(ini_close(ini), 0);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(target), "[S]\na=1\nb=2\n\n[T]\nc=4\n\n");
}

TEST_F(IniTest, AFailedRewriteLeavesTheOldFileWhole) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    // A directory that refuses new files: the flush fails and can be retried.
    Handle ini = open(kTwoHeadings, "a");
    ASSERT_TRUE(ini);
    select(ini.get(), "T", "c");
    ASSERT_EQ(ini_writeText(ini.get(), "4"), 0);
    qvk::test::bind_mount(dir.path(), dir.path());
    ASSERT_EQ(mount(nullptr, dir.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(ini_flush(ini.get()), -1);
    EXPECT_EQ(read_file(path), kTwoHeadings);
    ASSERT_EQ(umount2(dir.path().c_str(), MNT_DETACH), 0);
    EXPECT_EQ(ini_flush(ini.get()), 0);
    EXPECT_EQ(read_file(path), "[S]\na=1\nb=2\n\n[T]\nc=4\n\n");

    // A full file system: the rewrite fails part-way, the old file stays whole.
    const std::string small = dir / "small";
    qvk::test::make_directories(small);
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k"), 0);
    const std::string file = small + "/full.ini";
    qvk::test::write_file(file, kTwoHeadings);
    ini_t *full = ini_open(file.c_str(), "a", nullptr);
    ASSERT_NE(full, nullptr);
    select(full, "S", "big");
    ini_writeText(full, std::string(40000, 'x').c_str());
    EXPECT_EQ(ini_close(full), -1);
    EXPECT_EQ(read_file(file), kTwoHeadings);
    EXPECT_EQ(ini_test::entries(small), std::vector<std::string>{"full.ini"});
    umount2(small.c_str(), MNT_DETACH);
}

TEST_F(IniTest, MergeCopiesEveryKey) {
    const std::string sourcePath = dir / "source.ini";
    qvk::test::write_file(sourcePath, "e=\nroot=1\n[A]\nx=1\ny= two \n[Empty]\n[B]\nz=3\n");
    Handle source(ini_open(sourcePath.c_str(), "r", nullptr));
    ASSERT_TRUE(source);
    Handle destination = open("[A]\ny=old\nw=0\n[C]\nc=1\n", "a");
    ASSERT_TRUE(destination);
    select(source.get(), "B", "z");
    ASSERT_EQ(ini_setListDelimiters(source.get(), ","), 0);
    select(destination.get(), "C", "c");

    ASSERT_EQ(ini_merge(destination.get(), source.get()), 0);
    EXPECT_STREQ(ini_currentHeading(source.get()), "B");
    EXPECT_STREQ(ini_currentKey(source.get()), "z");
    EXPECT_EQ(ini_listItemCount(source.get()), 1);  // delimiters back in place
    EXPECT_STREQ(ini_currentHeading(destination.get()), "C");
    EXPECT_EQ(ini_currentKey(destination.get()), nullptr);
    EXPECT_EQ(ini_merge(nullptr, source.get()), -1);
    EXPECT_EQ(ini_merge(destination.get(), nullptr), -1);

    ASSERT_EQ(ini_close(destination.release()), 0);
    EXPECT_EQ(read_file(path), "e   =\nroot=1\n\n[A]\ny=two\nw=0\nx=1\n\n[C]\nc=1\n\n[B]\nz=3\n\n");
}

}  // namespace
