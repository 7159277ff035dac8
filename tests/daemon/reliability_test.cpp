// SPDX-License-Identifier: BSD-3-Clause
// The built qvkserver started twice, restarted with requesters about, left
// with its IPC objects removed, or with handles of requesters that died.
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "daemon_test.h"
#include "qvkclient.h"
#include "raw_requester.h"

using namespace qvk::test;

namespace {

const Bytes kApdu = hex("00 B0 00 00 02");

int client_set() { return semget(SEM_CLIENT_KEY, 0, 0); }
int turn_value() { return semctl(client_set(), 0, GETVAL); }

std::uint32_t open_handle(const RawRequester &requester, const std::string &path) {
    const Response opened = parse_response(requester.exchange(open_request(path)));
    std::uint32_t handle = 0;
    if (opened.command == CMD_OPEN_DEV && opened.payload.size() == 4) std::memcpy(&handle, opened.payload.data(), 4);
    return handle;
}

// The status after the data of a transmit's answer.
std::uint32_t transmit_status(const RawRequester &requester, std::uint32_t handle) {
    const Response answer = parse_response(requester.exchange(transmit_request(handle, kApdu, 2)));
    std::uint32_t status = 0;
    if (answer.payload.size() >= 4) std::memcpy(&status, answer.payload.data() + answer.payload.size() - 4, 4);
    return status;
}

std::size_t open_descriptors(pid_t pid) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++count;
    return count;
}

class DaemonReliability : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped()) return;
        install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
    }
    const StandInControl one_token = StandInControl()
                                         .devices("udk", {"/dev/QVUsbKey0"})
                                         // A family hands the same number out again at once,
                                         // as descriptors are.
                                         .open("udk", "/dev/QVUsbKey0", {3})
                                         .answer("udk", 0x9000, "01 02");
};

TEST_F(DaemonReliability, ASecondDaemonRefusesToStartAndTouchesNothing) {
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    RawRequester requester;
    // A requester holds the turn and a byte sits in the block: a second
    // daemon taking the objects over would reset the one and clear the other.
    sembuf take[2] = {{0, 0, IPC_NOWAIT}, {0, 1, SEM_UNDO}};
    ASSERT_EQ(semop(client_set(), take, 2), 0);
    requester.block()[SHM_BLOCK_SIZE - 1] = 0xA5;

    TempDir second_output;
    DaemonProcess second(work.path(), {}, second_output.path());
    EXPECT_EQ(second.starter_status(), 1);
    EXPECT_EQ(second.pid(), 0) << "a second daemon went on in the background";
    EXPECT_EQ(second.standard_error(), "qvkserver is already running\n");
    EXPECT_EQ(second.standard_output(), "");
    EXPECT_EQ(turn_value(), 1);
    EXPECT_EQ(requester.block()[SHM_BLOCK_SIZE - 1], 0xA5);

    sembuf give{0, -1, SEM_UNDO | IPC_NOWAIT};
    ASSERT_EQ(semop(client_set(), &give, 1), 0);
    EXPECT_EQ(parse_response(requester.exchange(enum_request())).length, 5u + DEV_PATH_SLOT_SIZE);

    // Killed (SIGKILL), it keeps no later start from serving.
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    EXPECT_EQ(daemon->starter_status(), 0);
}

TEST_F(DaemonReliability, HandlesAreNeverReusedAndNoneOutlivesItsRun) {
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    std::uint32_t closed = 0;
    std::uint32_t kept = 0;
    {
        RawRequester requester;
        requester.exchange(enum_request());
        closed = open_handle(requester, "/dev/QVUsbKey0");
        requester.exchange(close_request(closed));
        kept = open_handle(requester, "/dev/QVUsbKey0");
        for (std::uint32_t handle : {closed, kept}) {
            EXPECT_NE(handle, QVK_HANDLE_NONE);
            EXPECT_NE(handle, QVK_HANDLE_FAILED);
        }
        EXPECT_NE(kept, closed);
        // The closed handle reaches nothing, though the family reused its number.
        const std::size_t calls_before = calls().size();
        EXPECT_EQ(transmit_status(requester, closed), QVK_STATUS_NOT_OPEN);
        EXPECT_EQ(calls().size(), calls_before);
        EXPECT_EQ(transmit_status(requester, kept), 0x9000u);
        EXPECT_EQ(calls().back(), "udk transmit 3 5 00b0000002 2 -> 9000 2");
    }

    // Killed and started again: a handle kept from the first run is refused.
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    RawRequester requester;
    requester.exchange(enum_request());
    const std::uint32_t fresh = open_handle(requester, "/dev/QVUsbKey0");
    EXPECT_NE(fresh, QVK_HANDLE_NONE);
    EXPECT_NE(fresh, closed);
    EXPECT_NE(fresh, kept);
    EXPECT_EQ(transmit_status(requester, kept), QVK_STATUS_NOT_OPEN);
    EXPECT_EQ(transmit_status(requester, fresh), 0x9000u);
}

