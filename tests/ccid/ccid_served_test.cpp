// SPDX-License-Identifier: BSD-3-Clause
// Both families served by the built qvkserver: the kernel-driver family
// reaches the virtual token through /dev/QVUsbKey0, the ccid family reaches
// the same token as the card in vpcd's first reader through a real pcscd.
// The plug-ins are found in the daemon's working directory.
#include <gtest/gtest.h>
#include <winscard.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "daemon_test.h"
#include "pcsc_fixture.h"
#include "qvkclient.h"
#include "qvkctl_run.h"
#include "vtoken_fixture.h"

using namespace qvk::test;
using namespace std::chrono_literals;

namespace {

class ServedBothFamilies : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped()) return;
        QVK_REQUIRE_VIRTUAL_TOKEN();
        QVK_REQUIRE_PCSC();
        enter_private_network();
        token = std::make_unique<VirtualToken>(VirtualTokenSetup()
                                                   .with_nodes({0})
                                                   .with_files({"0015:12=text:hello reader"})
                                                   .with_vpcd(kVpcdPort));
        pcscd = std::make_unique<PcscDaemon>();
        std::filesystem::copy_file(QVK_UDK_PLUGIN_PATH, work / "libqvkmgrudk.so");
        std::filesystem::copy_file(QVK_CCID_PLUGIN_PATH, work / "libqvkmgrccid.so");
        DaemonProcess &started = start();
        ASSERT_TRUE(started.wait_until_serving()) << started.standard_output() << started.standard_error();
    }
    void TearDown() override {
        DaemonTest::TearDown();
        if (HasFailure() && pcscd) std::cerr << "pcscd:\n" << pcscd->output();
        daemon.reset();  // before the services it holds open
        pcscd.reset();
        token.reset();
    }

    // `qvkctl list` once it gives `expected`, or when the time is up.
    QvkctlRun list_until(const std::string &expected) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        QvkctlRun run = run_qvkctl({"list"});
        while (run.out != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100ms);
            run = run_qvkctl({"list"});
        }
        return run;
    }

    std::unique_ptr<VirtualToken> token;
    std::unique_ptr<PcscDaemon> pcscd;
};

TEST_F(ServedBothFamilies, QvkctlListsANodeAndAReaderAndReadsAFileThroughEither) {
    const QvkctlRun listed = list_until("/dev/QVUsbKey0\nVirtual PCD 00 00\n");
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, "/dev/QVUsbKey0\nVirtual PCD 00 00\n");
    EXPECT_EQ(run_qvkctl({"list", "--json"}).out,
              "{\"devices\": [\"/dev/QVUsbKey0\", \"Virtual PCD 00 00\"]}\n");

    for (const char *device : {"Virtual PCD 00 00", "/dev/QVUsbKey0"}) {
        const QvkctlRun read = run_qvkctl({"send", device, "00A40000020015", "00 B0 00 00 0C"});
        EXPECT_EQ(read.status, 0) << device << ": " << read.err;
        EXPECT_EQ(read.out, "9000\n68656C6C6F20726561646572 9000\n") << device;
    }
    EXPECT_EQ(token->commands(),
              (std::vector<std::string>{"QVUsbKey0 00 A4 00 00 02 00 15", "QVUsbKey0 00 B0 00 00 0C",
                                        "QVUsbKey0 00 A4 00 00 02 00 15", "QVUsbKey0 00 B0 00 00 0C"}));

    // The card taken out: only the reader's entry goes; the node stays.
    token->control("unplug 0");
    EXPECT_EQ(list_until("").out, "");
    EXPECT_EQ(run_qvkctl({"send", "Virtual PCD 00 00", "00A40000020015"}).status, 6);
}

// Another application's one-byte "command" leaves the reader waiting for an
// answer that never comes (vpcd takes it for a control), and pcscd makes
// every later exchange with that reader wait behind it. Such an exchange
// holds up nobody else: after the bound (--exchange-timeout 1, and the
// daemon's second of grace) it answers FFFF, its handle stays dead, and the
// node is served at once.
TEST_F(ServedBothFamilies, AReaderThatNeverAnswersHoldsUpNobodyElse) {
    ASSERT_NO_FATAL_FAILURE(start_serving({}, {.arguments = {"--exchange-timeout", "1"}}));
    ASSERT_EQ(list_until("/dev/QVUsbKey0\nVirtual PCD 00 00\n").status, 0);
    qvk_client *client = nullptr;
    qvk_device_list devices;
    std::uint32_t handle = 0;
    ASSERT_EQ(qvk_connect(&client), QVK_OK);
    ASSERT_EQ(qvk_list(client, &devices), QVK_OK);
    ASSERT_EQ(qvk_open(client, kVpcdReader0, &handle), QVK_OK);

    std::thread wedge([] {
        SCARDCONTEXT context = 0;
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return;
        if (SCardConnect(context, kVpcdReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                         &protocol) == SCARD_S_SUCCESS) {
            const BYTE control = 0x03;
            BYTE answer[16];
            DWORD length = sizeof answer;
            SCardTransmit(card, protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0, &control, 1, nullptr,
                          answer, &length);  // returns only when pcscd goes
        }
        SCardReleaseContext(context);
    });
    std::this_thread::sleep_for(500ms);

    const auto start = std::chrono::steady_clock::now();
    const auto send = [client, handle] {
        const std::uint8_t select[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x15};
        std::uint8_t answer[64];
        std::size_t length = sizeof answer;
        std::uint32_t status = 0;
        return qvk_transmit(client, handle, select, sizeof select, answer, &length, &status);
    };
    qvk_result abandoned = QVK_OK;
    std::thread exchange([&] { abandoned = send(); });
    std::this_thread::sleep_for(200ms);  // that exchange is under way
    const QvkctlRun node = run_qvkctl({"--timeout", "15", "send", "/dev/QVUsbKey0", "00A40000020015"});
    EXPECT_EQ(node.status, 0) << node.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4500ms) << "held up behind the reader";
    exchange.join();
    EXPECT_EQ(abandoned, QVK_ERR_NO_ANSWER);
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(send(), QVK_ERR_NO_ANSWER) << "dead from then on";
    EXPECT_LT(std::chrono::steady_clock::now() - again, 500ms) << "the reader was asked again";
    EXPECT_EQ(qvk_close(client, handle), QVK_OK);
    qvk_disconnect(client);

    pcscd.reset();  // ends the wedged exchange, and the daemon's that waited behind it
    wedge.join();
}

}  // namespace
