// SPDX-License-Identifier: BSD-3-Clause
// The virtual token (qvkvtoken) as a test fixture. Inside the test's private
// mount namespace it mounts the chosen tokens and files, makes
// "/dev/QVUsbKey0" .. "/dev/QVUsbKey31" lead to them on a private /dev, and on
// destruction stops the program and unmounts, whatever the test did.
//
//   QVK_REQUIRE_VIRTUAL_TOKEN();
//   qvk::test::VirtualToken token(
//       qvk::test::VirtualTokenSetup().with_nodes({0, 3}).with_files({"0015:64=text:hello"}));
//   ... open "/dev/QVUsbKey3" through the plug-in ...
//   token.unplug(3);
//   EXPECT_EQ(token.commands(), ...);   // every command the nodes received
//
// The program runs in the foreground as this process's child, with a
// parent-death signal, so even a test that crashes leaves nothing running.
// A program that ends by itself during the test, or does not exit cleanly
// when stopped (a crash, a sanitizer report), fails the test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sandbox.h"

namespace qvk::test {

// What to start the token with, built in steps:
//   VirtualTokenSetup().with_nodes({0, 3}).with_files({"0015:64"})
struct VirtualTokenSetup {
    std::vector<int> nodes;            // tokens plugged in at start
    std::vector<std::string> files;    // file specs as for --file, e.g. "3/0015:64=hex:0102"
    std::vector<std::string> faults;   // as for --fault, e.g. "3:no-answer"
    // Also offer the tokens as cards to vpcd's readers from this port on
    // (qvkvtoken --vpcd); 0: not.
    int vpcd_port = 0;
    // Replace /dev by a private tmpfs that keeps the usual nodes and links
    // /dev/QVUsbKey<N> into the mount. Only one token per test may do so.
    bool link_dev = true;

    VirtualTokenSetup &with_nodes(std::vector<int> indices) {
        nodes = std::move(indices);
        return *this;
    }
    VirtualTokenSetup &with_files(std::vector<std::string> specs) {
        files = std::move(specs);
        return *this;
    }
    VirtualTokenSetup &with_faults(std::vector<std::string> specs) {
        faults = std::move(specs);
        return *this;
    }
    VirtualTokenSetup &with_vpcd(int port) {
        vpcd_port = port;
        return *this;
    }
    VirtualTokenSetup &without_dev_links() {
        link_dev = false;
        return *this;
    }
};

class VirtualToken {
public:
    explicit VirtualToken(const VirtualTokenSetup &setup = {});
    ~VirtualToken();
    VirtualToken(const VirtualToken &) = delete;
    VirtualToken &operator=(const VirtualToken &) = delete;

    // The path of the qvkvtoken program under test.
    static std::string program();

    // Kills the program with SIGKILL, as a crash would, and leaves its mount
    // dead (ENOTCONN) until destruction.
    void kill_program();

    const std::string &mountpoint() const { return mountpoint_; }
    // The node file of token `index` in the mount (not the /dev link).
    std::string node_path(int index) const;
    pid_t pid() const { return pid_; }

    // Hot plug and faults through the mount's control file; throws
    // std::runtime_error when the program refuses the command.
    void plug(int index);
    void unplug(int index);
    void set_fault(int index, const std::string &kind);
    void control(const std::string &command);

    // Command log lines ("QVUsbKey<N> 00 A4 ...") received since the last call.
    std::vector<std::string> commands();
    // What the program printed on standard error so far.
    std::string diagnostics() const;

private:
    void wait_until_mounted();
    void stop();

    TempDir directory_;
    std::string mountpoint_;
    std::string log_path_;
    std::string diagnostics_path_;
    std::size_t log_offset_ = 0;
    bool linked_dev_ = false;
    pid_t pid_ = -1;
};

// Makes "/dev/QVUsbKey0" .. "/dev/QVUsbKey31" symbolic links to
// `mountpoint`/QVUsbKey<N> on a private /dev (a tmpfs holding null, zero,
// full, random, urandom, tty and fuse from the real one). Links to tokens that
// are not plugged in dangle, so the plug-in cannot open them: hot plug in the
// mount shows through /dev at once. Needs a private mount namespace.
void link_token_nodes_into_dev(const std::string &mountpoint);

// True when FUSE can be used here: private namespaces (root) and /dev/fuse.
bool virtual_token_available();

// True when `path` is the mount point of a FUSE file system.
bool is_fuse_mount(const std::string &path);

}  // namespace qvk::test

// Skips the current test unless a virtual token can be mounted here.
#define QVK_REQUIRE_VIRTUAL_TOKEN()                                                        \
    do {                                                                                   \
        QVK_REQUIRE_PRIVATE_NAMESPACES();                                                  \
        if (!::qvk::test::virtual_token_available())                                       \
            GTEST_SKIP() << "needs FUSE: /dev/fuse is missing, so no virtual token can be " \
                            "mounted here";                                                \
    } while (0)
