// SPDX-License-Identifier: BSD-3-Clause
// The ccid family through the exports of the built libqvkmgrccid, against a
// real pcscd with vsmartcard's vpcd driver, whose readers hold the virtual
// token's cards (qvkvtoken --vpcd). Token 0 holds file 0015 "first token",
// token 1 "second token", each 16 bytes.
#include <gtest/gtest.h>

#include <winscard.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ccid_api.h"
#include "pcsc_fixture.h"
#include "vtoken_fixture.h"

using namespace qvk::test;
using namespace std::chrono_literals;

namespace {

const Bytes kSelect = hex("00 A4 00 00 02 00 15");
const Bytes kReadAll = hex("00 B0 00 00 10");
const Bytes kChallenge = hex("00 84 00 00 08");
constexpr std::uint32_t kNoAnswer = 0xFFFF;

Bytes file_of(const std::string &text) {
    Bytes bytes(text.begin(), text.end());
    bytes.resize(16, 0);
    return bytes;
}

class CcidFamily : public ::testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_VIRTUAL_TOKEN();
        QVK_REQUIRE_PCSC();
        enter_private_network();
    }
    void TearDown() override {
        if (!HasFailure()) return;
        if (pcscd) std::cerr << "pcscd:\n" << pcscd->output();
        if (token) std::cerr << "qvkvtoken:\n" << token->diagnostics();
    }

    // The virtual token with `nodes` as cards in the readers, and pcscd.
    void start(std::vector<int> nodes, bool with_pcscd = true) {
        token = std::make_unique<VirtualToken>(
            VirtualTokenSetup()
                .with_nodes(std::move(nodes))
                .with_files({"0/0015:16=text:first token", "1/0015:16=text:second token"})
                .with_vpcd(kVpcdPort)
                .without_dev_links());
        if (with_pcscd) pcscd = std::make_unique<PcscDaemon>();
    }

    // Sends until the card answers with `status` or the time is up.
    Answer send_until(std::uint32_t handle, const Bytes &command, std::uint32_t status) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        Answer answer = api.send(handle, command);
        while (answer.status != status && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
            answer = api.send(handle, command);
        }
        return answer;
    }

    CcidApi api;
    std::unique_ptr<VirtualToken> token;
    std::unique_ptr<PcscDaemon> pcscd;
};

struct EnumerationCase {
    std::vector<int> nodes;
    std::vector<std::string> readers;
};

void PrintTo(const EnumerationCase &c, std::ostream *out) {
    *out << c.nodes.size() << " tokens";
}

class CcidEnumeration : public CcidFamily, public ::testing::WithParamInterface<EnumerationCase> {};

TEST_P(CcidEnumeration, ListsTheReadersThatHoldACard) {
    start(GetParam().nodes);
    EXPECT_EQ(api.readers_within(GetParam().readers), GetParam().readers);
    // Past the card's one-second retry and pcscd's polling, nothing else shows.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(api.readers(), GetParam().readers);
}

INSTANTIATE_TEST_SUITE_P(
    CardsInZeroOneAndTwoReaders, CcidEnumeration,
    ::testing::Values(EnumerationCase{{}, {}}, EnumerationCase{{5}, {kVpcdReader0}},
                      EnumerationCase{{2, 9}, {kVpcdReader0, kVpcdReader1}}),
    [](const ::testing::TestParamInfo<EnumerationCase> &param) {
        return std::to_string(param.param.readers.size()) + "Cards";
    });

