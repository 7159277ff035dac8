// SPDX-License-Identifier: BSD-3-Clause
// Private namespaces and mounts for tests that need the system's fixed paths
// (/dev/QVUsbKey*, /usr/lib/kestrane, /home, /root, /tmp/crw) or its fixed
// IPC keys. As root, the shared main() moves every test process into its own
// mount, IPC and PID namespaces before any test runs (the test runs as
// process 1 there, with its own /proc), so whatever a test mounts, creates or
// starts there is invisible to the host and vanishes with the process.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace qvk::test {

// True when main() entered private mount, IPC and PID namespaces.
bool in_private_namespaces();

// Mounts an empty tmpfs over an existing directory.
void mount_tmpfs(const std::string &directory);

// Bind-mounts source over target, creating target (as an empty file or
// directory, like the source) when it does not exist.
void bind_mount(const std::string &source, const std::string &target);

// An empty, writable tmpfs at directory, even when the host lacks it (for
// example /usr/lib/kestrane/qvkserver): the nearest existing ancestor is then
// covered by an overlay whose changes live in memory, so the host's own
// directory is never written.
void private_directory(const std::string &directory);

// A tmpfs over /dev that holds only the named nodes of the real /dev
// (for example {"null", "urandom", "fuse"}), bound back in.
void private_dev(std::initializer_list<const char *> keep);

// Creates every missing directory of a path (like mkdir -p).
void make_directories(const std::string &path, unsigned mode = 0755);

// Writes a whole file, replacing it.
void write_file(const std::string &path, const std::string &content);

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string &path);

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A copy of a file (a program, a library) with mode 0755, in a fresh
// directory under /tmp that every user may enter: for running or loading it
// as another user, since the build tree may sit where only its owner gets in
// (a checkout in root's home, or under a 0700 directory). Removed with the
// directory on destruction.
class ReachableCopy {
public:
    explicit ReachableCopy(const std::string &file);
    const std::string &path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
};

}  // namespace qvk::test

// Skips the current test unless it runs in private namespaces (that is, as root).
#define QVK_REQUIRE_PRIVATE_NAMESPACES()                                              \
    do {                                                                              \
        if (!::qvk::test::in_private_namespaces())                                    \
            GTEST_SKIP() << "needs root: this test runs in private mount and IPC "    \
                            "namespaces so that it cannot touch the host";            \
    } while (0)
