// SPDX-License-Identifier: BSD-3-Clause
// Requests as the daemon reads them, and every check on its answers, without
// any IPC: answers are built byte by byte here.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec.h"
#include "requester_helpers.h"
#include "scripted_card.h"

using qvk::client::Request;
using qvk::client::ResponseCopy;
using qvk::test::Bytes;
using qvk::test::hex;
using qvk::test::le32;
using qvk::test::operator+;

namespace {

// A response block: echoed command, three padding bytes, L, payload, zeros.
std::array<std::uint8_t, SHM_BLOCK_SIZE> block(std::uint8_t command, const Bytes &payload,
                                               std::uint32_t length_field) {
    std::array<std::uint8_t, SHM_BLOCK_SIZE> bytes{};
    bytes[0] = command;
    std::memcpy(&bytes[RESP_LENGTH_OFFSET], &length_field, 4);
    std::copy_n(payload.begin(), std::min<std::size_t>(payload.size(), RESP_PAYLOAD_SIZE),
                bytes.begin() + RESP_PAYLOAD_OFFSET);
    return bytes;
}

ResponseCopy copied(std::uint8_t command, const Bytes &payload, qvk_result expect = QVK_OK) {
    const auto bytes = block(command, payload, static_cast<std::uint32_t>(payload.size()));
    ResponseCopy response;
    EXPECT_EQ(response.copy_from(bytes.data()), expect);
    return response;
}

Bytes enumeration(const std::vector<std::string> &paths) {
    Bytes payload = le32(paths.empty() ? 0 : 1);
    payload.push_back(static_cast<std::uint8_t>(paths.size()));
    for (const auto &path : paths) {
        Bytes slot(DEV_PATH_SLOT_SIZE, 0);
        std::memcpy(slot.data(), path.data(), path.size());
        payload = payload + slot;
    }
    return payload;
}

Bytes request_bytes(const Request &request) { return Bytes(request.view().begin(), request.view().end()); }

}  // namespace

TEST(RequestEncoding, WritesExactlyWhatTheDaemonReads) {
    Request request;
    // The transmit of the worked example: handle 5, 00 84 00 00 08, room for 256.
    const Bytes apdu = hex("00 84 00 00 08");
    ASSERT_EQ(qvk::client::encode_transmit(request, 5, apdu, 256), QVK_OK);
    EXPECT_EQ(request_bytes(request), hex("0D 00 00 00 00 00 00 00  05 00 00 00  05 00 00 00  00 84 00 00 08"
                                          "  00 01 00 00  00 00 00 00"));

    qvk::client::encode_enumerate(request);
    EXPECT_EQ(request_bytes(request), hex("0A 00 00 00 00 00 00 00"));

    qvk::client::encode_close(request, 0x01020304);
    // The option word asks the daemon to tell a handle it does not hold.
    EXPECT_EQ(request_bytes(request), hex("0C 00 00 00 01 00 4B 51 04 03 02 01"));

    ASSERT_EQ(qvk::client::encode_open(request, "/dev/QVUsbKey3"), QVK_OK);
    const std::string path = "/dev/QVUsbKey3";
    EXPECT_EQ(request_bytes(request), hex("0B 00 00 00 00 00 00 00") + Bytes(path.begin(), path.end()) + Bytes{0});

    // The largest transmit: 512 bytes, capacity and reserved at 528 and 532.
    const Bytes largest(CMD_BUF_SIZE, 0x5A);
    ASSERT_EQ(qvk::client::encode_transmit(request, 9, largest, RESP_MAX_DATA), QVK_OK);
    ASSERT_EQ(request.size, 536u);
    EXPECT_EQ(qvk::client::load_u32(request.view(), 528), 8188u);
    EXPECT_EQ(qvk::client::load_u32(request.view(), 532), 0u);
}