TEST_F(CcidFamily, OpensAReaderAndPassesApdusThroughUnchanged) {
    start({0, 1});
    ASSERT_EQ(api.readers_within({kVpcdReader0, kVpcdReader1}),
              (std::vector<std::string>{kVpcdReader0, kVpcdReader1}));
    EXPECT_EQ(api.open_reader("Virtual PCD 00 07"), 0u) << "no such reader";
    EXPECT_EQ(api.open_reader(nullptr), 0u);

    const std::uint32_t handle = api.open_reader(kVpcdReader1);
    ASSERT_NE(handle, 0u);
    ASSERT_NE(handle, 0xFFFFFFFFu);
    Answer answer = api.send(handle, kSelect);
    EXPECT_EQ(answer.status, 0x9000u);
    EXPECT_EQ(answer.length, 0);
    answer = api.send(handle, kReadAll);
    EXPECT_EQ(answer.status, 0x9000u);
    EXPECT_EQ(answer.data, file_of("second token"));
    const Answer first = api.send(handle, kChallenge);
    const Answer second = api.send(handle, kChallenge);
    EXPECT_EQ(first.status, 0x9000u);
    EXPECT_EQ(first.data.size(), 8u);
    EXPECT_NE(first.data, second.data);
    EXPECT_EQ(api.send(handle, hex("00 A4 00 00 02 00 99")).status, 0x6A82u) << "the card's own status";
    EXPECT_EQ(api.send(handle, hex("00 C0 00 00 10")).status, 0x6D00u) << "no GET RESPONSE of its own";

    // A second handle on the other reader is another card.
    const std::uint32_t other = api.open_reader(kVpcdReader0);
    ASSERT_NE(other, 0u);
    EXPECT_NE(other, handle);
    api.send(other, kSelect);
    EXPECT_EQ(api.send(other, kReadAll).data, file_of("first token"));

    EXPECT_EQ(token->commands(),
              (std::vector<std::string>{
                  "QVUsbKey1 00 A4 00 00 02 00 15", "QVUsbKey1 00 B0 00 00 10",
                  "QVUsbKey1 00 84 00 00 08", "QVUsbKey1 00 84 00 00 08",
                  "QVUsbKey1 00 A4 00 00 02 00 99", "QVUsbKey1 00 C0 00 00 10",
                  "QVUsbKey0 00 A4 00 00 02 00 15", "QVUsbKey0 00 B0 00 00 10"}));

    EXPECT_EQ(api.close_handle(handle), 1u);
    EXPECT_EQ(api.close_handle(handle), 0u) << "closed already";
    EXPECT_EQ(api.send(handle, kReadAll).status, kNoAnswer);
    EXPECT_EQ(api.send(other, kReadAll).status, 0x9000u) << "the other handle is untouched";
    EXPECT_EQ(api.close_handle(other), 1u);
}

TEST_F(CcidFamily, HonoursTheRoomTheCallerOffersAndRefusesBadArguments) {
    start({0});
    ASSERT_EQ(api.readers_within({kVpcdReader0}).size(), 1u);
    const std::uint32_t handle = api.open_reader(kVpcdReader0);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(api.send(handle, kSelect, 0).status, 0x9000u) << "a status alone needs no room";

    struct Case {
        std::int32_t room;
        std::uint32_t status;
        std::int32_t length;
    };
    for (const Case &c : {Case{8188, 0x9000, 16}, Case{16, 0x9000, 16}, Case{15, kNoAnswer, 0},
                          Case{0, kNoAnswer, 0}, Case{-1, kNoAnswer, 0}}) {
        const Answer answer = api.send(handle, kReadAll, c.room);
        EXPECT_EQ(answer.status, c.status) << "room " << c.room;
        EXPECT_EQ(answer.length, c.length) << "room " << c.room;
    }

    // Under CLA INS P1 P2 is no command (a reader driver may take one byte
    // for a control and never answer), and over the extended maximum neither.
    const Bytes too_long(MAX_BUFFER_SIZE_EXTENDED + 1, 0);
    for (const std::int32_t length : {0, -1, 1, 3, static_cast<std::int32_t>(too_long.size())}) {
        std::int32_t placed = 8188;
        std::uint8_t response[8192];
        EXPECT_EQ(api.transmit(handle, length, too_long.data(), &placed, response), kNoAnswer) << length;
        EXPECT_EQ(placed, 0) << length;
    }
    std::int32_t placed = 8188;
    std::uint8_t response[8192];
    EXPECT_EQ(api.transmit(handle, 5, nullptr, &placed, response), kNoAnswer);
    EXPECT_EQ(api.transmit(handle, 5, kReadAll.data(), nullptr, response), kNoAnswer);
    EXPECT_EQ(api.transmit(handle, 5, kReadAll.data(), &placed, nullptr), kNoAnswer);
    EXPECT_EQ(api.send(handle + 1000, kReadAll).status, kNoAnswer) << "unknown handle";
    EXPECT_EQ(api.close_handle(handle + 1000), 0u);
    EXPECT_EQ(api.send(handle, kReadAll).data, file_of("first token")) << "still served";
    // The select, the five reads of the room table (the room is known to be
    // short only once the answer is in) and the last read; the refused
    // commands never reached the card.
    EXPECT_EQ(token->commands().size(), 7u);
}

