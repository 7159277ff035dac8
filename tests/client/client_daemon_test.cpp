// SPDX-License-Identifier: BSD-3-Clause
// End to end: libqvkclient and qvkctl against the built qvkserver, which
// loads the real kernel-driver plug-in from its working directory; the
// plug-in reaches virtual tokens through /dev/QVUsbKey0 and /dev/QVUsbKey1.
// Both tokens hold file 0015 of 256 bytes counting 00 .. FF, so every READ
// BINARY answer tells which offset and length it was asked for.
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "daemon_test.h"
#include "qvkctl_run.h"
#include "requester_helpers.h"
#include "vtoken_fixture.h"

using namespace qvk::test;

namespace {

const Bytes kSelect = hex("00 A4 00 00 02 00 15");

std::string counting_file() {
    std::string entry = "0015:256=hex:";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < 256; ++i) {
        entry += kDigits[i >> 4];
        entry += kDigits[i & 0x0F];
    }
    return entry;
}

Bytes read_binary(std::uint16_t offset, std::uint8_t length) {
    return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset), length};
}

// What the token holds at [offset, offset + length), then 90 00.
Bytes counted(std::uint16_t offset, std::uint8_t length) {
    Bytes bytes;
    for (int i = 0; i < length; ++i) bytes.push_back(static_cast<std::uint8_t>(offset + i));
    return bytes + hex("90 00");
}

class ServedVirtualToken : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped()) return;
        QVK_REQUIRE_VIRTUAL_TOKEN();
        token = std::make_unique<VirtualToken>(
            VirtualTokenSetup().with_nodes({0, 1}).with_files({counting_file()}));
        // The daemon finds the plug-in under "./" when nothing is installed.
        // QVK_TEST_UDK_PLUGIN names another build of it (the 32-bit one, for
        // the 32-bit daemon named by QVK_TEST_SERVER).
        const char *plugin = std::getenv("QVK_TEST_UDK_PLUGIN");
        std::filesystem::copy_file(plugin != nullptr && *plugin != '\0' ? plugin : QVK_UDK_PLUGIN_PATH,
                                   work / "libqvkmgrudk.so");
        DaemonProcess &started = start();
        ASSERT_TRUE(started.wait_until_serving()) << started.standard_output() << started.standard_error();
    }
    void TearDown() override {
        daemon.reset();  // before the token it holds open
        token.reset();
    }

    void stop_daemon() { ASSERT_EQ(kill(daemon->pid(), SIGSTOP), 0); }
    void resume_daemon() { ASSERT_EQ(kill(daemon->pid(), SIGCONT), 0); }

    // Opens a node through the daemon and selects the counting file.
    std::uint32_t open_and_select(Requester &requester, const char *node = "/dev/QVUsbKey0") {
        qvk_device_list devices;
        EXPECT_EQ(qvk_list(requester.get(), &devices), QVK_OK);
        std::uint32_t handle = 0;
        EXPECT_EQ(qvk_open(requester.get(), node, &handle), QVK_OK);
        qvk_result result;
        std::uint32_t status = 0;
        requester.transmit(handle, kSelect, &result, &status);
        EXPECT_EQ(result, QVK_OK);
        EXPECT_EQ(status, 0x9000u);
        return handle;
    }

    std::unique_ptr<VirtualToken> token;
};

}  // namespace