TEST_F(DaemonReliability, ATurnHeldAcrossARestartStaysItsHoldersAlone) {
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    // A requester in the middle of a call holds the turn, with SEM_UNDO as
    // the requester library takes it.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
        if (semop(client_set(), take, 2) != 0) _exit(1);
        if (write(ready[1], "k", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);

    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    EXPECT_EQ(turn_value(), 1) << "the restart took the turn from its holder";
    sembuf take[2] = {{0, 0, IPC_NOWAIT}, {0, 1, SEM_UNDO}};
    EXPECT_NE(semop(client_set(), take, 2), 0) << "a second requester got the turn beside the first";

    kill(holder, SIGKILL);
    ASSERT_EQ(waitpid(holder, nullptr, 0), holder);
    EXPECT_EQ(turn_value(), 0);  // its undo gave it back
    close(ready[0]);
    close(ready[1]);

    // A turn left by a requester that died without an undo is still reset.
    const pid_t careless = fork();
    if (careless == 0) _exit(semctl(client_set(), 0, SETVAL, 1) == 0 ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(careless, &status, 0), careless);
    ASSERT_EQ(status, 0);
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    EXPECT_EQ(turn_value(), 0);
}

enum class Removed { server_set, client_set, segment };

class RemovedObject : public DaemonReliability, public ::testing::WithParamInterface<Removed> {};

TEST_P(RemovedObject, EndsTheDaemonWithAFailureInsteadOfSpinning) {
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    // Stopped and continued, it just waits again.
    ASSERT_EQ(kill(daemon->pid(), SIGSTOP), 0);
    ASSERT_EQ(kill(daemon->pid(), SIGCONT), 0);
    ASSERT_TRUE(daemon->wait_until_serving());
    {
        RawRequester requester;
        EXPECT_EQ(parse_response(requester.exchange(close_request(1))).payload, Bytes{1});
    }

    switch (GetParam()) {
    case Removed::server_set:
        ASSERT_EQ(semctl(semget(SEM_SERVER_KEY, 0, 0), 0, IPC_RMID), 0);
        break;
    case Removed::client_set:
        ASSERT_EQ(semctl(client_set(), 0, IPC_RMID), 0);
        break;
    case Removed::segment:
        ASSERT_EQ(shmctl(shmget(SHM_KEY, 0, 0), IPC_RMID, nullptr), 0);
        break;
    }
    const std::optional<int> status = daemon->wait_for_exit(std::chrono::seconds(5));
    ASSERT_TRUE(status.has_value()) << "the daemon went on with an object removed";
    EXPECT_NE(*status, 0);
    EXPECT_EQ(daemon->standard_error(), "qvkserver: its IPC objects were removed\n");

    // Started again (as the service manager does), it makes them anew.
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    RawRequester requester;
    EXPECT_EQ(parse_response(requester.exchange(enum_request())).length, 5u + DEV_PATH_SLOT_SIZE);
}

INSTANTIATE_TEST_SUITE_P(, RemovedObject,
                         ::testing::Values(Removed::server_set, Removed::client_set, Removed::segment),
                         [](const auto &param_info) {
                             switch (param_info.param) {
                             case Removed::server_set:
                                 return "ServerSet";
                             case Removed::client_set:
                                 return "ClientSet";
                             case Removed::segment:
                                 break;
                             }
                             return "Segment";
                         });

// The real kernel-driver plug-in, whose handles are descriptors, on a node
// that is /dev/null: opens and closes work, exchanges get no answer.
class DescriptorHandles : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped()) return;
        private_dev({"null"});
        bind_mount("/dev/null", "/dev/QVUsbKey0");
        // QVK_TEST_UDK_PLUGIN names another build of it, for QVK_TEST_SERVER.
        const char *plugin = std::getenv("QVK_TEST_UDK_PLUGIN");
        std::filesystem::copy_file(plugin != nullptr && *plugin != '\0' ? plugin : QVK_UDK_PLUGIN_PATH,
                                   std::string(QVK_PLUGIN_DIR) + "/libqvkmgrudk.so");
    }
};

