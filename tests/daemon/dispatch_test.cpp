// SPDX-License-Identifier: BSD-3-Clause
// One request block carried out in-process, without any IPC, against a
// family installed in-process: the path a fuzzer takes.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "allocation_hook.h"
#include "dev_families.h"
#include "key_registry.h"
#include "srv_dispatch.h"

namespace {

// What the in-memory family saw last.
struct Seen {
    std::int32_t capacity = 0;
    std::int32_t command_length = 0;
} seen;

std::uint16_t list_two(std::uint8_t *count, char *list) {
    std::strcpy(list, "/dev/mem0");
    std::memset(list + 128, 'x', 128);  // a slot without a terminator
    *count = 2;
    return 1;
}
std::uint32_t open_five(const char *) { return 5; }
std::uint16_t close_256(std::uint32_t) { return 0x100; }  // closed, but the low byte is 0
std::uint32_t scribble(std::uint32_t, std::int32_t length, const std::uint8_t *, std::int32_t *placed,
                       std::uint8_t *response) {
    seen.capacity = *placed;
    seen.command_length = length;
    std::memset(response, 0xAB, 300);  // more than it reports
    *placed = 10;
    return 0x6283;
}
std::uint32_t claim_fifty(std::uint32_t, std::int32_t, const std::uint8_t *, std::int32_t *placed,
                          std::uint8_t *) {
    *placed = 50;  // and writes nothing
    return 0x9000;
}

std::uint32_t u32(const srv_block &block, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, block.data() + offset, 4);
    return value;
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        unload_dev_families();  // left by an earlier case of this process
        key_registry_reset();
        key_handle_seed(5);  // the daemon's first handle: here the same number as the family's
        ASSERT_TRUE(install_dev_family(DEV_FAMILY_HID, {list_two, open_five, close_256, scribble}));
        EXPECT_FALSE(install_dev_family(4, {}));
        response.fill(0x77);
    }

    // Carries the request out and counts the allocations it made.
    bool dispatch(std::initializer_list<std::pair<std::size_t, std::uint32_t>> words,
                  std::uint8_t command, long expected_allocations = 0) {
        request.fill(0);
        request[0] = command;
        for (const auto &[offset, value] : words) std::memcpy(request.data() + offset, &value, 4);
        const long before = qvk::test::allocation_count();
        const bool answered = srv_dispatch_request(request, response);
        EXPECT_EQ(qvk::test::allocation_count() - before, expected_allocations);
        return answered;
    }

    bool zero_from(std::size_t offset) const {
        return std::all_of(response.begin() + static_cast<long>(offset), response.end(),
                           [](std::uint8_t b) { return b == 0; });
    }

    srv_block request{};
    srv_block response{};
};

TEST_F(Dispatch, CarriesEachCommandOutWithoutIpc) {
    ASSERT_TRUE(dispatch({}, CMD_ENUM_DEV_PATH));
    EXPECT_EQ(u32(response, 4), 5u + 2 * 128);
    EXPECT_EQ(u32(response, 8), 1u);
    EXPECT_EQ(response[12], 2);
    EXPECT_STREQ(reinterpret_cast<const char *>(response.data() + 13), "/dev/mem0");
    // The unterminated slot is cut to 127 characters.
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(response.data() + 13 + 128)), std::string(127, 'x'));
    EXPECT_TRUE(zero_from(8 + 5 + 2 * 128));

    std::memcpy(request.data(), "\x0b\0\0\0\0\0\0\0/dev/mem0", 18);
    EXPECT_TRUE(srv_dispatch_request(request, response));  // (allocates the record and node)
    EXPECT_EQ(u32(response, 8), 5u);
    EXPECT_EQ(u32(response, 4), 4u);

    ASSERT_TRUE(dispatch({{8, 5}, {12, 3}, {19, 200}}, CMD_ICC_TSI_API));
    EXPECT_EQ(seen.capacity, 200);
    EXPECT_EQ(seen.command_length, 3);
    EXPECT_EQ(u32(response, 4), 14u);
    EXPECT_EQ(response[8], 0xAB);
    EXPECT_EQ(u32(response, 18), 0x6283u);
    EXPECT_TRUE(zero_from(22));  // nothing the family wrote past its count

    ASSERT_TRUE(dispatch({{8, 5}}, CMD_CLOSE_DEV));
    EXPECT_EQ(u32(response, 4), 1u);
    EXPECT_EQ(response[0], CMD_CLOSE_DEV);
    EXPECT_TRUE(zero_from(8));  // low byte of 0x100

    EXPECT_FALSE(dispatch({}, 14));
    EXPECT_FALSE(dispatch({}, 0));
    request.fill(0xFF);
    request[0] = CMD_ICC_TSI_API;
    EXPECT_TRUE(srv_dispatch_request(request, response));  // n = 0xFFFFFFFF: refused
    EXPECT_EQ(u32(response, 4), 4u);
    EXPECT_EQ(u32(response, 8), 0xFFFFu);
}

// Whatever a family wrote into the payload buffer beyond what it reported
// is an earlier requester's data: it must never show in a later answer.
TEST_F(Dispatch, NothingAFamilyLeftInThePayloadReachesALaterAnswer) {
    ASSERT_TRUE(dispatch({}, CMD_ENUM_DEV_PATH));
    std::memcpy(request.data(), "\x0b\0\0\0\0\0\0\0/dev/mem0", 18);
    ASSERT_TRUE(srv_dispatch_request(request, response));
    ASSERT_EQ(u32(response, 8), 5u);

    // 300 bytes written, 10 reported, 16 offered.
    ASSERT_TRUE(dispatch({{8, 5}, {12, 0}, {16, 16}}, CMD_ICC_TSI_API));
    ASSERT_EQ(u32(response, 4), 14u);

    // A handle that is not open: the capacity in zero bytes, then the status.
    ASSERT_TRUE(dispatch({{8, 6}, {12, 0}, {16, 400}}, CMD_ICC_TSI_API));
    EXPECT_EQ(u32(response, 4), 404u);
    EXPECT_TRUE(std::all_of(response.begin() + 8, response.begin() + 408, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(u32(response, 408), QVK_STATUS_NOT_OPEN);

    // A family that reports more than it wrote: the rest reads as zero.
    ASSERT_TRUE(dispatch({{8, 5}, {12, 0}, {16, 16}}, CMD_ICC_TSI_API));
    ASSERT_TRUE(install_dev_family(DEV_FAMILY_HID, {list_two, open_five, close_256, claim_fifty}));
    ASSERT_TRUE(dispatch({{8, 5}, {12, 0}, {16, 16}}, CMD_ICC_TSI_API));
    EXPECT_EQ(u32(response, 4), 54u);
    EXPECT_TRUE(std::all_of(response.begin() + 8, response.begin() + 58, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(u32(response, 58), 0x9000u);
}

TEST_F(Dispatch, OpeningAllocatesOnlyTheRecordAndItsNode) {
    ASSERT_TRUE(dispatch({}, CMD_ENUM_DEV_PATH));
    std::memcpy(request.data() + 8, "/dev/mem0", 10);
    request[0] = CMD_OPEN_DEV;
    const long before = qvk::test::allocation_count();
    ASSERT_TRUE(srv_dispatch_request(request, response));
    EXPECT_EQ(qvk::test::allocation_count() - before, 2);
    EXPECT_EQ(u32(response, 8), 5u);
}

}  // namespace
