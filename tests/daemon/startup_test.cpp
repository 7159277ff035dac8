// SPDX-License-Identifier: BSD-3-Clause
// Start-up and tear-down of the built qvkserver, each in a private IPC
// namespace of its own: the starter returns once the daemon serves, or with
// the reason it could not.
#include <poll.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "daemon_test.h"
#include "qvkclient.h"
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

// A start that cannot serve ends its starter with the reason on standard
// error and a status of its own, and leaves no daemon behind.
TEST_F(DaemonStartup, AFailedStartEndsTheStarterWithItsReason) {
    const auto with_plugin = [](const std::function<void()> &then) {
        return [then] {
            install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
            then();
        };
    };
    const std::string no_plugin =
        "qvkserver: no device-family plug-in could be bound (libqvkmgrudk.so, libqvkmgrccid.so or "
        "libqvkmgrhid.so, in /usr/lib/kestrane/qvkserver or the working directory, with all four "
        "entry points)\n";
    const std::string no_objects =
        "qvkserver: its IPC objects (segment 2222, semaphore sets 3350 and 4450) could not be made\n";
    const struct {
        const char *name;
        std::function<void()> arrange;
        int status;
        std::string error;
        std::function<bool()> left_behind;  // what must be there afterwards
    } cases[] = {
        {"no plug-in anywhere", [] {}, 3, no_plugin, no_ipc_objects},
        {"a plug-in without an entry point",
         [this] {
             install_stand_in(StandIn::udk_without_close, QVK_PLUGIN_DIR);
             install_stand_in(StandIn::ccid, work.path());
         },
         3, no_plugin, no_ipc_objects},
        // Another program's segment with the key, smaller than the daemon's.
        {"a foreign segment too small", with_plugin([] { ASSERT_NE(shmget(SHM_KEY, 100, IPC_CREAT | 0600), -1); }), 4,
         "shmger failed!\n" + no_objects,
         [] {
             shmid_ds segment{};
             return !exists(SEM_SERVER_KEY, false) && !exists(SEM_CLIENT_KEY, false) &&
                    shmctl(shmget(SHM_KEY, 0, 0), IPC_STAT, &segment) == 0 && segment.shm_segsz == 100;
         }},
        // No semaphore set at all may be made: the client set is not even tried.
        {"no semaphore set", with_plugin([] { set_semaphore_limit(0); }), 4, no_objects, no_ipc_objects},
        // Only the server set, which stays.
        {"one semaphore set only", with_plugin([] { set_semaphore_limit(1); }), 4, no_objects,
         [] { return exists(SEM_SERVER_KEY, false) && !exists(SEM_CLIENT_KEY, false) && !exists(SHM_KEY, true); }},
    };
    const std::string limits = set_semaphore_limit(32000);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DaemonTest::SetUp();  // no plug-in and no object of the case before
        set_semaphore_limit(32000);
        for (const char *file : {"libqvkmgrccid.so", "libqvkmgrudk.so"}) unlink((work / file).c_str());
        ASSERT_NO_FATAL_FAILURE(c.arrange());
        DaemonProcess &d = start();
        EXPECT_EQ(d.starter_status(), c.status);
        EXPECT_EQ(d.pid(), 0) << "a daemon is left after a failed start";
        EXPECT_EQ(d.standard_error(), c.error);
        EXPECT_EQ(d.standard_output(), "");
        EXPECT_TRUE(c.left_behind());
    }
    std::ofstream("/proc/sys/kernel/sem") << limits << "\n";
}

// What the daemon inherits from its starter does not stay with it: a
// descriptor above 2 is closed, a standard error that nobody reads costs it
// no signal (the status says what happened), and with descriptors 0 to 2
// closed and no /dev/null to put there it refuses to start rather than open
// a device on one of them.
TEST_F(DaemonStartup, InheritedDescriptorsAreSettledFirst) {
    install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
    int inherited[2];
    ASSERT_EQ(pipe(inherited), 0);
    DaemonProcess &d = start({}, {.inherited_descriptor = inherited[1]});
    ASSERT_TRUE(d.wait_until_serving()) << d.standard_error();
    close(inherited[1]);
    pollfd end_of_pipe{inherited[0], POLLIN, 0};
    char byte = 0;
    EXPECT_TRUE(poll(&end_of_pipe, 1, 2000) == 1 && read(inherited[0], &byte, 1) == 0)
        << "the daemon kept the starter's pipe open";
    close(inherited[0]);

    TempDir second_output;
    DaemonProcess second(work.path(), {}, second_output.path(), {.broken_standard_error = true});
    EXPECT_EQ(second.starter_status(), 1) << "a second start ends with status 1, not by a signal";

    // Descriptors 0 to 2 closed, and no /dev/null.
    daemon.reset();
    private_dev({});
    DaemonProcess &blind = start({}, {.close_standard_streams = true});
    EXPECT_EQ(blind.starter_status(), 1);
    EXPECT_EQ(blind.pid(), 0) << "a daemon went on";
    umount2("/dev", MNT_DETACH);  // the /dev of the other cases
}

// When the starter has returned 0, the very next request is served: no
// "not running" in a thousand starts (each replacing a killed daemon).
TEST_F(DaemonStartup, ARequestRightAfterTheStarterReturnsIsServed) {
    install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
    const StandInControl control = StandInControl().devices("udk", {"/dev/QVUsbKey0"});
    std::map<std::string, int> failures;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(start(control).starter_status(), 0) << daemon->standard_error();
        qvk_client *client = nullptr;
        qvk_result result = qvk_connect(&client);
        qvk_device_list devices;
        if (result == QVK_OK) result = qvk_list(client, &devices);
        qvk_disconnect(client);
        if (result != QVK_OK) ++failures[qvk_result_text(result)];
        else if (devices.count != 1) ++failures["wrong count"];
    }
    EXPECT_TRUE(failures.empty()) << testing::PrintToString(failures);
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
        {{"--exchange-timeout", "0"}, 2, "", "qvkserver: --exchange-timeout: value not accepted: 0\n"},
        {{"--exchange-timeout=1.5"}, 2, "", "qvkserver: --exchange-timeout: value not accepted: 1.5\n"},
        {{"--exchange-timeout"}, 2, "", "qvkserver: option needs a value: --exchange-timeout\n"},
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