TEST_F(DescriptorHandles, NoDeviceIsOpenedOnAClosedStandardInput) {
    ASSERT_NO_FATAL_FAILURE(start_serving({}, {.close_standard_input = true}));
    RawRequester requester;
    EXPECT_EQ(parse_response(requester.exchange(enum_request())).length, 5u + DEV_PATH_SLOT_SIZE);
    const std::uint32_t handle = open_handle(requester, "/dev/QVUsbKey0");
    EXPECT_NE(handle, QVK_HANDLE_NONE) << "the device was opened as descriptor 0 and taken for not opened";
    EXPECT_EQ(parse_response(requester.exchange(close_request(handle))).payload, Bytes{1});
}

TEST_F(DescriptorHandles, KilledRequestersLeaveNoDescriptorBehind) {
    // A soft limit below the hard one, which the daemon raises to the hard one.
    ASSERT_NO_FATAL_FAILURE(start_serving({}, {.descriptor_soft_limit = 32, .descriptor_hard_limit = 64}));
    const std::string limits = read_file("/proc/" + std::to_string(daemon->pid()) + "/limits");
    EXPECT_NE(limits.find("Max open files            64                   64"), std::string::npos) << limits;
    const std::size_t idle = open_descriptors(daemon->pid());

    // Each requester lists, opens and is killed before it closes: about four
    // times as many opens as the daemon has descriptors.
    int not_opened = 0;
    for (int i = 0; i < 250; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            qvk_client *client = nullptr;
            qvk_device_list devices;
            std::uint32_t handle = 0;
            qvk_result result = qvk_connect(&client);
            if (result == QVK_OK) result = qvk_list(client, &devices);
            if (result == QVK_OK) result = qvk_open(client, "/dev/QVUsbKey0", &handle);
            if (result == QVK_OK) raise(SIGKILL);
            _exit(100 + result);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (!WIFSIGNALED(status)) ++not_opened;
    }
    EXPECT_EQ(not_opened, 0);

    // Still serving, and once idle back to its idle descriptors.
    qvk_client *client = nullptr;
    ASSERT_EQ(qvk_connect(&client), QVK_OK);
    qvk_device_list devices;
    std::uint32_t handle = 0;
    EXPECT_EQ(qvk_list(client, &devices), QVK_OK);
    EXPECT_EQ(devices.count, 1u);
    EXPECT_EQ(qvk_open(client, "/dev/QVUsbKey0", &handle), QVK_OK);
    EXPECT_EQ(qvk_close(client, handle), QVK_OK);
    qvk_disconnect(client);
    EXPECT_TRUE(eventually([&] { return open_descriptors(daemon->pid()) == idle; }, std::chrono::seconds(10)))
        << open_descriptors(daemon->pid()) << " descriptors open, " << idle << " when idle";
}

// Handles opened without the turn cannot be told apart by their opener: at
// most 512 of them stay open (the least recently used go first), and all
// go once no requester has the segment attached any more.
TEST_F(DescriptorHandles, HandlesOfUnknownOpenersAreBounded) {
    ASSERT_NO_FATAL_FAILURE(start_serving());
    const std::size_t idle = open_descriptors(daemon->pid());
    {
        RawRequester requester;
        requester.exchange(enum_request());
        std::uint32_t first = 0, last = 0;
        for (int i = 0; i < 600; ++i) {
            last = open_handle(requester, "/dev/QVUsbKey0");
            ASSERT_NE(last, QVK_HANDLE_NONE) << i;
            if (i == 0) first = last;
        }
        EXPECT_LE(open_descriptors(daemon->pid()), idle + 512);
        EXPECT_EQ(transmit_status(requester, first), QVK_STATUS_NOT_OPEN) << "the least recently used stayed";
        EXPECT_EQ(transmit_status(requester, last), 0xFFFFu) << "the newest went";  // /dev/null gives no answer
    }
    EXPECT_TRUE(eventually([&] { return open_descriptors(daemon->pid()) == idle; }, std::chrono::seconds(10)))
        << open_descriptors(daemon->pid()) << " descriptors open, " << idle << " when idle";
}

}  // namespace
