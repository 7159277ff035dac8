// SPDX-License-Identifier: BSD-3-Clause
// The request protocol end to end: a raw requester that follows only the
// protocol, the built qvkserver, stand-in families behind it.
#include <linux/futex.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "daemon_test.h"
#include "qvk_segment.h"
#include "raw_requester.h"

using namespace qvk::test;

namespace {

void append(Bytes &to, const Bytes &bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

Bytes slot(const std::string &path) {
    Bytes bytes(path.begin(), path.end());
    bytes.resize(DEV_PATH_SLOT_SIZE, 0);
    return bytes;
}

// The whole response block: command, three zero bytes, L, payload, zeros.
Bytes response_block(std::uint8_t command, const Bytes &payload) {
    Bytes block{command, 0, 0, 0};
    append(block, le32(static_cast<std::uint32_t>(payload.size())));
    append(block, payload);
    block.resize(SHM_BLOCK_SIZE, 0);
    return block;
}

::testing::AssertionResult same_block(const Bytes &actual, const Bytes &expected) {
    if (actual.size() != expected.size()) return ::testing::AssertionFailure() << "block size " << actual.size();
    for (std::size_t i = 0; i < actual.size(); ++i)
        if (actual[i] != expected[i])
            return ::testing::AssertionFailure() << "first difference at block offset " << i << ": "
                                                 << int(actual[i]) << " instead of " << int(expected[i]);
    return ::testing::AssertionSuccess();
}

std::string hex_of(const Bytes &bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

Bytes filled(std::size_t size, std::uint8_t first = 0) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

std::uint32_t open_handle_of(const Bytes &block) {
    std::uint32_t handle;
    std::memcpy(&handle, block.data() + RESP_PAYLOAD_OFFSET, 4);
    return handle;
}

Bytes not_open_payload(std::size_t zeros) {
    Bytes payload(zeros, 0);
    append(payload, le32(QVK_STATUS_NOT_OPEN));
    return payload;
}

const Bytes kRefused = le32(QVK_STATUS_NO_ANSWER);

class DaemonProtocol : public DaemonTest {
protected:
    // Starts the daemon with the udk stand-in installed and attaches; a fatal
    // failure when it does not serve (callers wrap it in ASSERT_NO_FATAL_FAILURE).
    void serve(StandInControl control) {
        install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
        ASSERT_NO_FATAL_FAILURE(start_serving(std::move(control)));
        requester = std::make_unique<RawRequester>();
    }

    Bytes exchange(const Bytes &request) { return requester->exchange(request); }

    // Opens a path; the handle that the daemon answered (0 when none).
    std::uint32_t open(const std::string &path) {
        const Response opened = parse_response(exchange(open_request(path)));
        EXPECT_EQ(opened.command, CMD_OPEN_DEV);
        if (opened.payload.size() != 4) {
            ADD_FAILURE() << "an open answered " << opened.payload.size() << " bytes";
            return 0;
        }
        std::uint32_t handle;
        std::memcpy(&handle, opened.payload.data(), 4);
        return handle;
    }

    // Waits until the daemon has used up a raise and waits again.
    void await_idle() {
        const int set = semget(SEM_SERVER_KEY, 0, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(semctl(set, 0, GETVAL) == 0 && semctl(set, 0, GETNCNT) == 1)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the daemon did not wait again";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::unique_ptr<RawRequester> requester;
};

TEST_F(DaemonProtocol, WorkedExampleOfATransmit) {
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl()
              .devices("udk", {"/dev/QVUsbKey0"})
              .open("udk", "/dev/QVUsbKey0", {5})
              .answer("udk", 0x9000, "11 22 33 44 55 66 77 88")));
    exchange(enum_request());
    // The family opened it as 5; the requester gets the daemon's own handle.
    const std::uint32_t handle = open("/dev/QVUsbKey0");
    ASSERT_NE(handle, 0u);

    const Bytes request = transmit_request(handle, hex("00 84 00 00 08"), 256);
    Bytes expected_request = hex("0D 00 00 00 00 00 00 00");
    append(expected_request, le32(handle));
    append(expected_request, hex("05 00 00 00 00 84 00 00 08 00 01 00 00 00 00 00 00"));
    ASSERT_EQ(request, expected_request);
    const Bytes block = exchange(request);
    Bytes expected = hex("0D 00 00 00 0C 00 00 00 11 22 33 44 55 66 77 88 00 90 00 00");
    expected.resize(SHM_BLOCK_SIZE, 0);
    EXPECT_TRUE(same_block(block, expected));
    std::uint8_t state[4];
    std::memcpy(state, requester->state_address(), 4);
    EXPECT_EQ(Bytes(state, state + 4), hex("78 56 34 12"));
    EXPECT_EQ(calls().back(), "udk transmit 5 5 0084000008 256 -> 9000 8");
}

TEST_F(DaemonProtocol, ExactResponsesOfEveryCommand) {
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl()
              .devices("udk", {"/dev/QVUsbKey0", "/dev/QVUsbKey3"})
              .open("udk", "/dev/QVUsbKey3", {9, 12})
              .close("udk", 12, 0)));
    Bytes listed = le32(1);
    listed.push_back(2);
    append(listed, slot("/dev/QVUsbKey0"));
    append(listed, slot("/dev/QVUsbKey3"));
    EXPECT_TRUE(same_block(exchange(enum_request()), response_block(CMD_ENUM_DEV_PATH, listed)));

    const Bytes first_open = exchange(open_request("/dev/QVUsbKey3"));
    const std::uint32_t first = parse_response(first_open).length == 4 ? open_handle_of(first_open) : 0;
    EXPECT_TRUE(same_block(first_open, response_block(CMD_OPEN_DEV, le32(first))));
    EXPECT_NE(first, 0u);
    EXPECT_TRUE(same_block(exchange(open_request("/dev/QVUsbKey9")), response_block(CMD_OPEN_DEV, le32(0))));
    EXPECT_TRUE(same_block(exchange(close_request(first)), response_block(CMD_CLOSE_DEV, {1})));
    EXPECT_TRUE(same_block(exchange(close_request(first)), response_block(CMD_CLOSE_DEV, {1})));
    EXPECT_TRUE(same_block(exchange(transmit_request(first, hex("00 B0 00 00 10"), 16)),
                           response_block(CMD_ICC_TSI_API, not_open_payload(16))));
    const std::uint32_t second = open("/dev/QVUsbKey3");
    EXPECT_TRUE(same_block(exchange(close_request(second)), response_block(CMD_CLOSE_DEV, {0})));

    EXPECT_EQ(calls(), (std::vector<std::string>{"udk enum -> 2", "udk open /dev/QVUsbKey3 -> 9",
                                                 "udk close 9 -> 1", "udk open /dev/QVUsbKey3 -> 12",
                                                 "udk close 12 -> 0"}));
}

TEST_F(DaemonProtocol, EnumerationOfNoDeviceAndOfThirtyTwo) {
    std::vector<std::string> paths;
    for (int i = 0; i < 32; ++i) paths.push_back("/dev/QVUsbKey" + std::to_string(i));
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl().devices("udk", {}).devices("udk", paths)));

    EXPECT_TRUE(same_block(exchange(enum_request()), response_block(CMD_ENUM_DEV_PATH, Bytes(5, 0))));
    Bytes listed = le32(1);
    listed.push_back(32);
    for (const std::string &path : paths) append(listed, slot(path));
    ASSERT_EQ(listed.size(), 4101u);
    EXPECT_TRUE(same_block(exchange(enum_request()), response_block(CMD_ENUM_DEV_PATH, listed)));
    // Nothing of the long response survives a short one.
    EXPECT_TRUE(same_block(exchange(close_request(1)), response_block(CMD_CLOSE_DEV, {1})));
}

