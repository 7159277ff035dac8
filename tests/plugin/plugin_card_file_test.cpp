// SPDX-License-Identifier: BSD-3-Clause
// Card file commands (reset, READ BINARY and UPDATE BINARY in 128-byte
// pieces, optional SELECT) against a scripted card that records every APDU.
#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_card.h"
#include "udk_api.h"

using qvk::test::Bytes;
using qvk::test::hex;
using qvk::test::ScriptedCard;

namespace {

constexpr uint8_t kUntouched = 0xAA;

Bytes pattern(std::size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 3);
    return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Data followed by the status bytes 90 00.
Bytes ok(const Bytes &data = {}) { return concat({data, hex("90 00")}); }

Bytes slice(const Bytes &bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

class CardFile : public ::testing::Test {
protected:
    qvk::test::UdkApi api;
    ScriptedCard card;
    std::array<uint8_t, 1024> buffer;

    void SetUp() override { buffer.fill(kUntouched); }

    uint32_t read(int file_id, int offset, int length) {
        return api.read_binary(card.descriptor(), file_id, offset, length, buffer.data());
    }
    uint32_t write(int file_id, int offset, const Bytes &data) {
        return api.write_binary(card.descriptor(), file_id, offset, static_cast<int>(data.size()),
                                data.data());
    }
    Bytes stored(std::size_t from, std::size_t count) const {
        return Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(from),
                     buffer.begin() + static_cast<std::ptrdiff_t>(from + count));
    }
    bool untouched_from(std::size_t from) const {
        for (std::size_t i = from; i < buffer.size(); ++i)
            if (buffer[i] != kUntouched) return false;
        return true;
    }
};

TEST_F(CardFile, ReadSelectsThenReadsIn128BytePieces) {
    const Bytes file = pattern(300, 0x10);
    card.answer(ok(hex("6F 0A 84 08 A0 00 00 00 03 00 00 00")));  // FCI: not for the caller
    card.answer(ok(slice(file, 0, 128)));
    card.answer(ok(slice(file, 128, 128)));
    card.answer(ok(slice(file, 256, 44)));

    EXPECT_EQ(read(0x0015, 0x0100, 300), 0x9000u);
    EXPECT_EQ(card.commands(), (std::vector<Bytes>{hex("00 A4 00 00 02 00 15"),
                                                   hex("00 B0 01 00 80"),
                                                   hex("00 B0 01 80 80"),
                                                   hex("00 B0 02 00 2C")}));
    EXPECT_EQ(stored(0, 300), file);
    EXPECT_TRUE(untouched_from(300));
}

TEST_F(CardFile, SelectAnswerNeverReachesTheCallersBuffer) {
    card.answer(ok(pattern(200, 0x33)));  // a long FCI for a 4-byte read
    card.answer(ok(hex("01 02 03 04")));
    EXPECT_EQ(read(0x3F00, 0, 4), 0x9000u);
    EXPECT_EQ(stored(0, 4), hex("01 02 03 04"));
    EXPECT_TRUE(untouched_from(4));
}

TEST_F(CardFile, OffsetKeepsOnlyItsLow16BitsOnTheCard) {
    card.answer(ok(pattern(2, 0)));
    EXPECT_EQ(read(0xFFFF, 0x12345, 2), 0x9000u);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 B0 23 45 02")});

    // A read across 0xFFFF: the second piece starts at 0x10040, sent as 00 40.
    card.answer(ok(pattern(128, 0)));
    card.answer(ok(pattern(72, 0)));
    EXPECT_EQ(read(0xFFFF, 0xFFC0, 200), 0x9000u);
    EXPECT_EQ(card.commands(), (std::vector<Bytes>{hex("00 B0 FF C0 80"), hex("00 B0 00 40 48")}));

    card.answer(ok());
    EXPECT_EQ(write(0xFFFF, 0x7FFFFFF0, hex("5A")), 0x9000u);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 D6 FF F0 01 5A")});
}

TEST_F(CardFile, ShortAnswersAreAskedAgainFromWhereTheirDataEnded) {
    const Bytes file = pattern(300, 0x40);
    card.answer(ok(slice(file, 0, 100)));
    card.answer(ok(slice(file, 100, 128)));
    card.answer(ok(slice(file, 228, 72)));
    EXPECT_EQ(read(0xFFFF, 0, 300), 0x9000u);
    EXPECT_EQ(card.commands(), (std::vector<Bytes>{hex("00 B0 00 00 80"), hex("00 B0 00 64 80"),
                                                   hex("00 B0 00 E4 48")}));
    EXPECT_EQ(stored(0, 300), file);
    EXPECT_TRUE(untouched_from(300));
}

TEST_F(CardFile, RefusedOrFailedReadPieceEndsTheRead) {
    const Bytes file = pattern(128, 0x01);
    card.answer(ok(file));
    card.answer(hex("6A 82"));
    EXPECT_EQ(read(0xFFFF, 0, 300), 0x6A82u);
    EXPECT_EQ(card.commands().size(), 2u);
    EXPECT_EQ(stored(0, 128), file) << "the pieces before stay read";
    EXPECT_TRUE(untouched_from(128));

    // A warning that comes with data (end of file reached) keeps that data.
    buffer.fill(kUntouched);
    card.answer(concat({pattern(50, 0x70), hex("62 82")}));
    EXPECT_EQ(read(0xFFFF, 0, 100), 0x6282u);
    EXPECT_EQ(stored(0, 50), pattern(50, 0x70));
    EXPECT_TRUE(untouched_from(50));
    card.commands();

    // A failed exchange: 0xFFFF, and its cleared first byte is not stored.
    buffer.fill(kUntouched);
    card.answer(ok(file));
    card.stop_answering();
    EXPECT_EQ(read(0xFFFF, 0, 200), 0xFFFFu);
    EXPECT_EQ(card.commands().size(), 2u);
    EXPECT_EQ(stored(0, 128), file);
    EXPECT_TRUE(untouched_from(128));
}

TEST_F(CardFile, AnswerLongerThanAskedFailsWithoutStoringIt) {
    const Bytes file = pattern(128, 0x05);
    card.answer(ok(file));
    card.answer(ok(pattern(40, 0x90)));  // 2 bytes asked for, 40 delivered
    EXPECT_EQ(read(0xFFFF, 0, 130), 0xFFFFu);
    EXPECT_EQ(stored(0, 128), file);
    EXPECT_TRUE(untouched_from(128)) << "nothing past the piece, nor in it";
    EXPECT_EQ(card.commands().size(), 2u);
}

TEST_F(CardFile, EmptySuccessfulAnswerEndsTheRead) {
    card.answer(ok());
    card.answer(ok(pattern(10, 0)));  // would be read if the loop went on
    EXPECT_EQ(read(0xFFFF, 0, 10), 0xFFFFu);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 B0 00 00 0A")});
    EXPECT_TRUE(untouched_from(0));
}

TEST_F(CardFile, WriteSelectsThenUpdatesIn128BytePieces) {
    const Bytes data = pattern(300, 0x22);
    const Bytes original = data;
    card.answer(ok(pattern(64, 0xEE)));  // answers with data must not land in the caller's data
    card.answer(ok(pattern(64, 0xEE)));
    card.answer(ok(pattern(64, 0xEE)));
    card.answer(ok(pattern(64, 0xEE)));

    EXPECT_EQ(write(0x2F01, 0x0100, data), 0x9000u);
    EXPECT_EQ(card.commands(),
              (std::vector<Bytes>{hex("00 A4 00 00 02 2F 01"),
                                  concat({hex("00 D6 01 00 80"), slice(original, 0, 128)}),
                                  concat({hex("00 D6 01 80 80"), slice(original, 128, 128)}),
                                  concat({hex("00 D6 02 00 2C"), slice(original, 256, 44)})}));
    EXPECT_EQ(data, original);
}

TEST_F(CardFile, WriteToTheCurrentFileSendsNoSelect) {
    card.answer(ok());
    EXPECT_EQ(write(0xFFFF, 0, hex("01 02 03 04 05")), 0x9000u);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 D6 00 00 05 01 02 03 04 05")});
}

TEST_F(CardFile, RefusedWritePieceEndsTheWrite) {
    const Bytes data = pattern(300, 0x31);
    card.answer(ok());
    card.answer(hex("6A 82"));
    EXPECT_EQ(write(0xFFFF, 0, data), 0x6A82u);
    const auto sent = card.commands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], concat({hex("00 D6 00 00 80"), slice(data, 0, 128)}));
    EXPECT_EQ(sent[1], concat({hex("00 D6 00 80 80"), slice(data, 128, 128)}));

    card.stop_answering();
    EXPECT_EQ(write(0xFFFF, 0, data), 0xFFFFu);
    EXPECT_EQ(card.commands().size(), 1u);
}

