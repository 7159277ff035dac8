// SPDX-License-Identifier: BSD-3-Clause
// The requester's IPC path against a scripted server: attaching without
// creating, turn-taking, the futex wait and its poll, timeouts, requesters
// that give up or die mid-request, a server starting afresh, malformed
// blocks. Every test runs in its own private IPC namespace.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

#include "requester_helpers.h"
#include "sandbox.h"
#include "scripted_server.h"

using namespace qvk::test;
using std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kHandle = 7;  // the handle token_answers opens

Bytes reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// The block of a transmit request on handle 7, as a requester writes it
// (with another command byte, if given).
void post_by_hand(const Bytes &apdu, bool raise_server, std::uint8_t command = CMD_ICC_TSI_API) {
    const int segment = shmget(SHM_KEY, SHM_SIZE, 0);
    ASSERT_GE(segment, 0);
    auto *base = static_cast<std::uint8_t *>(shmat(segment, nullptr, 0));
    ASSERT_NE(base, reinterpret_cast<void *>(-1));
    std::uint8_t *block = base + SHM_BLOCK_OFFSET;
    std::memset(block, 0, 24 + apdu.size());
    block[0] = command;
    const std::uint32_t fields[] = {kHandle, static_cast<std::uint32_t>(apdu.size())};
    std::memcpy(block + REQ_TSI_HANDLE_OFFSET, fields, sizeof fields);
    std::memcpy(block + REQ_TSI_APDU_OFFSET, apdu.data(), apdu.size());
    const std::uint32_t capacity = 256;
    std::memcpy(block + REQ_TSI_APDU_OFFSET + apdu.size(), &capacity, 4);
    std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t *>(base)).store(SHM_STATE_REQUEST);
    if (raise_server) {
        sembuf raise{0, 1, 0};
        ASSERT_EQ(semop(semget(SEM_SERVER_KEY, 1, 0), &raise, 1), 0);
    }
    shmdt(base);
}

}  // namespace

TEST(Attach, ADaemonThatIsNotRunningIsAClearErrorAtOnce) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    qvk_client *client = reinterpret_cast<qvk_client *>(1);
    const auto start = steady_clock::now();
    EXPECT_EQ(qvk_connect(&client), QVK_ERR_NOT_RUNNING);
    EXPECT_EQ(client, nullptr);
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(1));
    // Nothing was created by trying.
    EXPECT_LT(shmget(SHM_KEY, 0, 0), 0);
    EXPECT_LT(semget(SEM_SERVER_KEY, 0, 0), 0);
    EXPECT_LT(semget(SEM_CLIENT_KEY, 0, 0), 0);
    qvk_ipc_presence presence;
    EXPECT_EQ(qvk_probe(&presence), QVK_ERR_NOT_RUNNING);
    EXPECT_FALSE(presence.segment || presence.server_set || presence.client_set || presence.daemon_attached);

    // A killed daemon's objects, with nobody attached: still not running.
    const int segment = shmget(SHM_KEY, SHM_SIZE, IPC_CREAT | 0600);
    const int server_set = semget(SEM_SERVER_KEY, 1, IPC_CREAT | 0600);
    const int client_set = semget(SEM_CLIENT_KEY, 1, IPC_CREAT | 0600);
    ASSERT_GE(segment, 0);
    EXPECT_EQ(qvk_connect(&client), QVK_ERR_NOT_RUNNING);
    EXPECT_EQ(qvk_probe(&presence), QVK_ERR_NOT_RUNNING);
    EXPECT_TRUE(presence.segment && presence.server_set && presence.client_set);
    EXPECT_FALSE(presence.daemon_attached);

    // Sets missing although the segment is attached by someone.
    void *held = shmat(segment, nullptr, 0);
    semctl(server_set, 0, IPC_RMID);
    EXPECT_EQ(qvk_connect(&client), QVK_ERR_NOT_RUNNING);
    EXPECT_EQ(qvk_probe(&presence), QVK_ERR_NOT_RUNNING);
    EXPECT_TRUE(presence.segment && presence.daemon_attached && presence.client_set);
    EXPECT_FALSE(presence.server_set);
    shmdt(held);
    semctl(client_set, 0, IPC_RMID);
    shmctl(segment, IPC_RMID, nullptr);

    // A segment of that key smaller than the protocol's is not the daemon's.
    const int small = shmget(SHM_KEY, 4096, IPC_CREAT | 0600);
    ASSERT_GE(small, 0);
    held = shmat(small, nullptr, 0);
    semget(SEM_SERVER_KEY, 1, IPC_CREAT | 0600);
    semget(SEM_CLIENT_KEY, 1, IPC_CREAT | 0600);
    EXPECT_EQ(qvk_connect(&client), QVK_ERR_NOT_RUNNING);
    shmdt(held);
    shmctl(small, IPC_RMID, nullptr);
    semctl(semget(SEM_SERVER_KEY, 0, 0), 0, IPC_RMID);
    semctl(semget(SEM_CLIENT_KEY, 0, 0), 0, IPC_RMID);
}

