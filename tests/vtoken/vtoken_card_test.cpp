// SPDX-License-Identifier: BSD-3-Clause
// The emulated card on its own, without FUSE: every command, its statuses and
// the per-session selection.
#include <gtest/gtest.h>

#include <numeric>

#include "card.h"
#include "hex_text.h"

using qvk::vtoken::Bytes;
using qvk::vtoken::Card;
using qvk::vtoken::CardSession;
using qvk::vtoken::from_hex;
using qvk::vtoken::to_hex;

namespace {

// The answer to one command, as hex text ("90 00").
std::string answer(CardSession &session, const char *command) {
    return to_hex(session.process(from_hex(command)));
}

Bytes counting(std::size_t size) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes;
}

class CardTest : public ::testing::Test {
protected:
    CardTest() {
        card.add_file(0x0015, 300, counting(300));
        card.add_file(0x0016, 4, from_hex("AA BB"));
    }
    Card card;
    CardSession session{card};
};

TEST_F(CardTest, SelectFindsFilesAndKeepsTheSelectionOnFailure) {
    EXPECT_EQ(answer(session, "00 A4 00 00 02 00 99"), "6A 82");
    EXPECT_FALSE(session.selected());
    EXPECT_EQ(answer(session, "00 A4 00 00 02 00 16"), "90 00");
    EXPECT_EQ(session.selected(), 0x0016);
    EXPECT_EQ(answer(session, "00 A4 00 00 02 00 99"), "6A 82");
    EXPECT_EQ(session.selected(), 0x0016) << "a failed SELECT keeps the file selected before";
    EXPECT_EQ(answer(session, "00 A4 00 00 02 00 15 00"), "90 00") << "Le may follow";
    EXPECT_EQ(session.selected(), 0x0015);

    EXPECT_EQ(answer(session, "00 A4 00 00 01 00"), "67 00");
    EXPECT_EQ(answer(session, "00 A4 00 00 02 00"), "67 00");
    EXPECT_EQ(answer(session, "00 A4 00 00 02 00 16 00 00"), "67 00");
    EXPECT_EQ(answer(session, "00 A4 04 00 02 00 16"), "6A 86");
    EXPECT_EQ(session.selected(), 0x0015);
}

TEST_F(CardTest, ReadBinaryReturnsDataThenEndOfFileThenOffsetOutside) {
    EXPECT_EQ(answer(session, "00 B0 00 00 04"), "69 86") << "no file selected yet";
    ASSERT_EQ(answer(session, "00 A4 00 00 02 00 15"), "90 00");

    EXPECT_EQ(answer(session, "00 B0 00 00 04"), "00 01 02 03 90 00");
    const Bytes second = session.process(from_hex("00 B0 01 00 80"));  // offset 256: 44 left
    ASSERT_EQ(second.size(), 44u + 2);
    EXPECT_EQ(second[0], 0x00);   // byte 256 of the counting pattern
    EXPECT_EQ(second[43], 0x2B);  // byte 299
    EXPECT_EQ(to_hex(Bytes(second.end() - 2, second.end())), "62 82");
    EXPECT_EQ(answer(session, "00 B0 01 2B 01"), "2B 90 00") << "the last byte, exactly";
    EXPECT_EQ(answer(session, "00 B0 01 2C 01"), "6B 00") << "offset equal to the size";
    EXPECT_EQ(answer(session, "00 B0 FF FF 01"), "6B 00");

    // Le 00 asks for 256 bytes.
    EXPECT_EQ(session.process(from_hex("00 B0 00 00 00")).size(), 256u + 2);
    EXPECT_EQ(answer(session, "00 B0 00 00"), "67 00");
    EXPECT_EQ(answer(session, "00 B0 00 00 01 02"), "67 00");

    // Content shorter than the file is padded with zeros.
    ASSERT_EQ(answer(session, "00 A4 00 00 02 00 16"), "90 00");
    EXPECT_EQ(answer(session, "00 B0 00 00 04"), "AA BB 00 00 90 00");
}

TEST_F(CardTest, UpdateBinaryWritesAllOrNothing) {
    EXPECT_EQ(answer(session, "00 D6 00 00 01 55"), "69 86");
    ASSERT_EQ(answer(session, "00 A4 00 00 02 00 16"), "90 00");

    EXPECT_EQ(answer(session, "00 D6 00 01 02 11 22"), "90 00");
    EXPECT_EQ(card.file(0x0016), from_hex("AA 11 22 00"));
    EXPECT_EQ(answer(session, "00 D6 00 03 02 33 44"), "6A 84") << "runs past the end";
    EXPECT_EQ(answer(session, "00 D6 00 04 01 33"), "6B 00") << "starts past the end";
    EXPECT_EQ(card.file(0x0016), from_hex("AA 11 22 00")) << "a refused update writes nothing";

    EXPECT_EQ(answer(session, "00 D6 00 00 02 11"), "67 00") << "Lc larger than the data";
    EXPECT_EQ(answer(session, "00 D6 00 00 01 11 22"), "67 00") << "Lc smaller than the data";
    EXPECT_EQ(answer(session, "00 D6 00 00 00"), "67 00") << "no data";
    EXPECT_EQ(answer(session, "00 D6 00 00"), "67 00");
    EXPECT_EQ(card.file(0x0016), from_hex("AA 11 22 00"));

    // Written data is what the next read returns, also in another session.
    CardSession other(card);
    ASSERT_EQ(answer(other, "00 A4 00 00 02 00 16"), "90 00");
    EXPECT_EQ(answer(other, "00 B0 00 00 04"), "AA 11 22 00 90 00");
}