TEST_F(DaemonProtocol, UnknownCommandsAndRaisesWithoutARequestAreNotAnswered) {
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl()));
    Bytes unknown = close_request(0);
    unknown[0] = 14;
    requester->write_request(unknown);
    requester->state().store(SHM_STATE_REQUEST);
    const Bytes posted = requester->block_bytes();
    requester->raise();
    await_idle();
    EXPECT_EQ(requester->state().load(), static_cast<std::uint32_t>(SHM_STATE_REQUEST));
    EXPECT_TRUE(same_block(requester->block_bytes(), posted));

    // The next raise reads the block again.
    requester->block()[0] = CMD_CLOSE_DEV;
    requester->raise();
    ASSERT_TRUE(requester->await_response());
    EXPECT_TRUE(same_block(requester->block_bytes(), response_block(CMD_CLOSE_DEV, {1})));

    // A raise while the state word is not 1 is used up without an answer.
    for (std::uint32_t state : {std::uint32_t{SHM_STATE_RESPONSE}, std::uint32_t{SHM_STATE_IDLE}, 2u}) {
        requester->write_request(enum_request());
        requester->state().store(state);
        const Bytes before = requester->block_bytes();
        requester->raise();
        await_idle();
        EXPECT_EQ(requester->state().load(), state);
        EXPECT_TRUE(same_block(requester->block_bytes(), before));
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(same_block(exchange(enum_request()), response_block(CMD_ENUM_DEV_PATH, Bytes(5, 0))));
}

