// SPDX-License-Identifier: BSD-3-Clause
// The virtual token driven the way the daemon drives a real one: through the
// exports of the built plug-in, on the /dev/QVUsbKey<N> names of a private
// /dev whose links lead into the mounted virtual token.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "scripted_card.h"
#include "udk_api.h"
#include "vtoken_fixture.h"

using qvk::test::Bytes;
using qvk::test::hex;
using qvk::test::VirtualToken;
using TokenSetup = qvk::test::VirtualTokenSetup;

namespace {

std::string to_hex_text(const Bytes &bytes, std::size_t first, std::size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = first; i < first + count; ++i) {
        if (i != first) text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

struct Answer {
    uint32_t status = 0;
    Bytes data;
};

class VirtualTokenThroughPlugin : public ::testing::Test {
protected:
    void SetUp() override { QVK_REQUIRE_VIRTUAL_TOKEN(); }

    qvk::test::UdkApi api;

    // Every node path the plug-in's enumeration lists.
    std::vector<std::string> enumerate() {
        std::array<char, 4096> list{};
        uint8_t count = 0;
        if (api.enumerate(&count, list.data()) == 0) return {};
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) paths.emplace_back(list.data() + i * 128);
        return paths;
    }

    Answer send(int descriptor, const char *command) {
        const Bytes bytes = hex(command);
        std::array<uint8_t, 8192> response{};
        response[0] = 0xAA;
        int32_t length = -1;
        Answer answer;
        answer.status = api.transmit(descriptor, static_cast<int>(bytes.size()), bytes.data(),
                                     &length, response.data());
        if (length < 0 || length > 2036) {
            ADD_FAILURE() << "response length " << length;
            return answer;
        }
        answer.data.assign(response.begin(), response.begin() + length);
        if (answer.status == 0xFFFF) {
            EXPECT_EQ(response[0], 0) << "a failed exchange clears byte 0";
        }
        return answer;
    }
};

TEST_F(VirtualTokenThroughPlugin, EnumeratesThePluggedTokensThroughDev) {
    VirtualToken token(TokenSetup().with_nodes({17, 3, 31}));
    EXPECT_EQ(enumerate(),
              (std::vector<std::string>{"/dev/QVUsbKey3", "/dev/QVUsbKey17", "/dev/QVUsbKey31"}));
    EXPECT_EQ(api.open_device("/dev/QVUsbKey4"), -1) << "a token that is not plugged in";
}

TEST_F(VirtualTokenThroughPlugin, CardCommandsFromOpenToClose) {
    VirtualToken token(TokenSetup().with_nodes({0}).with_files(
        {"0015:300=text:Kestrane virtual token", "0016:4=hex:A1A2"}));
    const int descriptor = api.open_device("/dev/QVUsbKey0");
    ASSERT_GE(descriptor, 0);

    EXPECT_EQ(send(descriptor, "00 19 00 00 00").status, 0x9000u);
    EXPECT_EQ(send(descriptor, "00 12 00 00 00").status, 0x9000u);
    EXPECT_EQ(send(descriptor, "00 B0 00 00 04").status, 0x6986u) << "nothing selected yet";
    EXPECT_EQ(send(descriptor, "00 A4 00 00 02 00 99").status, 0x6A82u);
    EXPECT_EQ(send(descriptor, "00 A4 00 00 02 00 15").status, 0x9000u);

    Answer read = send(descriptor, "00 B0 00 00 08");
    EXPECT_EQ(read.status, 0x9000u);
    EXPECT_EQ(std::string(read.data.begin(), read.data.end()), "Kestrane");
    read = send(descriptor, "00 B0 01 28 08");  // offset 296 of 300
    EXPECT_EQ(read.status, 0x6282u);
    EXPECT_EQ(read.data, Bytes(4, 0));
    EXPECT_EQ(send(descriptor, "00 B0 01 2C 01").status, 0x6B00u);

    EXPECT_EQ(send(descriptor, "00 D6 00 09 07 56 49 52 54 55 41 4C").status, 0x9000u);
    read = send(descriptor, "00 B0 00 00 10");
    EXPECT_EQ(std::string(read.data.begin(), read.data.end()), std::string("Kestrane VIRTUAL"));
    EXPECT_EQ(send(descriptor, "00 D6 01 2B 02 01 02").status, 0x6A84u);

    const Answer first = send(descriptor, "00 84 00 00 08");
    const Answer second = send(descriptor, "00 84 00 00 08");
    EXPECT_EQ(first.status, 0x9000u);
    EXPECT_EQ(first.data.size(), 8u);
    EXPECT_EQ(second.data.size(), 8u);
    EXPECT_NE(first.data, second.data);

    EXPECT_EQ(send(descriptor, "00 CA 00 00 00").status, 0x6D00u);
    EXPECT_EQ(send(descriptor, "80 B0 00 00 01").status, 0x6E00u);
    EXPECT_EQ(send(descriptor, "00 B0 00 00 01 02").status, 0x6700u);
    EXPECT_EQ(api.close_device(descriptor), 1);
    EXPECT_EQ(api.close_device(descriptor), 0) << "already closed";

    // A new session starts with nothing selected, and sees what was written.
    const int again = api.open_device("/dev/QVUsbKey0");
    ASSERT_GE(again, 0);
    EXPECT_EQ(send(again, "00 B0 00 00 01").status, 0x6986u);
    EXPECT_EQ(send(again, "00 A4 00 00 02 00 15").status, 0x9000u);
    read = send(again, "00 B0 00 09 07");
    EXPECT_EQ(std::string(read.data.begin(), read.data.end()), "VIRTUAL");
    EXPECT_EQ(api.close_device(again), 1);

    const std::vector<std::string> log = token.commands();
    ASSERT_EQ(log.size(), 19u);
    EXPECT_EQ(log.front(), "QVUsbKey0 00 19 00 00 00");
    EXPECT_EQ(log[8], "QVUsbKey0 00 D6 00 09 07 56 49 52 54 55 41 4C");
    EXPECT_EQ(log.back(), "QVUsbKey0 00 B0 00 09 07");
    EXPECT_TRUE(token.commands().empty()) << "each line is returned once";
}

TEST_F(VirtualTokenThroughPlugin, CardFileHelpersReadAndWriteInChunks) {
    VirtualToken token(TokenSetup().with_nodes({6}).with_files({"0015:300", "0016:200"}));
    const int descriptor = api.open_device("/dev/QVUsbKey6");
    ASSERT_GE(descriptor, 0);

    int32_t length = -1;
    std::array<uint8_t, 2036> response{};
    EXPECT_EQ(api.reset(descriptor, &length, response.data()), 0x9000u);
    EXPECT_EQ(length, 0);

    Bytes written(300);
    for (std::size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(api.write_binary(descriptor, 0x0015, 0, 300, written.data()), 0x9000u);
    Bytes read(300, 0xEE);
    EXPECT_EQ(api.read_binary(descriptor, 0x0015, 0, 300, read.data()), 0x9000u);
    EXPECT_EQ(read, written);
    EXPECT_EQ(token.commands(),
              (std::vector<std::string>{
                  "QVUsbKey6 00 19 00 00 00", "QVUsbKey6 00 12 00 00 00",
                  "QVUsbKey6 00 A4 00 00 02 00 15",
                  "QVUsbKey6 00 D6 00 00 80 " + to_hex_text(written, 0, 128),
                  "QVUsbKey6 00 D6 00 80 80 " + to_hex_text(written, 128, 128),
                  "QVUsbKey6 00 D6 01 00 2C " + to_hex_text(written, 256, 44),
                  "QVUsbKey6 00 A4 00 00 02 00 15", "QVUsbKey6 00 B0 00 00 80",
                  "QVUsbKey6 00 B0 00 80 80", "QVUsbKey6 00 B0 01 00 2C"}));

    // Reading past the end of the 200-byte file stops at the card's 62 82;
    // writing past it is refused after the chunks that fit.
    Bytes tail(150, 0xEE);
    EXPECT_EQ(api.read_binary(descriptor, 0x0016, 100, 150, tail.data()), 0x6282u);
    EXPECT_EQ(Bytes(tail.begin(), tail.begin() + 100), Bytes(100, 0));
    EXPECT_EQ(api.write_binary(descriptor, 0xFFFF, 100, 150, written.data()), 0x6A84u);
    EXPECT_EQ(api.read_binary(descriptor, 0x0099, 0, 1, tail.data()), 0x6A82u);
    EXPECT_EQ(api.close_device(descriptor), 1);
}

TEST_F(VirtualTokenThroughPlugin, EachFaultReachesThePlugin) {
    VirtualToken token(
        TokenSetup().with_nodes({1, 2}).with_files({"0015:16"}).with_faults({"2:one-byte"}));
    const int descriptor = api.open_device("/dev/QVUsbKey1");
    const int faulty = api.open_device("/dev/QVUsbKey2");
    ASSERT_GE(descriptor, 0);
    ASSERT_GE(faulty, 0);

    Answer answer = send(faulty, "00 A4 00 00 02 00 15");  // fault from the command line
    EXPECT_EQ(answer.status, 0xFFFFu);
    EXPECT_TRUE(answer.data.empty());
    EXPECT_EQ(send(descriptor, "00 A4 00 00 02 00 15").status, 0x9000u) << "other tokens work";

    token.set_fault(1, "no-answer");
    answer = send(descriptor, "00 B0 00 00 04");
    EXPECT_EQ(answer.status, 0xFFFFu);
    EXPECT_TRUE(answer.data.empty());

    token.set_fault(1, "short-write");
    EXPECT_EQ(send(descriptor, "00 D6 00 00 02 11 22").status, 0xFFFFu);

    token.set_fault(1, "delay=300");
    const auto started = std::chrono::steady_clock::now();
    answer = send(descriptor, "00 B0 00 00 02");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
    EXPECT_EQ(answer.status, 0x9000u);
    EXPECT_EQ(answer.data, Bytes(2, 0)) << "the short write changed nothing";

    token.set_fault(1, "none");
    token.set_fault(2, "none");
    EXPECT_EQ(send(descriptor, "00 D6 00 00 02 11 22").status, 0x9000u);
    EXPECT_EQ(send(faulty, "00 A4 00 00 02 00 15").status, 0x9000u);
    EXPECT_EQ(send(descriptor, "00 B0 00 00 02").data, hex("11 22"));
    EXPECT_EQ(send(faulty, "00 B0 00 00 02").data, Bytes(2, 0)) << "each token has its own card";

    // Every command arrived whole, including those the faults then spoiled.
    const std::vector<std::string> log = token.commands();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[3], "QVUsbKey1 00 D6 00 00 02 11 22");
    EXPECT_THROW(token.set_fault(1, "sometimes"), std::runtime_error);
    EXPECT_EQ(api.close_device(descriptor), 1);
    EXPECT_EQ(api.close_device(faulty), 1);
}

TEST_F(VirtualTokenThroughPlugin, HotPlugBetweenTwoEnumerations) {
    VirtualToken token(TokenSetup().with_nodes({0, 4}).with_files({"0015:8"}));
    EXPECT_EQ(enumerate(), (std::vector<std::string>{"/dev/QVUsbKey0", "/dev/QVUsbKey4"}));

    const int descriptor = api.open_device("/dev/QVUsbKey0");
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(send(descriptor, "00 A4 00 00 02 00 15").status, 0x9000u);
    ASSERT_EQ(send(descriptor, "00 D6 00 00 01 77").status, 0x9000u);

    token.unplug(0);
    token.plug(9);
    EXPECT_EQ(enumerate(), (std::vector<std::string>{"/dev/QVUsbKey4", "/dev/QVUsbKey9"}));
    EXPECT_EQ(send(descriptor, "00 B0 00 00 01").status, 0xFFFFu) << "the token was pulled out";
    EXPECT_EQ(api.close_device(descriptor), 1) << "a pulled token's descriptor still closes";

    token.plug(0);
    const int again = api.open_device("/dev/QVUsbKey0");
    ASSERT_GE(again, 0);
    ASSERT_EQ(send(again, "00 A4 00 00 02 00 15").status, 0x9000u);
    EXPECT_EQ(send(again, "00 B0 00 00 01").data, hex("77")) << "the card kept its contents";
    EXPECT_EQ(api.close_device(again), 1);

    for (const int index : {0, 4, 9}) token.unplug(index);
    uint8_t count = 0x55;
    std::array<char, 4096> list{};
    EXPECT_EQ(api.enumerate(&count, list.data()), 0);
    EXPECT_EQ(count, 0x55);
    EXPECT_THROW(token.unplug(9), std::runtime_error);
}

}  // namespace
