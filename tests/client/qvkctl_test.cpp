// qvkctl's command line and the exit statuses that need no daemon or a
// misbehaving one (a malformed answer comes from a scripted server); its
// output against the real daemon is tested end to end (client_daemon_test).
#include <gtest/gtest.h>

#include "qvk_segment.h"
#include "qvkctl_run.h"
#include "sandbox.h"
#include "scripted_server.h"

using namespace qvk::test;

TEST(Qvkctl, HelpAndCommandLineErrors) {
    const QvkctlRun help = run_qvkctl({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: qvkctl", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
    EXPECT_EQ(run_qvkctl({"list", "-h"}).status, 0);

    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"list", "--xml"},
        {"--timeout", "0", "list"},
        {"--timeout", "soon", "list"},
        {"list", "--timeout"},
        {"status", "extra"},
        {"send", "/dev/QVUsbKey0"},
        {"send", "/dev/QVUsbKey0", "00A4G0"},
        {"send", "/dev/QVUsbKey0", "00A"},
        {"send", "/dev/QVUsbKey0", std::string(1026, '0')},
        {"send", std::string(128, 'p'), "00"},
    };
    for (const auto &arguments : bad) {
        const QvkctlRun run = run_qvkctl(arguments);
        EXPECT_EQ(run.status, 2) << testing::PrintToString(arguments);
        EXPECT_EQ(run.err.rfind("qvkctl: ", 0), 0u) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
}

TEST(Qvkctl, SaysPlainlyThatTheDaemonIsNotRunning) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"list"}, {"send", "/dev/QVUsbKey0", "00"}}) {
        const QvkctlRun run = run_qvkctl(arguments);
        EXPECT_EQ(run.status, 3);
        EXPECT_NE(run.err.find("qvkserver is not running"), std::string::npos) << run.err;
    }
    const QvkctlRun status = run_qvkctl({"status"});
    EXPECT_EQ(status.status, 3);
    EXPECT_NE(status.out.find("shared segment (key 2222): missing"), std::string::npos) << status.out;
    EXPECT_NE(status.err.find("qvkserver is not running"), std::string::npos) << status.err;
}

TEST(Qvkctl, AMalformedAnswerHasItsOwnExitStatus) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server([](const Bytes &) {
        // An enumeration whose count claims more slots than its length holds.
        return answer_block(CMD_ENUM_DEV_PATH, hex("01 00 00 00 03"));
    });
    const QvkctlRun run = run_qvkctl({"list"});
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.err.find("malformed"), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
}
