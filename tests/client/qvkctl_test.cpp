// SPDX-License-Identifier: BSD-3-Clause
// qvkctl's command line and the exit statuses that need no daemon or a
// misbehaving one (a malformed answer comes from a scripted server); its
// output against the real daemon is tested end to end (client_daemon_test).
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

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
        {"send", "/dev/QVUsbKey0", "00A400"},  // under CLA INS P1 P2: never sent
        {"send", std::string(128, 'p'), "00B00000"},
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
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"list"}, {"send", "/dev/QVUsbKey0", "00B00000"}}) {
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

// A requester attached to the segment is no daemon: status says so, and the
// round trip then finds nobody answering.
TEST(Qvkctl, StatusDoesNotTakeARequesterForTheDaemon) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    const int segment = shmget(SHM_KEY, SHM_SIZE, IPC_CREAT | 0777);
    ASSERT_GE(segment, 0);
    ASSERT_GE(semget(SEM_SERVER_KEY, 1, IPC_CREAT | 0777), 0);
    ASSERT_GE(semget(SEM_CLIENT_KEY, 1, IPC_CREAT | 0777), 0);
    void *attached = shmat(segment, nullptr, 0);  // this test, as a requester
    ASSERT_NE(attached, reinterpret_cast<void *>(-1));

    const QvkctlRun status = run_qvkctl({"--timeout", "0.2", "status"});
    EXPECT_EQ(status.status, 4) << status.out << status.err;
    EXPECT_NE(status.out.find("segment attached by: 1 process, none known to be the daemon"), std::string::npos)
        << status.out;
    EXPECT_EQ(status.out.find("the daemon (qvkserver"), std::string::npos) << status.out;
    shmdt(attached);
    EXPECT_NE(run_qvkctl({"status"}).out.find("segment attached by: nobody\n"), std::string::npos);
}

// Objects that another user keeps to himself (mode 0700): "permission
// denied", never "not running", and no turn state that could not be read.
TEST(Qvkctl, StatusTellsPermissionDeniedFromNotRunning) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    constexpr unsigned kNobody = 65534;
    const pid_t probe = fork();
    if (probe == 0) _exit(setgid(kNobody) == 0 && setuid(kNobody) == 0 ? 0 : 1);
    int became = -1;
    waitpid(probe, &became, 0);
    if (became != 0) GTEST_SKIP() << "cannot run as another user here (a user namespace that maps only root)";
    // Objects an earlier case of this process left (the IPC namespace is private).
    shmctl(shmget(SHM_KEY, 0, 0), IPC_RMID, nullptr);
    semctl(semget(SEM_SERVER_KEY, 0, 0), 0, IPC_RMID);
    semctl(semget(SEM_CLIENT_KEY, 0, 0), 0, IPC_RMID);
    const int segment = shmget(SHM_KEY, SHM_SIZE, IPC_CREAT | 0700);
    ASSERT_GE(segment, 0);
    void *attached = shmat(segment, nullptr, 0);  // as a daemon keeps it
    ASSERT_NE(attached, reinterpret_cast<void *>(-1));
    ASSERT_GE(semget(SEM_SERVER_KEY, 1, IPC_CREAT | 0777), 0);
    ASSERT_GE(semget(SEM_CLIENT_KEY, 1, IPC_CREAT | 0700), 0);

    const QvkctlRun status = run_qvkctl({"status"}, kNobody);
    EXPECT_EQ(status.status, 8) << status.out << status.err;
    EXPECT_NE(status.out.find("shared segment (key 2222): present, permission denied"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("client semaphore set (key 4450): present, permission denied\n"), std::string::npos)
        << status.out;
    EXPECT_EQ(status.out.find("turn free"), std::string::npos) << status.out;
    EXPECT_NE(status.err.find("permission denied"), std::string::npos) << status.err;
    EXPECT_EQ(status.err.find("not running"), std::string::npos) << status.err;
    EXPECT_EQ(run_qvkctl({"list"}, kNobody).status, 8);
    shmdt(attached);
}