TEST(RoundTrip, ListOpenTransmitAndCloseWithTypedResults) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server(token_answers);
    Requester requester;
    qvk_client *client = requester.get();

    qvk_device_list devices;
    ASSERT_EQ(qvk_list(client, &devices), QVK_OK);
    ASSERT_EQ(devices.count, 2u);
    EXPECT_STREQ(devices.paths[0], "/dev/QVUsbKey0");
    EXPECT_STREQ(devices.paths[1], "/dev/QVUsbKey1");

    std::uint32_t handle = 0;
    EXPECT_EQ(qvk_open(client, "/dev/QVUsbKey1", &handle), QVK_ERR_NOT_OPENED);
    ASSERT_EQ(qvk_open(client, "/dev/QVUsbKey0", &handle), QVK_OK);
    EXPECT_EQ(handle, kHandle);

    qvk_result result;
    std::uint32_t status = 0;
    const Bytes apdu = hex("00 84 00 00 08");
    EXPECT_EQ(requester.transmit(handle, apdu, &result, &status), reversed(apdu));
    EXPECT_EQ(result, QVK_OK);
    EXPECT_EQ(status, 0x9000u);
    // The room offered bounds the answer.
    EXPECT_EQ(requester.transmit(handle, apdu, &result, &status, 2), hex("08 00"));
    EXPECT_EQ(result, QVK_OK);
    EXPECT_TRUE(requester.transmit(handle + 1, apdu, &result, &status, 16).empty());
    EXPECT_EQ(result, QVK_ERR_HANDLE_NOT_OPEN);
    EXPECT_EQ(status, QVK_STATUS_NOT_OPEN);
    EXPECT_EQ(qvk_close(client, handle), QVK_OK);

    // Each call left the segment idle and the turn free.
    EXPECT_EQ(state_word(), 0u);
    EXPECT_EQ(turn_value(), 0);

    // Arguments the protocol cannot carry never reach the server.
    const Bytes too_long(CMD_BUF_SIZE + 1, 0);
    EXPECT_EQ((requester.transmit(handle, too_long, &result), result), QVK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(qvk_open(client, std::string(128, 'p').c_str(), &handle), QVK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(qvk_list(nullptr, &devices), QVK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(qvk_set_timeout(client, 0), QVK_ERR_INVALID_ARGUMENT);
}

TEST(RoundTrip, AnAnswerWithoutAWakeIsSeenByTheBoundedPoll) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server(token_answers, {.wake = false});
    // Were the futex wait not bounded, each call would sleep to its timeout.
    Requester requester(1000);
    for (std::uint8_t i = 0; i < 20; ++i) {
        qvk_result result;
        const Bytes apdu{0x00, 0xB0, 0x00, i};
        EXPECT_EQ(requester.transmit(kHandle, apdu, &result), reversed(apdu));
        ASSERT_EQ(result, QVK_OK) << qvk_result_text(result);
    }
}

TEST(Timeout, WaitingForTheTurnIsBoundedByTheSameTimeout) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server(token_answers);
    Requester requester(200);
    sembuf hold{0, 1, 0};  // another requester holds the turn and never gives it
    ASSERT_EQ(semop(semget(SEM_CLIENT_KEY, 1, 0), &hold, 1), 0);
    const auto start = steady_clock::now();
    qvk_result result;
    requester.transmit(kHandle, hex("00 04"), &result);
    EXPECT_EQ(result, QVK_ERR_TIMEOUT);
    EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(state_word(), 0u);  // nothing was posted
}