TEST_F(ServedVirtualToken, ListOpenSelectReadBinaryAndClose) {
    Requester requester(10000);
    qvk_device_list devices;
    ASSERT_EQ(qvk_list(requester.get(), &devices), QVK_OK);
    ASSERT_EQ(devices.count, 2u);
    EXPECT_STREQ(devices.paths[0], "/dev/QVUsbKey0");
    EXPECT_STREQ(devices.paths[1], "/dev/QVUsbKey1");

    std::uint32_t handle = 0;
    ASSERT_EQ(qvk_open(requester.get(), "/dev/QVUsbKey0", &handle), QVK_OK);
    qvk_result result;
    std::uint32_t status = 0;
    EXPECT_TRUE(requester.transmit(handle, kSelect, &result, &status).empty());
    EXPECT_EQ(result, QVK_OK);
    EXPECT_EQ(status, 0x9000u);
    EXPECT_EQ(requester.transmit(handle, read_binary(0x10, 8), &result, &status) + hex("90 00"), counted(0x10, 8));
    EXPECT_EQ(status, 0x9000u);
    // Reading past the end of the file: the card's own status comes through.
    requester.transmit(handle, read_binary(0x200, 1), &result, &status);
    EXPECT_EQ(result, QVK_OK);
    EXPECT_EQ(status, 0x6B00u);

    EXPECT_EQ(token->commands(),
              (std::vector<std::string>{"QVUsbKey0 00 A4 00 00 02 00 15", "QVUsbKey0 00 B0 00 10 08",
                                        "QVUsbKey0 00 B0 02 00 01"}));
    ASSERT_EQ(qvk_close(requester.get(), handle), QVK_OK);
    requester.transmit(handle, read_binary(0, 1), &result, &status);
    EXPECT_EQ(result, QVK_ERR_HANDLE_NOT_OPEN);
    // Closing it again, or a handle never opened, is an error.
    EXPECT_EQ(qvk_close(requester.get(), handle), QVK_ERR_HANDLE_NOT_OPEN);
    EXPECT_EQ(qvk_close(requester.get(), handle + 1000), QVK_ERR_HANDLE_NOT_OPEN);
    // A path the daemon did not list is not opened.
    EXPECT_EQ(qvk_open(requester.get(), "/dev/QVUsbKey7", &handle), QVK_ERR_NOT_OPENED);
    EXPECT_EQ(state_word(), 0u);
    EXPECT_EQ(turn_value(), 0);
}

TEST_F(ServedVirtualToken, AWaiterIsWokenByATokenPluggedInAndTimesOutOtherwise) {
    Requester requester(10000);
    qvk_device_list known;
    ASSERT_EQ(qvk_list(requester.get(), &known), QVK_OK);
    ASSERT_EQ(known.count, 2u);

    qvk_device_list now;
    EXPECT_EQ(qvk_wait_for_change(requester.get(), &known, &now, 300), QVK_ERR_TIMEOUT);
    EXPECT_EQ(now.count, 2u);
    EXPECT_STREQ(now.paths[1], "/dev/QVUsbKey1");

    std::thread plugger([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        token->plug(5);
    });
    const qvk_result woken = qvk_wait_for_change(requester.get(), &known, &now, 20000);
    plugger.join();
    EXPECT_EQ(woken, QVK_OK);
    ASSERT_EQ(now.count, 3u);
    EXPECT_STREQ(now.paths[2], "/dev/QVUsbKey5");

    // Waiting on the list just seen: unplugging shows too (known may be now).
    token->unplug(0);
    EXPECT_EQ(qvk_wait_for_change(requester.get(), &now, &now, 20000), QVK_OK);
    ASSERT_EQ(now.count, 2u);
    EXPECT_STREQ(now.paths[0], "/dev/QVUsbKey1");
}

TEST_F(ServedVirtualToken, TwoRequesterProcessesDoAThousandTransmitsEachWithNoAnswerMixedUp) {
    const auto requester = [this](int id) {
        return [this, id] {
            Requester connection(30000);
            const std::uint32_t handle = open_and_select(connection);
            // Each requester reads its own length at offsets of its own.
            const auto length = static_cast<std::uint8_t>(3 + id);
            const auto offset = [id](int i) { return static_cast<std::uint16_t>((i * 7 + id * 101) % 240); };
            const int outcome = transmit_many(
                connection.get(), handle, 1000, [&](int i) { return read_binary(offset(i), length); },
                [&](const Bytes &apdu) { return counted(static_cast<std::uint16_t>(apdu[2] << 8 | apdu[3]), length); });
            qvk_close(connection.get(), handle);
            return outcome;
        };
    };
    const pid_t first = run_in_child(requester(1));
    const pid_t second = run_in_child(requester(2));
    EXPECT_EQ(exit_status_of(first), 0);
    EXPECT_EQ(exit_status_of(second), 0);
    EXPECT_EQ(state_word(), 0u);
    EXPECT_EQ(turn_value(), 0);
}

