// SPDX-License-Identifier: BSD-3-Clause
// The APDU exchange and the device primitives, against a scripted card on a
// SEQPACKET socket pair (one message per write and per read, like the driver).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "scripted_card.h"
#include "udk_api.h"

using qvk::test::Bytes;
using qvk::test::hex;
using qvk::test::ScriptedCard;

namespace {

constexpr uint8_t kUntouched = 0xAA;

struct Exchange {
    uint32_t status = 0;
    int32_t length = -12345;
    std::array<uint8_t, 8192> response;
    Exchange() { response.fill(kUntouched); }
};

class Transport : public ::testing::Test {
protected:
    qvk::test::UdkApi api;
    ScriptedCard card;

    Exchange run(const Bytes &command) { return run(command.data(), static_cast<int>(command.size())); }
    Exchange run(const uint8_t *command, int length) {
        Exchange x;
        x.status = api.exchange(card.descriptor(), length, command, &x.length, x.response.data());
        return x;
    }
    Bytes data(const Exchange &x) {
        return Bytes(x.response.begin(), x.response.begin() + x.length);
    }
};

TEST_F(Transport, SplitsDataFromStatusAndSendsTheCommandExactly) {
    card.answer(hex("01 02 03 04 05 06 07 08 90 00"));
    const Exchange x = run(hex("00 84 00 00 08"));
    EXPECT_EQ(x.status, 0x9000u);
    EXPECT_EQ(data(x), hex("01 02 03 04 05 06 07 08"));
    EXPECT_EQ(x.response[8], kUntouched);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 84 00 00 08")});

    // The family entry point is the same exchange.
    card.answer(hex("6A 82"));
    const Bytes select = hex("00 A4 00 00 02 3F 00");
    int32_t length = -1;
    std::array<uint8_t, 16> response{};
    EXPECT_EQ(api.transmit(card.descriptor(), 7, select.data(), &length, response.data()), 0x6A82u);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{select});
}

TEST_F(Transport, StatusOnlyAnswerWritesNoResponseByte) {
    card.answer(hex("90 00"));
    const Exchange x = run(hex("00 19 00 00 00"));
    EXPECT_EQ(x.status, 0x9000u);
    EXPECT_EQ(x.length, 0);
    EXPECT_EQ(x.response[0], kUntouched);
}

TEST_F(Transport, ResponseLengthOnEntryDoesNotLimitTheAnswer) {
    card.answer(hex("11 22 33 44 55 90 00"));
    Exchange x;
    x.length = 1;  // a caller's capacity is not read
    x.status = api.exchange(card.descriptor(), 5, hex("00 B0 00 00 05").data(), &x.length,
                            x.response.data());
    EXPECT_EQ(x.status, 0x9000u);
    EXPECT_EQ(data(x), hex("11 22 33 44 55"));
}

TEST_F(Transport, TooShortAnswersFailAndClearTheOutputs) {
    card.answer(hex("90"));
    Exchange one = run(hex("00 84 00 00 08"));
    EXPECT_EQ(one.status, 0xFFFFu);
    EXPECT_EQ(one.length, 0);
    EXPECT_EQ(one.response[0], 0);
    EXPECT_EQ(one.response[1], kUntouched);

    card.answer({});  // a message of zero bytes: read returns 0
    Exchange none = run(hex("00 84 00 00 08"));
    EXPECT_EQ(none.status, 0xFFFFu);
    EXPECT_EQ(none.length, 0);
    EXPECT_EQ(none.response[0], 0);
}

TEST_F(Transport, CardStatusFFFFKeepsItsData) {
    card.answer(hex("AB CD FF FF"));
    const Exchange x = run(hex("80 CA 00 00 02"));
    EXPECT_EQ(x.status, 0xFFFFu);
    EXPECT_EQ(data(x), hex("AB CD"));
}

TEST_F(Transport, FullSizeAnswerCopies2036DataBytes) {
    Bytes answer(2038);
    for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i * 7);
    answer[2036] = 0x61;
    answer[2037] = 0x23;
    card.answer(answer);
    const Exchange x = run(hex("00 B0 00 00 00"));
    EXPECT_EQ(x.status, 0x6123u);
    ASSERT_EQ(x.length, 2036);
    EXPECT_EQ(data(x), Bytes(answer.begin(), answer.begin() + 2036));
    EXPECT_EQ(x.response[2036], kUntouched);
}

TEST_F(Transport, AnswerLongerThanTheBufferIsCutAt2038Bytes) {
    // One read asks for 2038 bytes; a longer message is truncated by the
    // socket, never copied past the buffers.
    Bytes answer(3000, 0x5A);
    card.answer(answer);
    const Exchange x = run(hex("00 B0 00 00 00"));
    EXPECT_EQ(x.status, 0x5A5Au);
    EXPECT_EQ(x.length, 2036);
    EXPECT_EQ(x.response[2036], kUntouched);
}

TEST_F(Transport, PeerThatHasGoneFailsTheExchange) {
    card.hang_up();
    const Exchange gone = run(hex("00 84 00 00 08"));
    EXPECT_EQ(gone.status, 0xFFFFu);
    EXPECT_EQ(gone.length, 0);
    EXPECT_EQ(gone.response[0], 0);
}

