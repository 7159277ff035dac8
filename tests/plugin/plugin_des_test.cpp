// SPDX-License-Identifier: BSD-3-Clause
// The DES toolkit: published known answers for the bit-per-byte cipher and
// the byte-string functions, completion of the last block, refused calls,
// the MAC, and the packed form (behind SingleDES, TripleDES and DESmac)
// against the bit-per-byte form on random keys and data.
#include <array>
#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_card.h"
#include "udk_api.h"

using qvk::test::Bytes;
using qvk::test::hex;

namespace {

constexpr uint8_t kUntouched = 0xAA;

struct KnownAnswer {
    const char *key;
    const char *plain;
    const char *cipher;
};

// The worked example of the DES literature (Stinson; "DES Algorithm
// Illustrated"), NIST SP 800-17 variable plaintext (key 01..01) and
// variable key (plaintext 0) samples, and FIPS 81's ECB example.
constexpr KnownAnswer kKnownAnswers[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"0101010101010180", "0000000000000000", "9CC62DF43B6EED74"},
    {"0101010101010102", "0000000000000000", "869EFD7F9F265A09"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0123456789ABCDEF", "68652074696D6520", "6A271787AB8883F9"},
    {"0123456789ABCDEF", "666F7220616C6C20", "893D51EC4B563B53"},
};

using Schedule = std::array<uint8_t, 768>;

class Des : public ::testing::Test {
protected:
    qvk::test::UdkApi api;

    Schedule schedule(const Bytes &key) {
        Schedule s;
        api.des_subkey(s.data(), key.data());
        return s;
    }
    // Bit-per-byte ECB over whole blocks, the reference for the packed form.
    Bytes bit_form(bool encrypt, const Bytes &key, const Bytes &data) {
        const Schedule s = schedule(key);
        Bytes out(data.size());
        for (std::size_t at = 0; at < data.size(); at += 8)
            (encrypt ? api.des_encrypt : api.des_decrypt)(s.data(), out.data() + at, data.data() + at);
        return out;
    }
    Bytes bit_form_mac(const Schedule &s, const Bytes &data) {
        Bytes chain(8, 0);
        for (std::size_t at = 0; at < data.size(); at += 8) {
            for (std::size_t i = 0; i < 8 && at + i < data.size(); ++i) chain[i] ^= data[at + i];
            api.des_encrypt(s.data(), chain.data(), chain.data());
        }
        return chain;
    }
    // Runs SingleDES or TripleDES on a copy of the input with room to spare;
    // returns {result, output} and leaves the completed input in `input`.
    int run(decltype(&SingleDES) cipher, uint8_t mode, const Bytes &key, Bytes &input,
            std::size_t length, Bytes &output) {
        input.resize(length + 16, kUntouched);
        output.assign(length + 16, kUntouched);
        return cipher(mode, key.data(), static_cast<int>(length), input.data(), output.data());
    }
};

TEST_F(Des, BlockCipherReproducesPublishedAnswersBothWays) {
    for (const KnownAnswer &answer : kKnownAnswers) {
        SCOPED_TRACE(answer.key + std::string(" ") + answer.plain);
        const Bytes key = hex(answer.key), plain = hex(answer.plain), cipher = hex(answer.cipher);
        const Schedule s = schedule(key);
        Bytes block(8);
        api.des_encrypt(s.data(), block.data(), plain.data());
        EXPECT_EQ(block, cipher);
        api.des_decrypt(s.data(), block.data(), block.data());  // in place
        EXPECT_EQ(block, plain);

        // The byte-string functions on one block (no completion at length 8).
        Bytes input = plain, output;
        EXPECT_EQ(run(api.single_des, 1, key, input, 8, output), 8);
        EXPECT_EQ(Bytes(output.begin(), output.begin() + 8), cipher);
        input = cipher;
        EXPECT_EQ(run(api.single_des, 2, key, input, 8, output), 8);
        EXPECT_EQ(Bytes(output.begin(), output.begin() + 8), plain);
        Bytes twice = key;
        twice.insert(twice.end(), key.begin(), key.end());
        input = plain;
        EXPECT_EQ(run(api.triple_des, 1, twice, input, 8, output), 8);
        EXPECT_EQ(Bytes(output.begin(), output.begin() + 8), cipher);
    }
}

TEST_F(Des, SingleDesOverTheFips81Message) {
    const Bytes key = hex("0123456789ABCDEF");
    Bytes message(reinterpret_cast<const uint8_t *>("Now is the time for all "),
                  reinterpret_cast<const uint8_t *>("Now is the time for all ") + 24);
    const Bytes original = message;
    Bytes output(24);
    EXPECT_EQ(api.single_des(1, key.data(), 24, message.data(), output.data()), 24);
    EXPECT_EQ(output, hex("3FA40E8A984D4815 6A271787AB8883F9 893D51EC4B563B53"));
    EXPECT_EQ(message, original) << "a whole last block is not completed";

    // In place: the output may be the input.
    EXPECT_EQ(api.single_des(2, key.data(), 24, output.data(), output.data()), 24);
    EXPECT_EQ(output, original);
}

TEST_F(Des, BitVectorAndPowerOfTwo) {
    std::array<uint8_t, 64> bits;
    bits.fill(kUntouched);
    const Bytes data = hex("80 01 A5 00 FF 7E 02 40");
    api.byte8_bit64(bits.data(), data.data());
    for (std::size_t i = 0; i < 8; ++i)
        for (std::size_t k = 0; k < 8; ++k)
            ASSERT_EQ(bits[8 * i + k], (data[i] >> (7 - k)) & 1) << "byte " << i << " bit " << k;

    const uint8_t expected[8] = {1, 2, 4, 8, 16, 32, 64, 128};
    for (uint8_t n = 0; n < 8; ++n) EXPECT_EQ(api.power_of_two(n), expected[n]);
    EXPECT_EQ(api.power_of_two(8), 0);
    EXPECT_EQ(api.power_of_two(9), 0);
    EXPECT_EQ(api.power_of_two(255), 0);
}

TEST_F(Des, LastBlockIsCompletedInTheInput) {
    const Bytes key = hex("133457799BBCDFF1");

    Bytes input = hex("01 02 03 04 05"), output;
    EXPECT_EQ(run(api.single_des, 1, key, input, 5, output), 8);
    EXPECT_EQ(Bytes(input.begin(), input.begin() + 9), hex("01 02 03 04 05 80 00 00 AA"));
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 8),
              bit_form(true, key, hex("01 02 03 04 05 80 00 00")));
    EXPECT_EQ(output[8], kUntouched);

    // Decryption completes a short last block the same way and keeps it.
    input = hex("01 02 03 04 05 06 07 08 09");
    EXPECT_EQ(run(api.single_des, 2, key, input, 9, output), 16);
    EXPECT_EQ(Bytes(input.begin(), input.begin() + 17),
              hex("01 02 03 04 05 06 07 08 09 80 00 00 00 00 00 00 AA"));
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 16),
              bit_form(false, key, Bytes(input.begin(), input.begin() + 16)));
    EXPECT_EQ(output[16], kUntouched);

    const Bytes sixteen = hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    input = sixteen;
    EXPECT_EQ(run(api.single_des, 1, key, input, 16, output), 16);
    EXPECT_EQ(Bytes(input.begin(), input.begin() + 16), sixteen);
    EXPECT_EQ(input[16], kUntouched);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 16), bit_form(true, key, sixteen));

    input.clear();
    EXPECT_EQ(run(api.single_des, 1, key, input, 0, output), 8);
    EXPECT_EQ(Bytes(input.begin(), input.begin() + 9), hex("80 00 00 00 00 00 00 00 AA"));
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 8),
              bit_form(true, key, hex("80 00 00 00 00 00 00 00")));
}