TEST_F(ServedVirtualToken, ARequesterKilledHoldingTheTurnDoesNotBlockTheNext) {
    Requester requester(10000);
    const std::uint32_t handle = open_and_select(requester);
    // The token takes 300 ms per command, so the daemon is still in the
    // dead requester's exchange when the next one comes. (A handle is its
    // opener's alone: the child opens its own.)
    int opened[2];
    ASSERT_EQ(pipe(opened), 0);
    const pid_t child = run_in_child([this, &opened] {
        Requester dying(60000);
        const std::uint32_t own = open_and_select(dying);
        token->set_fault(0, "delay=300");
        if (write(opened[1], "o", 1) != 1) return 1;
        qvk_result result;
        dying.transmit(own, read_binary(0x20, 2), &result);
        return static_cast<int>(result);
    });
    char byte = 0;
    ASSERT_EQ(read(opened[0], &byte, 1), 1);
    close(opened[0]);
    close(opened[1]);
    ASSERT_TRUE(eventually([] { return turn_value() == 1 && state_word() == SHM_STATE_REQUEST; }));
    kill(child, SIGKILL);
    EXPECT_EQ(exit_status_of(child), -1);
    EXPECT_EQ(turn_value(), 0);  // given back by the kernel
    // The dead requester's answer (20 21) lands in the segment after this
    // call has begun; this call still gets its own.
    qvk_result result;
    EXPECT_EQ(requester.transmit(handle, read_binary(0x30, 3), &result) + hex("90 00"), counted(0x30, 3));
    EXPECT_EQ(result, QVK_OK);

    // The same for one that gave up waiting: its late answer is not the next one's.
    Requester impatient(100);
    impatient.transmit(handle, read_binary(0x50, 2), &result);
    EXPECT_EQ(result, QVK_ERR_TIMEOUT);
    EXPECT_EQ(requester.transmit(handle, read_binary(0x60, 4), &result) + hex("90 00"), counted(0x60, 4));
    EXPECT_EQ(result, QVK_OK);
    token->set_fault(0, "none");
}

namespace {

// A one-byte message between the test and its child processes.
class Cue {
public:
    Cue() { EXPECT_EQ(pipe(ends_), 0); }
    ~Cue() {
        close(ends_[0]);
        close(ends_[1]);
    }
    bool give() const { return write(ends_[1], "c", 1) == 1; }
    bool await() const {
        char byte = 0;
        return read(ends_[0], &byte, 1) == 1;
    }
    bool given() const {
        pollfd ready{ends_[0], POLLIN, 0};
        return poll(&ready, 1, 0) == 1;
    }

private:
    int ends_[2] = {-1, -1};
};

std::string read_binary_line(const char *node, std::uint16_t offset, std::uint8_t length) {
    char line[64];
    std::snprintf(line, sizeof line, "%s 00 B0 %02X %02X %02X", node, offset >> 8, offset & 0xFF, length);
    return line;
}

}  // namespace