TEST_F(Transport, PeerThatStopsAnsweringFailsTheExchange) {
    card.stop_answering();
    const Exchange silent = run(hex("00 84 00 00 08"));
    EXPECT_EQ(silent.status, 0xFFFFu);
    EXPECT_EQ(silent.length, 0);
    EXPECT_EQ(silent.response[0], 0);
    EXPECT_EQ(card.commands().size(), 1u);
}

// With a timeout set, an answer that has not come in time fails the
// exchange, and the descriptor never reaches the device again: the late
// answer cannot pass for the next command's.
TEST_F(Transport, AnAnswerThatComesTooLateFailsAndLeavesTheDescriptorDead) {
    auto set_timeout = api.library.function<decltype(&SetQvDevTimeout)>("SetQvDevTimeout");
    set_timeout(200);
    const Exchange late = run(hex("00 84 00 00 08"));  // nothing queued yet
    EXPECT_EQ(late.status, 0xFFFFu);
    EXPECT_EQ(late.length, 0);
    EXPECT_THROW(card.answer(hex("01 02 90 00")), std::runtime_error) << "the late answer still reaches the host";
    const Exchange next = run(hex("00 B0 00 00 02"));
    set_timeout(0);
    EXPECT_EQ(next.status, 0xFFFFu);
    EXPECT_NE(fcntl(card.descriptor(), F_GETFD), -1) << "it stays open until its owner closes it";
}

TEST_F(Transport, BadDescriptorFailsTheExchange) {
    Exchange x;
    x.status = api.exchange(-1, 5, hex("00 84 00 00 08").data(), &x.length, x.response.data());
    EXPECT_EQ(x.status, 0xFFFFu);
    EXPECT_EQ(x.length, 0);
    EXPECT_EQ(x.response[0], 0);
}

TEST_F(Transport, BadArgumentsTouchNothingAndSendNothing) {
    card.answer(hex("90 00"));
    const Bytes command = hex("00 84 00 00 08");
    int32_t length = 77;
    std::array<uint8_t, 4> response{1, 2, 3, 4};
    const std::array<uint8_t, 4> before = response;

    EXPECT_EQ(api.exchange(card.descriptor(), 5, nullptr, &length, response.data()), 0xFFFFu);
    EXPECT_EQ(api.exchange(card.descriptor(), 5, command.data(), nullptr, response.data()), 0xFFFFu);
    EXPECT_EQ(api.exchange(card.descriptor(), 5, command.data(), &length, nullptr), 0xFFFFu);
    EXPECT_EQ(api.transmit(card.descriptor(), 5, nullptr, &length, response.data()), 0xFFFFu);
    // Lengths the 2038-byte command buffer cannot hold are refused the same way.
    Bytes huge(4096, 0x00);
    EXPECT_EQ(api.exchange(card.descriptor(), -1, command.data(), &length, response.data()), 0xFFFFu);
    EXPECT_EQ(api.exchange(card.descriptor(), 2039, huge.data(), &length, response.data()), 0xFFFFu);
    EXPECT_EQ(api.exchange(card.descriptor(), INT32_MIN, huge.data(), &length, response.data()), 0xFFFFu);

    EXPECT_EQ(length, 77);
    EXPECT_EQ(response, before);
    EXPECT_TRUE(card.commands().empty());
}

TEST_F(Transport, CommandLengthLimitsAreInclusive) {
    Bytes longest(2038);
    for (std::size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<uint8_t>(i);
    card.answer(hex("90 00"));
    EXPECT_EQ(run(longest).status, 0x9000u);

    // A zero-length command is written as an empty message, then the answer is read.
    card.answer(hex("42 90 00"));
    const Exchange empty = run(longest.data(), 0);
    EXPECT_EQ(empty.status, 0x9000u);
    EXPECT_EQ(empty.length, 1);
    EXPECT_EQ(card.commands(), (std::vector<Bytes>{longest, Bytes{}}));
}

TEST(DevicePrimitives, OpenAndCloseResults) {
    qvk::test::UdkApi api;
    qvk::test::TempDir dir;
    const std::string file = dir / "QVUsbKey0";
    qvk::test::write_file(file, "");

    EXPECT_EQ(api.ct_open(nullptr), -1);
    EXPECT_EQ(api.open_device(nullptr), -1);
    EXPECT_EQ(api.open_device((dir / "absent").c_str()), -1);
    EXPECT_NE(access((dir / "absent").c_str(), F_OK), 0) << "open must not create the node";
    EXPECT_EQ(api.open_device(dir.path().c_str()), -1) << "a directory cannot be opened O_RDWR";

    const int fd = api.open_device(file.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_EQ(api.close_device(fd), 1);
    EXPECT_EQ(api.close_device(fd), 0) << "closing a descriptor that is not open fails";

    const int again = api.ct_open(file.c_str());
    ASSERT_GE(again, 0);
    EXPECT_EQ(api.ct_close(again), 0);
    EXPECT_EQ(api.ct_close(again), -1);
}

}  // namespace