TEST_F(Des, RefusedCallsWriteNothing) {
    const Bytes key = hex("0123456789ABCDEF FEDCBA9876543210");
    Bytes input(32, 0x11), output(32, kUntouched);
    const Bytes input_before = input, output_before = output;
    for (auto cipher : {api.single_des, api.triple_des}) {
        for (uint8_t mode : {0, 3, 255})
            EXPECT_EQ(cipher(mode, key.data(), 5, input.data(), output.data()), 0) << int(mode);
        EXPECT_EQ(cipher(1, nullptr, 5, input.data(), output.data()), 0);
        EXPECT_EQ(cipher(1, key.data(), 5, nullptr, output.data()), 0);
        EXPECT_EQ(cipher(2, key.data(), 5, input.data(), nullptr), 0);
        EXPECT_EQ(cipher(1, key.data(), -1, input.data(), output.data()), 0);
        EXPECT_EQ(cipher(2, key.data(), INT_MIN, input.data(), output.data()), 0);
        // A completed length that would not fit the result is refused before
        // anything is touched.
        EXPECT_EQ(cipher(1, key.data(), INT_MAX, input.data(), output.data()), 0);
        EXPECT_EQ(cipher(1, key.data(), INT_MAX - 6, input.data(), output.data()), 0);
    }
    EXPECT_EQ(input, input_before);
    EXPECT_EQ(output, output_before);
}