// One requester holds an exclusive sequence of 20 reads while another reads
// both tokens without pause: the token sees the 20 back to back, and the
// other's reads (on the other token too) before and after them only.
TEST_F(ServedVirtualToken, AnExclusiveSequenceIsNeverInterleavedWithAnotherRequestersApdus) {
    Cue streaming, stop;
    const pid_t other = run_in_child([&] {
        Requester requester(20000);
        const std::uint32_t handles[2] = {open_and_select(requester, "/dev/QVUsbKey0"),
                                          open_and_select(requester, "/dev/QVUsbKey1")};
        for (int i = 0; !stop.given() || i < 10; ++i) {
            qvk_result result;
            if (requester.transmit(handles[i % 2], read_binary(0x40, 5), &result) + hex("90 00") != counted(0x40, 5))
                return 1;
            if (i == 10 && !streaming.give()) return 2;
        }
        return 0;
    });
    ASSERT_TRUE(streaming.await());
    Cue began;
    const pid_t holder = run_in_child([&] {
        Requester requester(20000);
        const std::uint32_t handle = open_and_select(requester);
        if (qvk_begin_exclusive(requester.get(), 20000) != QVK_OK || !began.give()) return 1;
        for (std::uint16_t i = 0; i < 20; ++i) {
            qvk_result result;
            if (requester.transmit(handle, read_binary(i, 3), &result) + hex("90 00") != counted(i, 3)) return 2;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // room for others, were they let in
        }
        return qvk_end_exclusive(requester.get()) == QVK_OK ? 0 : 3;
    });
    ASSERT_TRUE(began.await());
    EXPECT_EQ(turn_value(), TURN_EXCLUSIVE);
    EXPECT_EQ(exit_status_of(holder), 0);
    stop.give();
    EXPECT_EQ(exit_status_of(other), 0);

    const std::vector<std::string> commands = token->commands();
    const auto first = std::find(commands.begin(), commands.end(), read_binary_line("QVUsbKey0", 0, 3));
    ASSERT_NE(first, commands.end());
    ASSERT_GE(commands.end() - first, 20);
    for (std::uint16_t i = 0; i < 20; ++i)
        EXPECT_EQ(first[i], read_binary_line("QVUsbKey0", i, 3)) << "position " << i << " of the sequence";
    // The other requester was served before the sequence (on both tokens)
    // and waited for its end.
    const auto others_read = [](const std::string &line) { return line.find(" 00 B0 00 40 05") != std::string::npos; };
    EXPECT_NE(std::find(commands.begin(), first, read_binary_line("QVUsbKey1", 0x40, 5)), first);
    EXPECT_NE(std::find_if(first + 20, commands.end(), others_read), commands.end());
    EXPECT_EQ(turn_value(), 0);
}

