// SPDX-License-Identifier: BSD-3-Clause
// Start-up and tear-down of the built qvkserver, each in a private IPC
// namespace of its own.
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "daemon_test.h"
#include "qvk_segment.h"
#include "raw_requester.h"

using namespace qvk::test;

namespace {

int semaphore_value(int key) {
    const int set = semget(key, 0, 0);
    return set == -1 ? -1 : semctl(set, 0, GETVAL);
}

bool exists(int key, bool segment) {
    return (segment ? shmget(key, 0, 0) : semget(key, 0, 0)) != -1;
}

bool no_ipc_objects() {
    return !exists(SHM_KEY, true) && !exists(SEM_SERVER_KEY, false) && !exists(SEM_CLIENT_KEY, false);
}

std::string status_line(pid_t pid, const std::string &name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
    return "";
}

// The number of semaphore sets this IPC namespace allows; gives the old limits back.
std::string set_semaphore_limit(int sets) {
    std::string old;
    std::getline(std::ifstream("/proc/sys/kernel/sem"), old);
    std::ofstream("/proc/sys/kernel/sem") << "32000 1024000000 500 " << sets << "\n";
    return old;
}

using DaemonStartup = DaemonTest;

TEST_F(DaemonStartup, DetachesCreatesItsObjectsAndServes) {
    install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
    install_stand_in(StandIn::ccid, work.path());  // found through "./"
    DaemonProcess &d = start(StandInControl().devices("udk", {"/dev/QVUsbKey0"}).devices("ccid", {"/dev/ccid0"}));
    EXPECT_EQ(d.starter_status(), 0);
    ASSERT_NE(d.pid(), 0) << "no detached daemon";
    ASSERT_TRUE(d.wait_until_serving()) << d.standard_error();

    EXPECT_EQ(getsid(d.pid()), d.pid());
    EXPECT_EQ(status_line(d.pid(), "Umask"), "\t0000");
    char cwd[4096] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(d.pid()) + "/cwd").c_str(), cwd, sizeof cwd - 1), 0);
    EXPECT_EQ(std::string(cwd), work.path());

    shmid_ds segment{};
    ASSERT_EQ(shmctl(shmget(SHM_KEY, 0, 0), IPC_STAT, &segment), 0);
    EXPECT_EQ(segment.shm_segsz, static_cast<std::size_t>(SHM_SIZE));
    EXPECT_EQ(segment.shm_perm.mode & 0777, 0777u);
    for (int key : {SEM_SERVER_KEY, SEM_CLIENT_KEY}) {
        semid_ds set{};
        const int id = semget(key, 0, 0);
        ASSERT_NE(id, -1) << key;
        ASSERT_EQ(semctl(id, 0, IPC_STAT, &set), 0);
        EXPECT_EQ(set.sem_nsems, 1u);
        EXPECT_EQ(set.sem_perm.mode & 0777, 0777u);
        EXPECT_EQ(semaphore_value(key), 0) << key;
    }

    RawRequester requester;
    EXPECT_TRUE(std::all_of(requester.block().begin(), requester.block().end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(requester.state().load(), static_cast<std::uint32_t>(SHM_STATE_IDLE));
    const Response listed = parse_response(requester.exchange(enum_request()));
    ASSERT_EQ(listed.length, 5u + 2 * 128);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(listed.payload.data() + 5)), "/dev/QVUsbKey0");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(listed.payload.data() + 133)), "/dev/ccid0");
    EXPECT_EQ(d.standard_output(), "");
    EXPECT_EQ(d.standard_error(), "");
}

TEST_F(DaemonStartup, FailedBindingLeavesNothingAndPrintsNothing) {
    {
        DaemonProcess &d = start();  // no plug-in anywhere
        EXPECT_EQ(d.starter_status(), 0);
        EXPECT_EQ(d.wait_for_exit(), 0);
        EXPECT_EQ(d.standard_output() + d.standard_error(), "");
        EXPECT_TRUE(no_ipc_objects());
    }
    {
        install_stand_in(StandIn::udk_without_close, QVK_PLUGIN_DIR);
        install_stand_in(StandIn::ccid, work.path());
        DaemonProcess &d = start();
        EXPECT_EQ(d.starter_status(), 0);
        EXPECT_EQ(d.wait_for_exit(), 0);
        EXPECT_EQ(d.standard_output() + d.standard_error(), "");
        EXPECT_TRUE(no_ipc_objects());
    }
}