TEST_F(DaemonProtocol, CommandLengthsUpTo512AreCarriedAndLongerOnesRefused) {
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl()
              .devices("udk", {"/dev/QVUsbKey0"})
              .open("udk", "/dev/QVUsbKey0", {4})
              .answer("udk", 0x9000, "01 02 03")));
    exchange(enum_request());
    const std::uint32_t handle = open("/dev/QVUsbKey0");

    const Bytes longest = filled(512, 0x40);
    const Bytes request = transmit_request(handle, longest, 3, 0xDEADBEEF);
    ASSERT_EQ(Bytes(request.begin() + 528, request.end()), hex("03 00 00 00 EF BE AD DE"));
    Bytes answer = hex("01 02 03");
    append(answer, le32(0x9000));
    EXPECT_TRUE(same_block(exchange(request), response_block(CMD_ICC_TSI_API, answer)));
    EXPECT_EQ(calls().back(), "udk transmit 4 512 " + hex_of(longest) + " 3 -> 9000 3");

    const std::size_t calls_before = calls().size();
    for (std::uint32_t length : {513u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(same_block(exchange(transmit_request(handle, length, filled(513), 16, 0)),
                               response_block(CMD_ICC_TSI_API, kRefused)))
            << length;
    }
    EXPECT_EQ(calls().size(), calls_before);
}

TEST_F(DaemonProtocol, ResponseRoomIsBoundedTo8188Bytes) {
    const Bytes largest = filled(RESP_MAX_DATA, 7);
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl()
              .devices("udk", {"/dev/QVUsbKey0"})
              .open("udk", "/dev/QVUsbKey0", {6})
              .answer("udk", 0x9000, "AA BB")
              .answer("udk", 0x9000, "AA BB")
              .answer("udk", 0x6A82, "", RESP_MAX_DATA + 1)
              .answer("udk", 0x9000, "", -1)
              .answer("udk", 0x9000, hex_of(largest))
              .answer("udk", 0x9000, hex_of(filled(100, 1)), 10)));
    exchange(enum_request());
    const std::uint32_t handle = open("/dev/QVUsbKey0");
    const Bytes apdu = hex("00 C0 00 00 00");
    Bytes two = hex("AA BB");
    append(two, le32(0x9000));

    // Capacities beyond 8188 reach the family as 8188.
    EXPECT_TRUE(same_block(exchange(transmit_request(handle, apdu, 0xFFFFFFFF)), response_block(CMD_ICC_TSI_API, two)));
    EXPECT_TRUE(same_block(exchange(transmit_request(handle, apdu, 8189)), response_block(CMD_ICC_TSI_API, two)));
    EXPECT_EQ(calls()[2], "udk transmit 6 5 00c0000000 8188 -> 9000 2");
    EXPECT_EQ(calls()[3], "udk transmit 6 5 00c0000000 8188 -> 9000 2");
    // ... and for a handle that is not open, 8188 zero bytes precede the status.
    const Bytes not_open = exchange(transmit_request(handle + 1, apdu, 10000));
    EXPECT_TRUE(same_block(not_open, response_block(CMD_ICC_TSI_API, not_open_payload(RESP_MAX_DATA))));

    // A family that reports more than 8188 bytes, or a negative count, is refused.
    EXPECT_TRUE(same_block(exchange(transmit_request(handle, apdu, 8188)), response_block(CMD_ICC_TSI_API, kRefused)));
    EXPECT_TRUE(same_block(exchange(transmit_request(handle, apdu, 8188)), response_block(CMD_ICC_TSI_API, kRefused)));
    // 8188 bytes exactly fill the payload with the status.
    Bytes full = largest;
    append(full, le32(0x9000));
    EXPECT_TRUE(same_block(exchange(transmit_request(handle, apdu, 8188)), response_block(CMD_ICC_TSI_API, full)));
    // Whatever the family wrote past its count is not passed on.
    Bytes ten = filled(10, 1);
    append(ten, le32(0x9000));
    EXPECT_TRUE(same_block(exchange(transmit_request(handle, apdu, 200)), response_block(CMD_ICC_TSI_API, ten)));
}