TEST(DeadRequester, WhatADeadRequesterLeftInTheSegmentIsSettledByTheNext) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server(token_answers);
    Requester requester(5000);
    qvk_result result;
    // One that died after posting but before raising the server set: the
    // next holder raises it, collects that answer, then gets its own.
    post_by_hand(hex("55 66"), false);
    EXPECT_EQ(requester.transmit(kHandle, hex("77 88"), &result), hex("88 77"));
    EXPECT_EQ(result, QVK_OK);
    // And one whose answer arrived but was never read.
    post_by_hand(hex("99 AA"), true);
    ASSERT_TRUE(eventually([] { return state_word() == SHM_STATE_RESPONSE; }));
    EXPECT_EQ(requester.transmit(kHandle, hex("BB CC"), &result), hex("CC BB"));
    EXPECT_EQ(result, QVK_OK);
    // A request the server never answers (a command it does not know) is
    // not waited for: it would hold up every requester until a restart.
    post_by_hand(hex("DD EE"), true, CMD_ICC_TSI_API + 1);
    const auto start = steady_clock::now();
    EXPECT_EQ(requester.transmit(kHandle, hex("DD EE"), &result), hex("EE DD"));
    EXPECT_EQ(result, QVK_OK);
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ServerGone, AServerStartingAfreshMidRequestLosesItAndTheTurnStaysSound) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer first(token_answers);
    first.stop();
    const pid_t child = transmit_in_child(kHandle, hex("01 02"), 20000);
    ASSERT_TRUE(eventually([] { return state_word() == SHM_STATE_REQUEST; }));
    ScriptedServer second(token_answers);  // clears the segment, resets both sets
    EXPECT_EQ(exit_status_of(child), QVK_ERR_REQUEST_LOST);
    // The child's exit must not have lowered the set for anyone.
    EXPECT_EQ(turn_value(), 0);
    Requester requester(5000);
    qvk_result result;
    EXPECT_EQ(requester.transmit(kHandle, hex("03 04"), &result), hex("04 03"));
    EXPECT_EQ(result, QVK_OK);
}

