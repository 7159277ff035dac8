// SPDX-License-Identifier: BSD-3-Clause
// A private PC/SC service for tests: pcsc-lite's pcscd, run in the
// foreground as this process's child with vsmartcard's vpcd reader driver,
// in the test's own network namespace (loopback only, so the driver's ports
// are the test's alone) and with a tmpfs over /run for pcscd's socket.
//
//   QVK_REQUIRE_PCSC();
//   qvk::test::enter_private_network();          // before starting anything
//   qvk::test::VirtualToken token(qvk::test::VirtualTokenSetup()
//                                     .with_nodes({0}).with_vpcd(qvk::test::kVpcdPort));
//   qvk::test::PcscDaemon pcscd;                 // readers "Virtual PCD 00 00", "... 01"
//
// The daemon reads a reader configuration of its own that names the
// installed driver exactly as the package's /etc/reader.conf.d/vpcd does.
#pragma once

#include <sys/types.h>

#include <string>

#include "sandbox.h"

namespace qvk::test {

// The driver's first reader listens here; the second on the next port.
inline constexpr int kVpcdPort = 35963;
inline constexpr const char *kVpcdReader0 = "Virtual PCD 00 00";
inline constexpr const char *kVpcdReader1 = "Virtual PCD 00 01";

// True when pcscd and the vpcd driver are installed and the test runs in
// private namespaces.
bool pcsc_available();

// Moves this process into a new network namespace with only the loopback
// interface, up; and puts a tmpfs over /run. Call once per test, before any
// child that should share them is started.
void enter_private_network();

class PcscDaemon {
public:
    // Starts pcscd and waits until its socket accepts clients; with
    // `vpcd_readers` false its configuration names no reader at all.
    explicit PcscDaemon(bool vpcd_readers = true);
    // Stops it (SIGTERM, then SIGKILL) and reaps it.
    ~PcscDaemon();
    PcscDaemon(const PcscDaemon &) = delete;
    PcscDaemon &operator=(const PcscDaemon &) = delete;

    void start();
    void stop();
    pid_t pid() const { return pid_; }
    // What pcscd printed.
    std::string output() const;

private:
    TempDir directory_;
    pid_t pid_ = -1;
};

}  // namespace qvk::test

#define QVK_REQUIRE_PCSC()                                                                  \
    do {                                                                                    \
        QVK_REQUIRE_PRIVATE_NAMESPACES();                                                   \
        if (!::qvk::test::pcsc_available())                                                 \
            GTEST_SKIP() << "needs pcscd and vsmartcard's vpcd driver (Debian packages "    \
                            "pcscd and vsmartcard-vpcd)";                                   \
    } while (0)