TEST_F(CardFile, RefusedSelectSendsNothingElse) {
    card.answer(hex("6A 82"));
    EXPECT_EQ(read(0x0015, 0, 10), 0x6A82u);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 A4 00 00 02 00 15")});
    EXPECT_TRUE(untouched_from(0));

    card.answer(hex("69 82"));
    EXPECT_EQ(write(0x0015, 0, hex("01 02")), 0x6982u);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 A4 00 00 02 00 15")});

    // Only 0xFFFF itself skips the SELECT: -1 is sent as FF FF.
    card.answer(hex("6A 82"));
    EXPECT_EQ(read(-1, 0, 10), 0x6A82u);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 A4 00 00 02 FF FF")});
}

TEST_F(CardFile, BadArgumentsSendNothingAndTouchNothing) {
    card.answer(ok());
    const Bytes data = hex("01 02 03");
    const int fd = card.descriptor();
    EXPECT_EQ(api.read_binary(fd, 0x0015, 0, 10, nullptr), 0xFFFFu);
    EXPECT_EQ(api.read_binary(fd, 0x0015, -1, 10, buffer.data()), 0xFFFFu);
    EXPECT_EQ(api.read_binary(fd, 0x0015, 0, 0, buffer.data()), 0xFFFFu);
    EXPECT_EQ(api.read_binary(fd, 0x0015, 0, -5, buffer.data()), 0xFFFFu);
    EXPECT_EQ(api.write_binary(fd, 0x0015, 0, 3, nullptr), 0xFFFFu);
    EXPECT_EQ(api.write_binary(fd, 0x0015, INT32_MIN, 3, data.data()), 0xFFFFu);
    EXPECT_EQ(api.write_binary(fd, 0x0015, 0, 0, data.data()), 0xFFFFu);
    EXPECT_EQ(api.write_binary(fd, 0x0015, 0, -1, data.data()), 0xFFFFu);
    int32_t length = 77;
    EXPECT_EQ(api.reset(fd, nullptr, buffer.data()), 0xFFFFu);
    EXPECT_EQ(api.reset(fd, &length, nullptr), 0xFFFFu);
    api.set_nad(0x12);

    EXPECT_EQ(length, 77);
    EXPECT_TRUE(untouched_from(0));
    EXPECT_TRUE(card.commands().empty());
}