TEST(ServerGone, AServerKilledMidRequestIsReportedAsNotRunningBeforeTheTimeout) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server(token_answers);
    server.stop();
    const auto start = steady_clock::now();
    const pid_t child = transmit_in_child(kHandle, hex("01 02"), 60000);
    ASSERT_TRUE(eventually([] { return state_word() == SHM_STATE_REQUEST; }));
    server.kill();
    EXPECT_EQ(exit_status_of(child), QVK_ERR_NOT_RUNNING);
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(Malformed, ABadBlockFromTheServerIsADistinctErrorAndLeavesTheSegmentIdle) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server([](const Bytes &request) {
        const std::uint8_t first = request[REQ_TSI_APDU_OFFSET];
        if (first == 0xE1) return answer_block(CMD_OPEN_DEV, hex("00 90 00 00"));  // wrong echo
        if (first == 0xE2) {  // L far beyond the block
            Bytes block = answer_block(CMD_ICC_TSI_API, hex("00 90 00 00"));
            block[RESP_LENGTH_OFFSET + 3] = 0x7F;
            return block;
        }
        if (first == 0xE3) return answer_block(CMD_ICC_TSI_API, hex("90 00"));  // no room for a status
        if (first == 0xE4) {  // 296 data bytes and 9000, with 256 offered
            Bytes payload(300, 1);
            payload[296] = 0x00, payload[297] = 0x90, payload[298] = 0x00, payload[299] = 0x00;
            return answer_block(CMD_ICC_TSI_API, payload);
        }
        return token_answers(request);
    });
    Requester requester(5000);
    qvk_result result;
    for (const char *apdu : {"E1 00", "E2 00", "E3 00"}) {
        EXPECT_TRUE(requester.transmit(kHandle, hex(apdu), &result, nullptr, 256).empty()) << apdu;
        EXPECT_EQ(result, QVK_ERR_MALFORMED_RESPONSE) << apdu;
        EXPECT_EQ(state_word(), 0u);
        EXPECT_EQ(turn_value(), 0);
    }
    // More data than offered is not malformed: the room is filled and the cut is reported.
    EXPECT_EQ(requester.transmit(kHandle, hex("E4 00"), &result, nullptr, 256), Bytes(256, 1));
    EXPECT_EQ(result, QVK_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(state_word(), 0u);
    EXPECT_EQ(requester.transmit(kHandle, hex("01 02"), &result), hex("02 01"));
    EXPECT_EQ(result, QVK_OK);
}

namespace {

// The whole block as it is now.
Bytes block_now() {
    const int segment = shmget(SHM_KEY, 0, 0);
    auto *base = static_cast<std::uint8_t *>(shmat(segment, nullptr, SHM_RDONLY));
    if (base == reinterpret_cast<std::uint8_t *>(-1)) return {};
    Bytes block(base + SHM_BLOCK_OFFSET, base + SHM_BLOCK_OFFSET + SHM_BLOCK_SIZE);
    shmdt(base);
    return block;
}

bool zero_from(const Bytes &bytes, std::size_t offset) {
    return bytes.size() >= offset && std::all_of(bytes.begin() + static_cast<long>(offset), bytes.end(),
                                                 [](std::uint8_t b) { return b == 0; });
}

}  // namespace

// Every local user can read the segment: an answer stays there only while it
// is in flight.
TEST(Segment, NoAnswerLingersInTheBlockOnceCopied) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server(token_answers);
    Requester requester(5000);
    qvk_result result;
    const Bytes secret(200, 0x5C);
    EXPECT_EQ(requester.transmit(kHandle, secret, &result), secret);
    EXPECT_EQ(result, QVK_OK);
    EXPECT_TRUE(zero_from(block_now(), 0)) << "the answer stayed in the segment";
    // An answer that reaches further than its request.
    qvk_device_list devices;
    EXPECT_EQ(qvk_list(requester.get(), &devices), QVK_OK);
    EXPECT_TRUE(zero_from(block_now(), 0)) << "the list stayed in the segment";

    // An answer that came after its requester gave up is wiped by the next
    // holder before it posts: with the server stopped, that one's request is
    // all the block holds.
    server.stop();
    Requester impatient(100);
    impatient.transmit(kHandle, Bytes(300, 0xA7), &result);
    EXPECT_EQ(result, QVK_ERR_TIMEOUT);
    server.resume();
    ASSERT_TRUE(eventually([] { return state_word() == SHM_STATE_RESPONSE; }));
    server.stop();
    Requester next(200);
    next.transmit(kHandle, hex("00 B0"), &result);
    EXPECT_EQ(result, QVK_ERR_TIMEOUT);
    EXPECT_TRUE(zero_from(block_now(), REQ_TSI_APDU_OFFSET + 2 + REQ_TSI_TRAILER_SIZE))
        << "the late answer stayed in the segment";
    server.resume();
}

