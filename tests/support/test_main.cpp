// SPDX-License-Identifier: BSD-3-Clause
// main() of every test program: as root, move into private mount and IPC
// namespaces first (see sandbox.h), and never die of SIGPIPE when a test's
// peer has gone.
#include <gtest/gtest.h>

#include <csignal>

namespace qvk::test {
void enter_private_namespaces();
}

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    qvk::test::enter_private_namespaces();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