// A holder killed in the middle of its sequence gives the turn back at once
// (the kernel undoes its take); the requester waiting for it is served.
TEST_F(ServedVirtualToken, AHolderKilledMidSequenceReleasesTheTurn) {
    Cue began;
    const pid_t holder = run_in_child([&] {
        Requester requester(20000);
        const std::uint32_t handle = open_and_select(requester);
        if (qvk_begin_exclusive(requester.get(), 20000) != QVK_OK) return 1;
        for (std::uint16_t i = 0; i < 5; ++i) requester.transmit(handle, read_binary(i, 2));
        if (!began.give()) return 2;
        pause();
        return 3;
    });
    ASSERT_TRUE(began.await());
    const pid_t waiter = run_in_child([this] {
        Requester requester(20000);
        const std::uint32_t handle = open_and_select(requester, "/dev/QVUsbKey1");
        qvk_result result;
        return requester.transmit(handle, read_binary(0x10, 2), &result) + hex("90 00") == counted(0x10, 2) ? 0 : 1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(waitpid(waiter, nullptr, WNOHANG), 0) << "served in the middle of the sequence";
    EXPECT_EQ(turn_value(), TURN_EXCLUSIVE);
    const auto killed = std::chrono::steady_clock::now();
    kill(holder, SIGKILL);
    EXPECT_EQ(exit_status_of(holder), -1);
    EXPECT_EQ(exit_status_of(waiter), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(3));
    EXPECT_EQ(token->commands().size(), 1u + 5u + 2u);
    EXPECT_EQ(turn_value(), 0);
}

// A holder that leaves its sequence idle: after the bound another process
// takes the turn from it, and the holder's next calls say that the sequence
// is lost, sending nothing, until it ends the sequence.
TEST_F(ServedVirtualToken, AnIdleHolderLosesTheTurnAndIsToldOnItsNextCalls) {
    Cue began, go_on;
    const pid_t holder = run_in_child([&] {
        Requester requester(20000);
        const std::uint32_t handle = open_and_select(requester);
        if (qvk_begin_exclusive(requester.get(), 20000) != QVK_OK) return 1;
        requester.transmit(handle, read_binary(0, 2));
        if (!began.give() || !go_on.await()) return 2;
        qvk_result result;
        requester.transmit(handle, read_binary(2, 2), &result);
        if (result != QVK_ERR_EXCLUSIVE_LOST) return 10 + static_cast<int>(result);
        qvk_device_list devices;
        if (qvk_list(requester.get(), &devices) != QVK_ERR_EXCLUSIVE_LOST) return 3;
        if (qvk_end_exclusive(requester.get()) != QVK_ERR_EXCLUSIVE_LOST) return 4;
        if (qvk_end_exclusive(requester.get()) != QVK_ERR_INVALID_ARGUMENT) return 5;
        // Outside a sequence again: served as usual.
        return requester.transmit(handle, read_binary(4, 2), &result) + hex("90 00") == counted(4, 2) ? 0 : 6;
    });
    ASSERT_TRUE(began.await());
    const auto start = std::chrono::steady_clock::now();
    const pid_t waiter = run_in_child([this] {
        Requester requester(15000);
        const std::uint32_t handle = open_and_select(requester, "/dev/QVUsbKey1");
        qvk_result result;
        requester.transmit(handle, read_binary(0x10, 2), &result);
        return static_cast<int>(result);
    });
    EXPECT_EQ(exit_status_of(waiter), QVK_OK);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GT(waited, std::chrono::seconds(EXCLUSIVE_IDLE_LIMIT_S)) << "the turn was not kept for its bound";
    EXPECT_LT(waited, std::chrono::seconds(EXCLUSIVE_RECLAIM_S + 3));
    go_on.give();
    EXPECT_EQ(exit_status_of(holder), 0);
    EXPECT_EQ(token->commands(),
              (std::vector<std::string>{"QVUsbKey0 00 A4 00 00 02 00 15", read_binary_line("QVUsbKey0", 0, 2),
                                        "QVUsbKey1 00 A4 00 00 02 00 15", read_binary_line("QVUsbKey1", 0x10, 2),
                                        read_binary_line("QVUsbKey0", 4, 2)}));
    EXPECT_EQ(turn_value(), 0);
}

// A token that does not answer holds its own exchange only: after the bound
// (--exchange-timeout 1, and a second's grace for a node that cannot be
// polled) that exchange answers FFFF, its handle stays dead, and the
// requester waiting behind it is served at once, long before the token
// answers (6 s: long enough to tell, short enough for the virtual token to
// end with the test).
TEST_F(ServedVirtualToken, ATokenThatNeverAnswersHoldsUpNobodyElse) {
    ASSERT_NO_FATAL_FAILURE(start_serving({}, {.arguments = {"--exchange-timeout", "1"}}));
    token->set_fault(0, "delay=6000");
    const auto start = std::chrono::steady_clock::now();
    const pid_t stuck = run_in_child([] {
        Requester requester(30000);
        qvk_device_list devices;
        std::uint32_t handle = 0;
        if (qvk_list(requester.get(), &devices) != QVK_OK ||
            qvk_open(requester.get(), "/dev/QVUsbKey0", &handle) != QVK_OK)
            return 1;
        qvk_result result;
        requester.transmit(handle, read_binary(0, 2), &result);  // its answer never comes
        if (result != QVK_ERR_NO_ANSWER) return 2;
        requester.transmit(handle, read_binary(0, 3), &result);  // dead: the token is not asked
        if (result != QVK_ERR_NO_ANSWER) return 3;
        return qvk_close(requester.get(), handle) == QVK_OK ? 0 : 4;
    });
    ASSERT_TRUE(eventually([] { return turn_value() == 1 && state_word() == SHM_STATE_REQUEST; }));

    Requester next(10000);
    const std::uint32_t handle = open_and_select(next, "/dev/QVUsbKey1");
    qvk_result result;
    EXPECT_EQ(next.transmit(handle, read_binary(0x10, 2), &result) + hex("90 00"), counted(0x10, 2));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500)) << "held up behind the token";
    EXPECT_EQ(exit_status_of(stuck), 0);
    // Each token's commands, whichever the virtual token noted first: the
    // dead handle's second read never reached it.
    std::vector<std::string> commands = token->commands();
    std::sort(commands.begin(), commands.end());
    EXPECT_EQ(commands, (std::vector<std::string>{"QVUsbKey0 00 B0 00 00 02", "QVUsbKey1 00 A4 00 00 02 00 15",
                                                  "QVUsbKey1 00 B0 00 10 02"}));

    // The token answers again: its node serves again, opened afresh.
    token->set_fault(0, "none");
    const std::uint32_t reopened = open_and_select(next);
    EXPECT_EQ(next.transmit(reopened, read_binary(0x20, 3), &result) + hex("90 00"), counted(0x20, 3));
}

