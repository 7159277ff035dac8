// SPDX-License-Identifier: BSD-3-Clause
// The APDU trace, byte for byte: appended to //tmp/crw//pkcs11.log and
// printed on standard output. /tmp is a private tmpfs in each test, so the
// host's /tmp/crw is never touched.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sandbox.h"
#include "scripted_card.h"
#include "udk_api.h"

using qvk::test::Bytes;
using qvk::test::hex;
using qvk::test::read_file;

namespace {

const std::string kIndent(12, ' ');
constexpr const char *kTraceFile = "/tmp/crw/pkcs11.log";

Bytes counting(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

// "00 01 .. 1F " : the 32 bytes 0 .. 31 as one dump line, without the indent.
const std::string kLine32 =
    "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "
    "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F ";

class TraceFile : public ::testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_PRIVATE_NAMESPACES();
        qvk::test::mount_tmpfs("/tmp");
        private_tmp_ = true;
    }
    // The tests after this one in the same process (and the plug-in, when the
    // build lives under /tmp) see /tmp as it was.
    void TearDown() override {
        if (private_tmp_) umount2("/tmp", MNT_DETACH);
    }
    qvk::test::UdkApi api;
    bool private_tmp_ = false;

    void log(const Bytes &command, int32_t status, const Bytes &response) {
        api.log_to_file(static_cast<uint32_t>(command.size()), command.data(), status,
                        static_cast<uint32_t>(response.size()), response.data());
    }
};

TEST_F(TraceFile, AppendsCommandAndStatus) {
    qvk::test::make_directories("/tmp/crw");
    log(hex("00 A4 00 00 02 3F 00"), 0x9000, {});
    EXPECT_EQ(read_file(kTraceFile), "COMM:\n" + kIndent + "00 A4 00 00 02 3F 00 \nlVal=9000 \n");

    // Opened for appending: a second record follows the first.
    log(hex("00 B0 00 00 02"), 0xFFFF, hex("12 34"));
    EXPECT_EQ(read_file(kTraceFile), "COMM:\n" + kIndent + "00 A4 00 00 02 3F 00 \nlVal=9000 \n" +
                                         "COMM:\n" + kIndent + "00 B0 00 00 02 \nlVal=FFFF \n");
}

TEST_F(TraceFile, DumpLinesHold32Bytes) {
    qvk::test::make_directories("/tmp/crw");
    log({}, 0x6A82, {});
    log(counting(32), 0x6A82, {});
    log(counting(33), 0x6A82, {});
    EXPECT_EQ(read_file(kTraceFile),
              "COMM:\n" + kIndent + "\nlVal=6A82 \n"                                    // 0 bytes
              "COMM:\n" + kIndent + kLine32 + "\n" + kIndent + "\nlVal=6A82 \n"         // 32 bytes
              "COMM:\n" + kIndent + kLine32 + "\n" + kIndent + "20 \nlVal=6A82 \n");    // 33 bytes
}

TEST_F(TraceFile, ResponseOnlyForSuccessWithData) {
    qvk::test::make_directories("/tmp/crw");
    log(hex("00 B0 00 00 21"), 0x9000, counting(33));
    const std::string with_response = "COMM:\n" + kIndent + "00 B0 00 00 21 \nlVal=9000 \n" +
                                      "RESP:\n" + kIndent + kLine32 + "\n" + kIndent + "20 \n";
    EXPECT_EQ(read_file(kTraceFile), with_response);

    log(hex("00 B0 00 00 14"), 0x6A82, counting(20));
    log(hex("00 B0 00 00 00"), 0x9000, {});
    EXPECT_EQ(read_file(kTraceFile), with_response +
                                         "COMM:\n" + kIndent + "00 B0 00 00 14 \nlVal=6A82 \n" +
                                         "COMM:\n" + kIndent + "00 B0 00 00 00 \nlVal=9000 \n");
}

TEST_F(TraceFile, MissingDirectoryDoesNothing) {
    log(hex("00 A4 00 00 02 3F 00"), 0x9000, hex("01"));
    struct stat st{};
    EXPECT_NE(stat("/tmp/crw", &st), 0) << "the trace directory is not created";

    // Null byte pointers dump as empty rather than crash.
    qvk::test::make_directories("/tmp/crw");
    api.log_to_file(4, nullptr, 0x9000, 4, nullptr);
    EXPECT_EQ(read_file(kTraceFile), "COMM:\n" + kIndent + "\nlVal=9000 \n");
}

TEST(TraceOutput, PrintDebugWritesTheSameDumpBetweenMarkers) {
    qvk::test::UdkApi api;
    const Bytes command = hex("80 CA 9F 7F 00");
    const Bytes response = counting(32);

    testing::internal::CaptureStdout();
    api.print_debug(5, command.data(), 0x9000, 32, response.data());
    api.print_debug(5, command.data(), 0x6D00, 32, response.data());
    const std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(printed, "_DEBUG_Start\nCOMM:\n" + kIndent + "80 CA 9F 7F 00 \nlVal=9000 \n" +
                           "RESP:\n" + kIndent + kLine32 + "\n" + kIndent + "\n_DEBUG_End\n" +
                           "_DEBUG_Start\nCOMM:\n" + kIndent + "80 CA 9F 7F 00 \nlVal=6D00 \n" +
                           "_DEBUG_End\n");
}

}  // namespace