TEST_F(DaemonStartup, LeftOverObjectsAreTakenOverAndReset) {
    const int server = semget(SEM_SERVER_KEY, 1, IPC_CREAT | 0600);
    const int client = semget(SEM_CLIENT_KEY, 1, IPC_CREAT | 0600);
    ASSERT_EQ(semctl(server, 0, SETVAL, 3), 0);
    ASSERT_EQ(semctl(client, 0, SETVAL, 7), 0);
    const int segment = shmget(SHM_KEY, SHM_SIZE, IPC_CREAT | 0600);
    auto *bytes = static_cast<std::uint8_t *>(shmat(segment, nullptr, 0));
    ASSERT_NE(bytes, reinterpret_cast<std::uint8_t *>(-1));
    std::fill(bytes, bytes + SHM_SIZE, 0x5A);

    install_stand_in(StandIn::hid, QVK_PLUGIN_DIR);
    DaemonProcess &d = start();
    ASSERT_TRUE(d.wait_until_serving()) << d.standard_error();
    EXPECT_EQ(semget(SEM_SERVER_KEY, 0, 0), server);
    EXPECT_EQ(semget(SEM_CLIENT_KEY, 0, 0), client);
    EXPECT_EQ(shmget(SHM_KEY, 0, 0), segment);
    EXPECT_EQ(semaphore_value(SEM_SERVER_KEY), 0);
    EXPECT_EQ(semaphore_value(SEM_CLIENT_KEY), 0);
    EXPECT_TRUE(std::all_of(bytes, bytes + SHM_SIZE, [](std::uint8_t b) { return b == 0; }));
    shmdt(bytes);

    RawRequester requester;
    EXPECT_EQ(parse_response(requester.exchange(close_request(0))).payload, Bytes{1});
}

TEST_F(DaemonStartup, ASegmentTooSmallEndsTheDaemonAndRemovesItsSets) {
    const int small = shmget(SHM_KEY, 100, IPC_CREAT | 0600);
    ASSERT_NE(small, -1);
    install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
    DaemonProcess &d = start();
    EXPECT_EQ(d.starter_status(), 0);
    EXPECT_EQ(d.wait_for_exit(), 0);
    EXPECT_EQ(d.standard_error(), "shmger failed!\n");
    EXPECT_EQ(d.standard_output(), "");
    EXPECT_FALSE(exists(SEM_SERVER_KEY, false));
    EXPECT_FALSE(exists(SEM_CLIENT_KEY, false));
    EXPECT_EQ(shmget(SHM_KEY, 0, 0), small);  // the segment is not the daemon's to remove
}

TEST_F(DaemonStartup, SemaphoreSetsThatCannotBeHadEndItWithStatusOne) {
    install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
    const std::string limits = set_semaphore_limit(0);  // no set at all: the client set is not even tried
    {
        DaemonProcess &d = start();
        EXPECT_EQ(d.starter_status(), 0);
        EXPECT_EQ(d.wait_for_exit(), 1);
        EXPECT_EQ(d.standard_output() + d.standard_error(), "");
        EXPECT_TRUE(no_ipc_objects());
    }
    set_semaphore_limit(1);  // the server set only, which stays
    {
        DaemonProcess &d = start();
        EXPECT_EQ(d.wait_for_exit(), 1);
        EXPECT_EQ(d.standard_output() + d.standard_error(), "");
        EXPECT_TRUE(exists(SEM_SERVER_KEY, false));
        EXPECT_FALSE(exists(SEM_CLIENT_KEY, false));
        EXPECT_FALSE(exists(SHM_KEY, true));
    }
    std::ofstream("/proc/sys/kernel/sem") << limits << "\n";
}

}  // namespace

// Asking for help or the version, or a wrong argument, never starts a daemon,
// even where one could serve.
TEST_F(DaemonStartup, ArgumentsAreAnsweredOrRefusedWithoutStarting) {
    install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string output_starts, error_starts;
    } cases[] = {
        {{"--help"}, 0, "usage: qvkserver [--help] [--version]", ""},
        {{"--bogus", "-h"}, 0, "usage: qvkserver", ""},
        {{"--version"}, 0, "qvkserver 1.", ""},
        {{"--bogus"}, 2, "", "qvkserver: unknown option: --bogus\nusage: qvkserver"},
        {{"serve"}, 2, "", "qvkserver: unknown argument: serve\nusage: qvkserver"},
        {{"--"}, 2, "", "qvkserver: unknown argument: --\n"},
        {{"--group", "no-such-group"}, 2, "", "qvkserver: --group: value not accepted: no-such-group\nusage:"},
        {{"--group"}, 2, "", "qvkserver: option needs a value: --group\nusage:"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.front());
        DaemonOptions options;
        options.arguments = c.arguments;
        DaemonProcess &d = start({}, options);
        EXPECT_EQ(d.starter_status(), c.status);
        EXPECT_EQ(d.pid(), 0) << "a daemon was started";
        EXPECT_EQ(d.standard_output().rfind(c.output_starts, 0), 0u) << d.standard_output();
        EXPECT_EQ(d.standard_error().rfind(c.error_starts, 0), 0u) << d.standard_error();
        if (c.error_starts.empty()) {
            EXPECT_EQ(d.standard_error(), "");
        }
        EXPECT_TRUE(no_ipc_objects());
    }
}