TEST_F(ServedVirtualToken, ADaemonStoppedMidRunTimesOutAndServesAgainWhenResumed) {
    Requester requester(10000);
    const std::uint32_t handle = open_and_select(requester);
    // A requester reading in a loop, each call allowed 300 ms, until one fails.
    const pid_t reader = run_in_child([this] {
        Requester looping(300);
        const std::uint32_t own = open_and_select(looping);
        for (int i = 0; i < 1000000; ++i) {
            qvk_result result;
            looping.transmit(own, read_binary(static_cast<std::uint16_t>(i % 200), 4), &result);
            if (result != QVK_OK) return static_cast<int>(result);
        }
        return 0;
    });
    ASSERT_TRUE(eventually([this] { return token->commands().size() > 20; }));
    stop_daemon();
    EXPECT_EQ(exit_status_of(reader), QVK_ERR_TIMEOUT);
    resume_daemon();
    qvk_result result;
    EXPECT_EQ(requester.transmit(handle, read_binary(0x40, 5), &result) + hex("90 00"), counted(0x40, 5));
    EXPECT_EQ(result, QVK_OK);
}

TEST_F(ServedVirtualToken, QvkctlListsSendsReportsAndExitsAsDocumented) {
    EXPECT_EQ(run_qvkctl({"list"}).out, "/dev/QVUsbKey0\n/dev/QVUsbKey1\n");
    EXPECT_EQ(run_qvkctl({"list", "--json"}).out, "{\"devices\": [\"/dev/QVUsbKey0\", \"/dev/QVUsbKey1\"]}\n");

    const QvkctlRun send = run_qvkctl({"send", "/dev/QVUsbKey1", "00A40000020015", "00 B0 00 FC 04", "00B0020001"});
    EXPECT_EQ(send.status, 0) << send.err;
    EXPECT_EQ(send.out, "9000\nFCFDFEFF 9000\n6B00\n");
    EXPECT_EQ(token->commands().size(), 3u);

    {
        // The daemon is told from another requester that has the segment attached.
        Requester other;
        const QvkctlRun status = run_qvkctl({"status"});
        EXPECT_EQ(status.status, 0) << status.err;
        EXPECT_NE(status.out.find("2 devices listed"), std::string::npos) << status.out;
        EXPECT_NE(status.out.find("segment attached by: the daemon (qvkserver, pid " +
                                  std::to_string(daemon->pid()) + ") and 1 other process\n"),
                  std::string::npos)
            << status.out;
    }

    EXPECT_EQ(run_qvkctl({"send", "/dev/QVUsbKey5", "00B00000"}).status, 6);

    stop_daemon();
    const QvkctlRun late = run_qvkctl({"--timeout", "0.3", "list"});
    EXPECT_EQ(late.status, 4);
    EXPECT_NE(late.err.find("did not answer in time"), std::string::npos) << late.err;
    resume_daemon();
    EXPECT_EQ(run_qvkctl({"list"}).status, 0);

    daemon.reset();  // killed: its objects stay, nobody has the segment attached
    const QvkctlRun gone = run_qvkctl({"list"});
    EXPECT_EQ(gone.status, 3);
    EXPECT_NE(gone.err.find("qvkserver is not running"), std::string::npos) << gone.err;
    EXPECT_EQ(run_qvkctl({"status"}).status, 3);
}

namespace {

constexpr int kStormRequesters = 12;

// Requester i's own file: 0101 + i, only on token i % 2, sixteen bytes that
// no other file holds.
std::uint16_t storm_file(int i) { return static_cast<std::uint16_t>(0x0101 + i); }
Bytes storm_content(int i) {
    Bytes content;
    for (int k = 0; k < 16; ++k) content.push_back(static_cast<std::uint8_t>(i * 16 + k));
    return content;
}
std::string storm_file_option(int i) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char fid[5];
    std::snprintf(fid, sizeof fid, "%04X", storm_file(i));
    std::string file_option = std::to_string(i % 2) + "/" + fid + ":16=hex:";
    for (std::uint8_t b : storm_content(i)) {
        file_option += kDigits[b >> 4];
        file_option += kDigits[b & 0x0F];
    }
    return file_option;
}