TEST_F(CardTest, SessionsSelectIndependentlyAndResetClearsTheSelection) {
    CardSession other(card);
    ASSERT_EQ(answer(session, "00 A4 00 00 02 00 15"), "90 00");
    EXPECT_EQ(answer(other, "00 B0 00 00 01"), "69 86");
    ASSERT_EQ(answer(other, "00 A4 00 00 02 00 16"), "90 00");
    EXPECT_EQ(answer(session, "00 B0 00 00 01"), "00 90 00");

    EXPECT_EQ(answer(session, "00 19 00 00 00"), "90 00");
    EXPECT_EQ(answer(session, "00 12 00 00 00"), "90 00");
    EXPECT_EQ(answer(session, "00 12 00 00"), "90 00") << "Le may be left out";
    EXPECT_FALSE(session.selected());
    EXPECT_EQ(answer(session, "00 B0 00 00 01"), "69 86");
    EXPECT_EQ(other.selected(), 0x0016) << "a reset on one session leaves the other alone";
    EXPECT_EQ(answer(session, "00 19 00 00 00 00"), "67 00");
    EXPECT_EQ(answer(session, "00 19 01 00 00"), "6A 86");
}

TEST(CardChallenge, ReturnsLeBytesFromTheRandomSource) {
    std::uint8_t next = 0x10;
    Card card([&next](std::span<std::uint8_t> out) {
        for (auto &byte : out) byte = next++;
    });
    CardSession session(card);
    EXPECT_EQ(answer(session, "00 84 00 00 04"), "10 11 12 13 90 00");
    EXPECT_EQ(answer(session, "00 84 00 00 02"), "14 15 90 00");
    EXPECT_EQ(session.process(from_hex("00 84 00 00 00")).size(), 256u + 2) << "Le 00 is 256";
    EXPECT_EQ(answer(session, "00 84 00 00"), "67 00");
    EXPECT_EQ(answer(session, "00 84 00 01 08"), "6A 86");

    // The real source: eight fresh bytes each time.
    Card system_card;
    CardSession real(system_card);
    const Bytes first = real.process(from_hex("00 84 00 00 08"));
    const Bytes second = real.process(from_hex("00 84 00 00 08"));
    ASSERT_EQ(first.size(), 10u);
    EXPECT_EQ(to_hex(Bytes(first.end() - 2, first.end())), "90 00");
    EXPECT_NE(first, second);
}

TEST(CardErrors, UnknownClassInstructionAndLength) {
    Card card;
    CardSession session(card);
    EXPECT_EQ(answer(session, ""), "67 00");
    EXPECT_EQ(answer(session, "00 A4 00"), "67 00");
    EXPECT_EQ(answer(session, "80 A4 00 00 02 00 15"), "6E 00");
    EXPECT_EQ(answer(session, "FF B0 00 00 01"), "6E 00");
    EXPECT_EQ(answer(session, "00 CA 00 00 00"), "6D 00");
    EXPECT_EQ(answer(session, "00 20 00 00"), "6D 00");
}

TEST(CardFiles, SizeAndContentLimits) {
    Card card;
    EXPECT_THROW(card.add_file(0x0001, 2, from_hex("01 02 03")), std::invalid_argument);
    EXPECT_THROW(card.add_file(0x0001, qvk::vtoken::kMaxFileSize + 1), std::invalid_argument);
    EXPECT_FALSE(card.has_file(0x0001));

    card.add_file(0x0001, qvk::vtoken::kMaxFileSize);
    card.add_file(0x0002, 0);
    CardSession session(card);
    ASSERT_EQ(answer(session, "00 A4 00 00 02 00 01"), "90 00");
    EXPECT_EQ(answer(session, "00 D6 FF FF 01 77"), "90 00") << "the last byte is addressable";
    EXPECT_EQ(answer(session, "00 B0 FF FF 02"), "77 62 82");
    ASSERT_EQ(answer(session, "00 A4 00 00 02 00 02"), "90 00");
    EXPECT_EQ(answer(session, "00 B0 00 00 01"), "6B 00") << "an empty file has no byte 0";

    card.add_file(0x0001, 1, from_hex("42"));  // replaces the earlier file
    EXPECT_EQ(card.file(0x0001), from_hex("42"));
}

}  // namespace
