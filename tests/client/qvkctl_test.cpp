// qvkctl's command line, output and exit statuses. The failures a daemon
// cannot be made to produce (a malformed answer) come from a scripted server.
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

TEST(Qvkctl, ListsSendsAndReportsTheStateOfAScriptedServer) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server(token_answers);
    EXPECT_EQ(run_qvkctl({"list"}).out, "/dev/QVUsbKey0\n/dev/QVUsbKey1\n");
    const QvkctlRun json = run_qvkctl({"list", "--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, "{\"devices\": [\"/dev/QVUsbKey0\", \"/dev/QVUsbKey1\"]}\n");

    // The scripted token answers each APDU reversed, with 90 00.
    const QvkctlRun send = run_qvkctl({"send", "/dev/QVUsbKey0", "00 84 00 00 08", "01:02"});
    EXPECT_EQ(send.status, 0) << send.err;
    EXPECT_EQ(send.out, "0800008400 9000\n0201 9000\n");

    const QvkctlRun unlisted = run_qvkctl({"send", "/dev/QVUsbKey9", "00"});
    EXPECT_EQ(unlisted.status, 6);
    EXPECT_NE(unlisted.err.find("/dev/QVUsbKey9 is not among the devices"), std::string::npos) << unlisted.err;
    const QvkctlRun refused = run_qvkctl({"send", "/dev/QVUsbKey1", "00"});
    EXPECT_EQ(refused.status, 6);
    EXPECT_NE(refused.err.find("not opened"), std::string::npos) << refused.err;

    const QvkctlRun status = run_qvkctl({"status"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("segment attached by the daemon: yes"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("2 devices listed"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("qvkserver is running"), std::string::npos) << status.out;

    server.stop();
    const QvkctlRun late = run_qvkctl({"--timeout", "0.2", "list"});
    EXPECT_EQ(late.status, 4);
    EXPECT_NE(late.err.find("did not answer in time"), std::string::npos) << late.err;
    server.resume();
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