// Sessions on requester i's own token and file until `stop` exists: list,
// open, then SELECT and READ BINARY in turn, and close. A call may fail (the
// daemon is being killed), but an answer with a status must be this
// session's own: 0 when every one was and some reads came through; 1 when a
// read returned other data, 2 when a status was not 90 00, 3 when no read
// came through at all.
int storm_requester(int i, const std::string &stop) {
    const std::string path = "/dev/QVUsbKey" + std::to_string(i % 2);
    const Bytes select{0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(storm_file(i) >> 8),
                       static_cast<std::uint8_t>(storm_file(i))};
    const Bytes read = hex("00 B0 00 00 10");
    const Bytes mine = storm_content(i);
    int reads = 0;
    while (access(stop.c_str(), F_OK) != 0) {
        qvk_client *client = nullptr;
        if (qvk_connect(&client) != QVK_OK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        qvk_set_timeout(client, 2000);
        qvk_device_list devices;
        std::uint32_t handle = 0;
        if (qvk_list(client, &devices) == QVK_OK && qvk_open(client, path.c_str(), &handle) == QVK_OK) {
            for (int k = 0; k < 20; ++k) {
                const Bytes &apdu = k % 2 == 0 ? select : read;
                std::uint8_t answer[64];
                std::size_t length = sizeof answer;
                std::uint32_t status = 0;
                if (qvk_transmit(client, handle, apdu.data(), apdu.size(), answer, &length, &status) != QVK_OK)
                    break;
                if (status != 0x9000) return 2;
                if (&apdu == &read) {
                    if (Bytes(answer, answer + length) != mine) return 1;
                    ++reads;
                }
            }
            qvk_close(client, handle);
        }
        qvk_disconnect(client);
    }
    return reads > 0 ? 0 : 3;
}

class RestartStorm : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped()) return;
        QVK_REQUIRE_VIRTUAL_TOKEN();
        std::vector<std::string> files;
        for (int i = 0; i < kStormRequesters; ++i) files.push_back(storm_file_option(i));
        token = std::make_unique<VirtualToken>(VirtualTokenSetup().with_nodes({0, 1}).with_files(files));
        const char *plugin = std::getenv("QVK_TEST_UDK_PLUGIN");
        std::filesystem::copy_file(plugin != nullptr && *plugin != '\0' ? plugin : QVK_UDK_PLUGIN_PATH,
                                   work / "libqvkmgrudk.so");
    }
    void TearDown() override {
        daemon.reset();
        token.reset();
    }
    std::unique_ptr<VirtualToken> token;
};

}  // namespace

TEST_F(RestartStorm, NoRequesterEverGetsAnotherSessionsDataAcrossFiveKills) {
    ASSERT_NO_FATAL_FAILURE(start_serving());
    const std::string stop = work / "stop";
    std::vector<pid_t> requesters;
    for (int i = 0; i < kStormRequesters; ++i) requesters.push_back(run_in_child([i, stop] { return storm_requester(i, stop); }));
    for (int restart = 0; restart < 5; ++restart) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_NO_FATAL_FAILURE(start_serving());  // the running daemon is killed with SIGKILL first
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    write_file(stop, "");
    for (int i = 0; i < kStormRequesters; ++i)
        EXPECT_EQ(exit_status_of(requesters[static_cast<std::size_t>(i)]), 0)
            << "requester " << i << " (1: another session's data, 2: a wrong status, 3: nothing read)";
}

namespace {

constexpr gid_t kTokenGroup = 4321;

// The access bits and group of each IPC object.
struct Access {
    unsigned mode;
    gid_t group;
    bool operator==(const Access &) const = default;
};
std::vector<Access> access_of_objects() {
    std::vector<Access> found;
    shmid_ds segment{};
    if (shmctl(shmget(SHM_KEY, 0, 0), IPC_STAT, &segment) == 0)
        found.push_back({segment.shm_perm.mode & 0777u, segment.shm_perm.gid});
    for (int key : {SEM_SERVER_KEY, SEM_CLIENT_KEY}) {
        semid_ds set{};
        if (semctl(semget(key, 0, 0), 0, IPC_STAT, &set) == 0)
            found.push_back({set.sem_perm.mode & 0777u, set.sem_perm.gid});
    }
    return found;
}

// Runs body as the user `uid` whose only group is `uid` too.
pid_t as_user(unsigned uid, const std::function<int()> &body) {
    return run_in_child([uid, body] {
        if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) return 125;
        return body();
    });
}