TEST(RequestEncoding, RefusesArgumentsTheProtocolCannotCarry) {
    Request request;
    const Bytes too_long(CMD_BUF_SIZE + 1, 0);
    EXPECT_EQ(qvk::client::encode_transmit(request, 1, too_long, 16), QVK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(qvk::client::encode_transmit(request, 1, hex("00"), RESP_MAX_DATA + 1), QVK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(qvk::client::encode_open(request, nullptr), QVK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(qvk::client::encode_open(request, ""), QVK_ERR_INVALID_ARGUMENT);
    const std::string longest(127, 'p');
    const std::string over(128, 'p');
    EXPECT_EQ(qvk::client::encode_open(request, longest.c_str()), QVK_OK);
    EXPECT_EQ(request.size, 8u + 128u);
    EXPECT_EQ(qvk::client::encode_open(request, over.c_str()), QVK_ERR_INVALID_ARGUMENT);
}

TEST(ResponseCopy, RejectsAPayloadLengthBeyondTheBlock) {
    ResponseCopy response;
    for (const std::uint32_t length : {8193u, 0x10000u, 0xFFFFFFFFu, 0x80000000u}) {
        const auto bytes = block(CMD_ICC_TSI_API, {}, length);
        EXPECT_EQ(response.copy_from(bytes.data()), QVK_ERR_MALFORMED_RESPONSE) << length;
        EXPECT_TRUE(response.payload().empty());
    }
    const auto full = block(CMD_ICC_TSI_API, Bytes(RESP_PAYLOAD_SIZE, 7), RESP_PAYLOAD_SIZE);
    ASSERT_EQ(response.copy_from(full.data()), QVK_OK);
    EXPECT_EQ(response.payload().size(), 8192u);
}

TEST(EnumerationAnswer, AcceptsZeroToThirtyTwoDevicesAndNothingInconsistent) {
    qvk_device_list devices;
    ASSERT_EQ(qvk::client::decode_enumerate(copied(CMD_ENUM_DEV_PATH, hex("00 00 00 00 00")), devices), QVK_OK);
    EXPECT_EQ(devices.count, 0u);

    std::vector<std::string> paths;
    for (int i = 0; i < 32; ++i) paths.push_back("/dev/QVUsbKey" + std::to_string(i));
    paths[31] = std::string(127, 'x');  // the longest path fills its slot but for the terminator
    const Bytes full = enumeration(paths);
    ASSERT_EQ(full.size(), 4101u);
    ASSERT_EQ(qvk::client::decode_enumerate(copied(CMD_ENUM_DEV_PATH, full), devices), QVK_OK);
    ASSERT_EQ(devices.count, 32u);
    EXPECT_STREQ(devices.paths[0], "/dev/QVUsbKey0");
    EXPECT_EQ(devices.paths[31], paths[31]);

    // Malformed, each differently.
    Bytes count_33 = enumeration(paths) + Bytes(DEV_PATH_SLOT_SIZE, 0);
    count_33[4] = 33;
    Bytes count_over_length = enumeration({"/dev/a"});
    count_over_length[4] = 2;
    Bytes result_without_devices = enumeration({});
    result_without_devices[0] = 1;
    Bytes result_zero_with_device = enumeration({"/dev/a"});
    result_zero_with_device[0] = 0;
    Bytes unterminated = enumeration({"/dev/a"});
    std::memset(&unterminated[5], 'a', DEV_PATH_SLOT_SIZE);
    Bytes one_short = enumeration({"/dev/a"});
    one_short.pop_back();
    Bytes garbage_after_path = enumeration({"/dev/a"});
    garbage_after_path[5 + 100] = 'z';
    const std::vector<std::pair<const char *, Bytes>> malformed = {
        {"count 33", count_33},
        {"count beyond length", count_over_length},
        {"one byte short", one_short},
        {"one byte over", enumeration({"/dev/a"}) + Bytes{0}},
        {"no count", hex("00 00 00 00")},
        {"result 1 with no device", result_without_devices},
        {"result 0 with a device", result_zero_with_device},
        {"path without terminator", unterminated},
        {"garbage after a path", garbage_after_path},
    };
    for (const auto &[name, payload] : malformed) {
        devices.count = 99;
        EXPECT_EQ(qvk::client::decode_enumerate(copied(CMD_ENUM_DEV_PATH, payload), devices),
                  QVK_ERR_MALFORMED_RESPONSE)
            << name;
        EXPECT_EQ(devices.count, 0u) << name;
    }
}

TEST(Answers, MustEchoTheirCommandWithZeroPadding) {
    qvk_device_list devices;
    std::uint32_t handle = 0;
    EXPECT_EQ(qvk::client::decode_enumerate(copied(CMD_OPEN_DEV, hex("00 00 00 00 00")), devices),
              QVK_ERR_MALFORMED_RESPONSE);
    EXPECT_EQ(qvk::client::decode_open(copied(CMD_ICC_TSI_API, hex("07 00 00 00")), handle),
              QVK_ERR_MALFORMED_RESPONSE);
    EXPECT_EQ(qvk::client::decode_close(copied(CMD_OPEN_DEV, hex("01"))), QVK_ERR_MALFORMED_RESPONSE);

    auto bytes = block(CMD_CLOSE_DEV, hex("01"), 1);
    bytes[2] = 0x40;  // padding not zero: not an answer the daemon wrote
    ResponseCopy response;
    ASSERT_EQ(response.copy_from(bytes.data()), QVK_OK);
    EXPECT_EQ(qvk::client::decode_close(response), QVK_ERR_MALFORMED_RESPONSE);
}

TEST(OpenAndCloseAnswers, HaveExactLengthsAndTypedResults) {
    std::uint32_t handle = 0;
    EXPECT_EQ(qvk::client::decode_open(copied(CMD_OPEN_DEV, hex("07 00 00 00")), handle), QVK_OK);
    EXPECT_EQ(handle, 7u);
    EXPECT_EQ(qvk::client::decode_open(copied(CMD_OPEN_DEV, hex("00 00 00 00")), handle), QVK_ERR_NOT_OPENED);
    EXPECT_EQ(qvk::client::decode_open(copied(CMD_OPEN_DEV, hex("FF FF FF FF")), handle), QVK_ERR_NOT_OPENED);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(qvk::client::decode_open(copied(CMD_OPEN_DEV, hex("07 00 00")), handle), QVK_ERR_MALFORMED_RESPONSE);
    EXPECT_EQ(qvk::client::decode_open(copied(CMD_OPEN_DEV, hex("07 00 00 00 00")), handle),
              QVK_ERR_MALFORMED_RESPONSE);

    EXPECT_EQ(qvk::client::decode_close(copied(CMD_CLOSE_DEV, hex("01"))), QVK_OK);
    EXPECT_EQ(qvk::client::decode_close(copied(CMD_CLOSE_DEV, hex("00"))), QVK_ERR_CLOSE_REFUSED);
    EXPECT_EQ(qvk::client::decode_close(copied(CMD_CLOSE_DEV, {})), QVK_ERR_HANDLE_NOT_OPEN);
    EXPECT_EQ(qvk::client::decode_close(copied(CMD_CLOSE_DEV, hex("01 00"))), QVK_ERR_MALFORMED_RESPONSE);
}

TEST(TransmitAnswer, SplitsDataAndStatusWithinTheOfferedRoom) {
    std::array<std::uint8_t, RESP_MAX_DATA> data;
    data.fill(0xEE);
    std::size_t length = 99;
    std::uint32_t status = 0;
    // The worked example's answer: 8 data bytes and 90 00, with room for 256.
    const Bytes example = hex("01 02 03 04 05 06 07 08  00 90 00 00");
    ASSERT_EQ(qvk::client::decode_transmit(copied(CMD_ICC_TSI_API, example), 256, data, length, status), QVK_OK);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(status, 0x9000u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 8), hex("01 02 03 04 05 06 07 08"));
    EXPECT_EQ(data[8], 0xEE);

    // Status only; answer data filling the offered room exactly; the largest room.
    EXPECT_EQ(qvk::client::decode_transmit(copied(CMD_ICC_TSI_API, hex("82 6A 00 00")), 0, data, length, status), QVK_OK);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(status, 0x6A82u);
    EXPECT_EQ(qvk::client::decode_transmit(copied(CMD_ICC_TSI_API, Bytes(8188, 1) + le32(0x9000)), 8188, data, length, status),
              QVK_OK);
    EXPECT_EQ(length, 8188u);

    // More data than offered (a family that does not know the room): the room
    // is filled, nothing past it is written, and the caller learns it was cut.
    data.fill(0xEE);
    status = 0;
    EXPECT_EQ(qvk::client::decode_transmit(copied(CMD_ICC_TSI_API, Bytes(17, 1) + le32(0x9000)), 16, data, length, status),
              QVK_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(status, 0x9000u);
    EXPECT_EQ(data[15], 1);
    EXPECT_EQ(data[16], 0xEE);
    // An unopened handle's zero bytes are exactly the room offered.
    EXPECT_EQ(qvk::client::decode_transmit(copied(CMD_ICC_TSI_API, Bytes(8, 0) + le32(0xFFFFFFFF)), 16, data, length, status),
              QVK_ERR_MALFORMED_RESPONSE);
    // No room for the status: malformed, nothing copied.
    data.fill(0xEE);
    for (const Bytes &short_payload : {Bytes{}, hex("00"), hex("00 90 00")})
        EXPECT_EQ(qvk::client::decode_transmit(copied(CMD_ICC_TSI_API, short_payload), 16, data, length, status),
                  QVK_ERR_MALFORMED_RESPONSE);

    // A handle the daemon has not opened: capacity zero bytes, then FF FF FF FF.
    EXPECT_EQ(qvk::client::decode_transmit(copied(CMD_ICC_TSI_API, Bytes(16, 0) + le32(0xFFFFFFFF)), 16, data, length, status),
              QVK_ERR_HANDLE_NOT_OPEN);
    EXPECT_EQ(status, 0xFFFFFFFFu);
    EXPECT_EQ(length, 0u);
    // The token did not answer.
    EXPECT_EQ(qvk::client::decode_transmit(copied(CMD_ICC_TSI_API, le32(0xFFFF)), 16, data, length, status),
              QVK_ERR_NO_ANSWER);
    EXPECT_EQ(status, 0xFFFFu);
}

TEST(ResultText, EveryResultHasItsOwnPlainWords) {
    std::set<std::string> texts;
    for (int code = QVK_OK; code <= QVK_ERR_EXCLUSIVE_LOST; ++code) {
        const char *text = qvk_result_text(static_cast<qvk_result>(code));
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 5u) << code;
        EXPECT_TRUE(texts.insert(text).second) << "text shared by code " << code;
    }
    EXPECT_NE(std::string(qvk_result_text(QVK_ERR_NOT_RUNNING)).find("qvkserver is not running"), std::string::npos);
    EXPECT_STREQ(qvk_result_text(static_cast<qvk_result>(999)), "unknown result code");
}