TEST_F(DaemonProtocol, AnOpenPathIsReadUpTo127Characters) {
    const std::string longest = "/dev/" + std::string(122, 'k');
    ASSERT_EQ(longest.size(), 127u);
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl().devices("udk", {longest}).open("udk", longest, {3})));
    exchange(enum_request());
    EXPECT_NE(open(longest), 0u);
    // 128 characters before the terminator: matches nothing, reaches no family.
    EXPECT_TRUE(same_block(exchange(open_request(longest + "k")), response_block(CMD_OPEN_DEV, le32(0))));
    EXPECT_EQ(calls(), (std::vector<std::string>{"udk enum -> 1", "udk open " + longest + " -> 3"}));
}

// A 32-bit program run by a user-mode emulator on an x86-64 kernel waits in
// the host's futex call, which the kernel reports by its x86-64 number.
#if defined(__i386__)
constexpr long kEmulatorHostFutex = 202;
#else
constexpr long kEmulatorHostFutex = SYS_futex;
#endif

TEST_F(DaemonProtocol, ABlockedRequesterIsWokenAtOnce) {
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl()));
    requester->write_request(close_request(0));
    requester->state().store(SHM_STATE_REQUEST);

    // A waiter blocks on the state word (a shared futex) before the raise.
    std::atomic<pid_t> waiter_tid{0};
    long woken = -1;
    std::thread waiter([&] {
        waiter_tid = static_cast<pid_t>(syscall(SYS_gettid));
        const timespec limit{20, 0};
        woken = syscall(SYS_futex, requester->state_address(), FUTEX_WAIT, SHM_STATE_REQUEST, &limit,
                        nullptr, 0);
    });
    const auto blocked = [&] {
        if (waiter_tid.load() == 0) return false;
        std::ifstream in("/proc/self/task/" + std::to_string(waiter_tid.load()) + "/syscall");
        long number = -1;
        in >> number;
        return number == SYS_futex || number == kEmulatorHostFutex;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!blocked() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(blocked()) << "the waiter was never seen blocked in the futex call";

    requester->raise();
    waiter.join();
    EXPECT_EQ(woken, 0) << "the waiter was not woken (it timed out or failed)";
    EXPECT_EQ(requester->state().load(), static_cast<std::uint32_t>(SHM_STATE_RESPONSE));
}

TEST_F(DaemonProtocol, After40000RequestsTheIdleDaemonStillBlocks) {
    ASSERT_NO_FATAL_FAILURE(serve(StandInControl()));
    Bytes block;
    for (int i = 0; i < 40000; ++i) block = exchange(close_request(static_cast<std::uint32_t>(i)));
    EXPECT_TRUE(same_block(block, response_block(CMD_CLOSE_DEV, {1})));

    // Blocked on the server semaphore, and burning no CPU time while idle.
    ASSERT_TRUE(daemon->wait_until_serving(std::chrono::seconds(5)));
    const std::uint64_t before = daemon->cpu_ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(daemon->cpu_ticks() - before, 1u);
    EXPECT_EQ(semctl(semget(SEM_SERVER_KEY, 0, 0), 0, GETNCNT), 1);
}

}  // namespace