// As a requester that gets the objects itself, as the token's own PKCS#11
// modules do, asking for the access in `flags`: 0 when it gets all three
// and attaches the segment, else the errno of the first refusal.
std::function<int()> attach_as_a_module(int flags) {
    return [flags] {
        const int segment = shmget(SHM_KEY, SHM_SIZE, flags);
        if (segment == -1 || shmat(segment, nullptr, 0) == reinterpret_cast<void *>(-1)) return errno;
        for (int key : {SEM_SERVER_KEY, SEM_CLIENT_KEY})
            if (semget(key, 1, flags) == -1) return errno;
        return 0;
    };
}

using AccessGroup = DaemonTest;

}  // namespace

TEST_F(AccessGroup, MembersAreServedOthersAreDeniedAndWithoutItEveryoneIs) {
    if (exit_status_of(as_user(kTokenGroup, [] { return 0; })) != 0)
        GTEST_SKIP() << "cannot run as another user here (a user namespace that maps only root)";
    install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
    const StandInControl token = StandInControl().devices("udk", {"/dev/QVUsbKey0"});
    const auto listed_one = [] {
        qvk_client *client = nullptr;
        qvk_device_list devices;
        const qvk_result connected = qvk_connect(&client);
        if (connected != QVK_OK) return 10 + static_cast<int>(connected);
        const int listed = qvk_list(client, &devices) == QVK_OK && devices.count == 1 ? 0 : 1;
        qvk_disconnect(client);
        return listed;
    };

    // The default: every local user.
    ASSERT_NO_FATAL_FAILURE(start_serving(token));
    EXPECT_EQ(access_of_objects(), std::vector<Access>(3, Access{0777, 0}));
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup + 1, listed_one)), 0);

    // Limited to the group; the open segment of the earlier run is replaced.
    const int open_segment = shmget(SHM_KEY, 0, 0);
    DaemonOptions limited;
    limited.arguments = {"--group", std::to_string(kTokenGroup)};
    ASSERT_NO_FATAL_FAILURE(start_serving(token, limited));
    EXPECT_EQ(access_of_objects(), std::vector<Access>(3, Access{0770, kTokenGroup}));
    EXPECT_NE(shmget(SHM_KEY, 0, 0), open_segment);
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup, listed_one)), 0);
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup + 1, listed_one)), 10 + QVK_ERR_ACCESS_DENIED);
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup + 1, [] {
                  qvk_client *client = nullptr;
                  return qvk_connect(&client) == QVK_ERR_ACCESS_DENIED ? qvk_last_system_error(nullptr) : -1;
              })),
              EACCES);
    // A member gets the objects, asking for read and write or for all of
    // 0777 (as the daemon's own creation flags do); another user does not.
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup, attach_as_a_module(0666))), 0);
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup + 1, attach_as_a_module(0666))), EACCES);
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup + 1, attach_as_a_module(0))), EACCES);
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup, attach_as_a_module(QVK_IPC_FLAGS))), 0);
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup + 1, attach_as_a_module(QVK_IPC_FLAGS))), EACCES);

    const QvkctlRun status = run_qvkctl({"status"}, kTokenGroup + 1);
    EXPECT_EQ(status.status, 8) << status.out << status.err;
    EXPECT_NE(status.out.find("shared segment (key 2222): present, permission denied"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("access: qvkserver serves only root and the members of group 4321 (mode 770)"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.err.find("permission denied"), std::string::npos) << status.err;
    EXPECT_EQ(run_qvkctl({"status"}, kTokenGroup).status, 0);

    // Started without it again, everyone is served again.
    ASSERT_NO_FATAL_FAILURE(start_serving(token));
    EXPECT_EQ(access_of_objects(), std::vector<Access>(3, Access{0777, 0}));
    EXPECT_EQ(exit_status_of(as_user(kTokenGroup + 1, listed_one)), 0);
}