// A requester that gave up on an open never learns its handle: the next
// holder of the turn closes it, or the device would stay open for good;
// whether the answer comes while that holder waits for it or came before.
class AbandonedOpen : public testing::TestWithParam<bool> {};

TEST_P(AbandonedOpen, IsClosedByTheNextHolder) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    const bool answered_first = GetParam();
    TempDir directory;
    const std::string closes = directory / "closes";
    ScriptedServer server([closes](const Bytes &request) {
        if (request[REQ_COMMAND_OFFSET] == CMD_CLOSE_DEV) {
            std::uint32_t handle;
            std::memcpy(&handle, request.data() + REQ_ARGS_OFFSET, 4);
            write_file(closes, read_file(closes) + std::to_string(handle) + "\n");
        }
        return token_answers(request);
    });
    server.stop();
    Requester impatient(100);
    std::uint32_t handle = 0;
    EXPECT_EQ(qvk_open(impatient.get(), "/dev/QVUsbKey0", &handle), QVK_ERR_TIMEOUT);
    if (answered_first) {
        server.resume();
        ASSERT_TRUE(eventually([] { return state_word() == SHM_STATE_RESPONSE; }));
    }
    // The next one takes the turn with that open's answer still to come, or
    // lying there uncollected.
    const pid_t next = transmit_in_child(kHandle, hex("01 02"), 10000);
    if (!answered_first) {
        ASSERT_TRUE(eventually([] { return turn_value() == 1; }));
        server.resume();
    }
    EXPECT_EQ(exit_status_of(next), QVK_OK);
    EXPECT_EQ(read_file(closes), "7\n");
}

INSTANTIATE_TEST_SUITE_P(DeadRequester, AbandonedOpen, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &parameter) {
                             return parameter.param ? "AnsweredBeforeTheNextHolderCame" : "AnsweredWhileItWaits";
                         });

// A daemon starting afresh resets the turn while a requester holds it, and
// another may take it then: the first must not give back a turn that is no
// longer its own, or a third would get in beside the second.
TEST(ServerGone, ATurnResetUnderItsHolderIsNotGivenBackByIt) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    ScriptedServer server(token_answers);
    server.stop();
    // The first requester reports its call's result and stays alive (its
    // exit would apply whatever undo it is left with).
    int reported[2];
    ASSERT_EQ(pipe(reported), 0);
    const pid_t first = run_in_child([&reported] {
        Requester requester(20000);
        qvk_result result;
        requester.transmit(kHandle, hex("01 02"), &result);
        if (write(reported[1], &result, sizeof result) != sizeof result) return 1;
        pause();
        return 0;
    });
    ASSERT_TRUE(eventually([] { return turn_value() == 1 && state_word() == SHM_STATE_REQUEST; }));
    const int client_set = semget(SEM_CLIENT_KEY, 1, 0);
    ASSERT_EQ(semctl(client_set, 0, SETVAL, 0), 0);  // as a restart resets it
    sembuf take[2] = {{0, 0, IPC_NOWAIT}, {0, 1, SEM_UNDO}};
    ASSERT_EQ(semop(client_set, take, 2), 0);  // a second requester takes the turn
    server.resume();
    qvk_result result = QVK_ERR_SYSTEM;
    ASSERT_EQ(read(reported[0], &result, sizeof result), static_cast<ssize_t>(sizeof result));
    EXPECT_EQ(result, QVK_OK);
    EXPECT_EQ(turn_value(), 1) << "the first requester gave back the second one's turn";
    kill(first, SIGKILL);
    exit_status_of(first);
    EXPECT_EQ(turn_value(), 1);
    sembuf give{0, -1, SEM_UNDO | IPC_NOWAIT};
    ASSERT_EQ(semop(client_set, &give, 1), 0);
    EXPECT_EQ(turn_value(), 0);
    close(reported[0]);
    close(reported[1]);
}