TEST_F(Des, TripleDesIsEncryptDecryptEncrypt) {
    const Bytes k1 = hex("0123456789ABCDEF"), k2 = hex("23456789ABCDEF01");
    Bytes key = k1;
    key.insert(key.end(), k2.begin(), k2.end());

    Bytes input = hex("4E 6F 77 20 69"), output;
    EXPECT_EQ(run(api.triple_des, 1, key, input, 5, output), 8);
    const Bytes completed = hex("4E 6F 77 20 69 80 00 00");
    const Bytes middle = bit_form(false, k2, bit_form(true, k1, completed));
    const Bytes cipher = bit_form(true, k1, middle);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 8), cipher);
    EXPECT_EQ(output[8], kUntouched);
    EXPECT_EQ(Bytes(input.begin(), input.begin() + 8), middle) << "input holds the middle pass";
    EXPECT_EQ(input[8], kUntouched);

    input = cipher;
    EXPECT_EQ(run(api.triple_des, 2, key, input, 8, output), 8);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 8), completed);
    EXPECT_EQ(Bytes(input.begin(), input.begin() + 8), bit_form(true, k2, bit_form(false, k1, cipher)));

    // With K1 = K2 it is single DES.
    Bytes same = k1;
    same.insert(same.end(), k1.begin(), k1.end());
    const Bytes data = hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 01 23 45 67 89 AB CD EF");
    for (uint8_t mode : {1, 2}) {
        Bytes triple_in = data, single_in = data, triple_out, single_out;
        EXPECT_EQ(run(api.triple_des, mode, same, triple_in, 24, triple_out), 24);
        EXPECT_EQ(run(api.single_des, mode, k1, single_in, 24, single_out), 24);
        EXPECT_EQ(triple_out, single_out) << int(mode);
    }
}

TEST_F(Des, MacChainsBlocksFromAZeroStart) {
    const Schedule s = schedule(hex("0123456789ABCDEF"));
    const Bytes data = hex("4E 6F 77 20 69 73 20 74 68 65 20 74");
    std::array<uint8_t, 9> mac;

    mac.fill(kUntouched);
    api.des_mac(s.data(), 0, data.data(), mac.data());
    EXPECT_EQ(Bytes(mac.begin(), mac.begin() + 8), Bytes(8, 0));
    EXPECT_EQ(mac[8], kUntouched);

    // Nine bytes: E(K, d0..d7), then the ninth byte XORed into byte 0, then E again.
    mac.fill(kUntouched);
    api.des_mac(s.data(), 9, data.data(), mac.data());
    Bytes expected = hex("3FA40E8A984D4815");  // FIPS 81: E(K, "Now is t")
    expected[0] ^= 0x68;
    api.des_encrypt(s.data(), expected.data(), expected.data());
    EXPECT_EQ(Bytes(mac.begin(), mac.begin() + 8), expected);
    EXPECT_EQ(mac[8], kUntouched);

    // A whole number of blocks adds no block.
    api.des_mac(s.data(), 8, data.data(), mac.data());
    EXPECT_EQ(Bytes(mac.begin(), mac.begin() + 8), hex("3FA40E8A984D4815"));
}

TEST_F(Des, ScheduleBytesCountOnlyByTheirLowBit) {
    // A schedule holding other values than 0 and 1 must not send the S-box
    // lookup out of its table; it acts as its low bits.
    const Bytes key = hex("133457799BBCDFF1");
    Schedule noisy = schedule(key);
    for (std::size_t i = 0; i < noisy.size(); ++i) noisy[i] = static_cast<uint8_t>(noisy[i] | (i * 37 & 0xFE));
    Bytes block(8);
    api.des_encrypt(noisy.data(), block.data(), hex("0123456789ABCDEF").data());
    EXPECT_EQ(block, hex("85E813540F0AB405"));
    api.des_decrypt(noisy.data(), block.data(), block.data());
    EXPECT_EQ(block, hex("0123456789ABCDEF"));
    api.des_mac(noisy.data(), 8, hex("0123456789ABCDEF").data(), block.data());
    EXPECT_EQ(block, hex("85E813540F0AB405"));
}

TEST_F(Des, PackedFormMatchesTheBitFormOnRandomInput) {
    std::mt19937 random(20240611);
    auto bytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto &x : b) x = static_cast<uint8_t>(random());
        return b;
    };
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(trial);
        const Bytes key = bytes(16);
        const Bytes k1(key.begin(), key.begin() + 8), k2(key.begin() + 8, key.end());
        const std::size_t blocks = 1 + trial % 6;
        const Bytes data = bytes(8 * blocks);

        for (uint8_t mode : {1, 2}) {
            const bool encrypt = mode == 1;
            Bytes input = data, output;
            ASSERT_EQ(run(api.single_des, mode, k1, input, data.size(), output),
                      static_cast<int>(data.size()));
            EXPECT_EQ(Bytes(output.begin(), output.begin() + static_cast<long>(data.size())),
                      bit_form(encrypt, k1, data));

            Bytes triple_input = data;
            ASSERT_EQ(run(api.triple_des, mode, key, triple_input, data.size(), output),
                      static_cast<int>(data.size()));
            EXPECT_EQ(Bytes(output.begin(), output.begin() + static_cast<long>(data.size())),
                      bit_form(encrypt, k1, bit_form(!encrypt, k2, bit_form(encrypt, k1, data))));
        }

        const std::size_t mac_length = random() % 41;
        const Bytes message = bytes(mac_length);
        const Schedule s = schedule(k1);
        Bytes mac(8);
        api.des_mac(s.data(), static_cast<uint16_t>(mac_length), message.data(), mac.data());
        EXPECT_EQ(mac, bit_form_mac(s, message)) << "length " << mac_length;
    }
}

}  // namespace