TEST_F(CardFile, ResetIgnoresACardErrorOnItsFirstCommand) {
    card.answer(concat({pattern(6, 0x50), hex("6D 00")}));
    card.answer(ok(pattern(10, 0x3B)));
    int32_t length = -1;
    EXPECT_EQ(api.reset(card.descriptor(), &length, buffer.data()), 0x9000u);
    EXPECT_EQ(card.commands(), (std::vector<Bytes>{hex("00 19 00 00 00"), hex("00 12 00 00 00")}));
    ASSERT_EQ(length, 10);
    EXPECT_EQ(stored(0, 10), pattern(10, 0x3B));

    card.answer(ok());
    card.answer(hex("6E 00"));
    EXPECT_EQ(api.reset(card.descriptor(), &length, buffer.data()), 0x6E00u);
    EXPECT_EQ(length, 0);
}

TEST_F(CardFile, ResetFailsWhenEitherExchangeFails) {
    card.answer(hex("90"));  // one byte: the first exchange fails
    int32_t length = -1;
    EXPECT_EQ(api.reset(card.descriptor(), &length, buffer.data()), 0xFFFFu);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(card.commands(), std::vector<Bytes>{hex("00 19 00 00 00")}) << "no second command";

    // The second answers FF FF with data: a failure too, its data cleared.
    buffer.fill(kUntouched);
    card.answer(ok());
    card.answer(concat({pattern(4, 0x61), hex("FF FF")}));
    length = -1;
    EXPECT_EQ(api.reset(card.descriptor(), &length, buffer.data()), 0xFFFFu);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(card.commands().size(), 2u);

    card.answer(ok());
    card.stop_answering();
    EXPECT_EQ(api.reset(card.descriptor(), &length, buffer.data()), 0xFFFFu);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(card.commands().size(), 2u);
}

}  // namespace