TEST_F(CcidFamily, ACardRemovedMidSessionLeavesItsHandleDeadAndCanBeOpenedAgain) {
    start({0});
    ASSERT_EQ(api.readers_within({kVpcdReader0}).size(), 1u);
    const std::uint32_t handle = api.open_reader(kVpcdReader0);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(api.send(handle, kSelect).status, 0x9000u);

    token->unplug(0);
    const Answer gone = send_until(handle, kReadAll, kNoAnswer);
    EXPECT_EQ(gone.status, kNoAnswer);
    EXPECT_EQ(gone.length, 0);
    EXPECT_EQ(api.readers_within({}), std::vector<std::string>{});
    EXPECT_EQ(api.open_reader(kVpcdReader0), 0u) << "no card";

    token->plug(0);
    ASSERT_EQ(api.readers_within({kVpcdReader0}), std::vector<std::string>{kVpcdReader0});
    EXPECT_EQ(api.send(handle, kReadAll).status, kNoAnswer) << "the new card is not the old handle's";
    EXPECT_EQ(api.close_handle(handle), 1u) << "closing a handle whose card went";

    const std::uint32_t again = api.open_reader(kVpcdReader0);
    ASSERT_NE(again, 0u);
    EXPECT_NE(again, handle);
    EXPECT_EQ(api.send(again, kReadAll).status, 0x6986u) << "a fresh card has no file selected";
    EXPECT_EQ(api.send(again, kSelect).status, 0x9000u);
    EXPECT_EQ(api.send(again, kReadAll).data, file_of("first token"));
    EXPECT_EQ(api.close_handle(again), 1u);
}

TEST_F(CcidFamily, AResetByAnotherApplicationCostsOneExchange) {
    start({0});
    ASSERT_EQ(api.readers_within({kVpcdReader0}).size(), 1u);
    const std::uint32_t handle = api.open_reader(kVpcdReader0);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(api.send(handle, kSelect).status, 0x9000u);

    // Another PC/SC application shares the card, checks its ATR and resets it.
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnect(context, kVpcdReader0, SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol),
              SCARD_S_SUCCESS);
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr, state = 0;
    ASSERT_EQ(SCardStatus(card, nullptr, nullptr, &state, &protocol, atr, &atr_length), SCARD_S_SUCCESS);
    ASSERT_GE(atr_length, 2u);
    EXPECT_EQ(atr[0], 0x3B);
    BYTE check = 0;
    for (DWORD i = 1; i < atr_length; ++i) check ^= atr[i];
    EXPECT_EQ(check, 0) << "the ATR's check byte";
    EXPECT_TRUE(protocol == SCARD_PROTOCOL_T0 || protocol == SCARD_PROTOCOL_T1);
    EXPECT_EQ(SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                             SCARD_RESET_CARD, &protocol),
              SCARD_S_SUCCESS);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);

    const Answer lost = api.send(handle, kReadAll);
    EXPECT_EQ(lost.status, kNoAnswer) << "the card's state was lost";
    EXPECT_EQ(lost.length, 0);
    EXPECT_EQ(api.send(handle, kReadAll).status, 0x6986u) << "reconnected; the reset cleared the selection";
    EXPECT_EQ(api.send(handle, kSelect).status, 0x9000u);
    EXPECT_EQ(api.send(handle, kReadAll).data, file_of("first token"));
    EXPECT_EQ(api.close_handle(handle), 1u);
}

TEST_F(CcidFamily, WithoutPcscdNothingIsListedAtOnceAndAStartedOneIsServed) {
    start({0}, false);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(api.readers(), std::vector<std::string>{});
    EXPECT_EQ(api.open_reader(kVpcdReader0), 0u);
    // Not a speed target: only that a missing service makes nothing hang.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);

    // A pcscd without any reader lists nothing either.
    pcscd = std::make_unique<PcscDaemon>(false);
    EXPECT_EQ(api.readers(), std::vector<std::string>{});
    EXPECT_EQ(api.open_reader(kVpcdReader0), 0u);
    pcscd.reset();

    pcscd = std::make_unique<PcscDaemon>();
    ASSERT_EQ(api.readers_within({kVpcdReader0}), std::vector<std::string>{kVpcdReader0})
        << "the card finds the new reader within its one-second retry";
    const std::uint32_t handle = api.open_reader(kVpcdReader0);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(api.send(handle, kSelect).status, 0x9000u);

    // pcscd restarted: the old context and its handles are gone; the plug-in
    // establishes a new context by itself.
    pcscd->stop();
    EXPECT_EQ(api.send(handle, kReadAll).status, kNoAnswer);
    EXPECT_EQ(api.readers(), std::vector<std::string>{});
    pcscd->start();
    ASSERT_EQ(api.readers_within({kVpcdReader0}), std::vector<std::string>{kVpcdReader0});
    EXPECT_EQ(api.send(handle, kReadAll).status, kNoAnswer);
    EXPECT_EQ(api.close_handle(handle), 1u);
    const std::uint32_t again = api.open_reader(kVpcdReader0);
    ASSERT_NE(again, 0u);
    EXPECT_EQ(api.send(again, kSelect).status, 0x9000u);
    EXPECT_EQ(api.send(again, kReadAll).data, file_of("first token"));
}

}  // namespace
