// SPDX-License-Identifier: BSD-3-Clause
// One APDU exchange with a card in a PC/SC reader, two ways, in the same run
// against the same card:
//   BM_Direct_SCardTransmit: a plain SCardTransmit loop (the application's
//     own PC/SC connection), the floor;
//   BM_Daemon_Transmit: libqvkclient -> qvkserver -> libqvkmgrccid -> pcscd.
// Behind pcscd sits vsmartcard's vpcd driver and the virtual token
// (qvkvtoken --vpcd). Goal: the daemon path at most 1.25 times the floor.
//
// Every process of both paths runs on CPU 0 (this one, and pcscd, qvkvtoken
// and qvkserver, which inherit it), as in the requester benchmark: the
// figures then compare the paths, not where the scheduler happened to put
// each process (on a virtual machine a wake-up across CPUs costs tens of
// microseconds, and varies with what else the machine runs).
//
// It starts pcscd, qvkvtoken and qvkserver itself, in private IPC, mount and
// network namespaces (the daemon's fixed keys, a tmpfs over /run, loopback
// only), so it has to run as root:
//   build/bench/bench_ccid --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "daemon_process.h"
#include "pcsc_fixture.h"
#include "qvk_family.h"
#include "qvkclient.h"
#include "sandbox.h"
#include "vtoken_fixture.h"

namespace qvk::test {
void enter_private_namespaces();
}

namespace {

using namespace std::chrono_literals;

const std::uint8_t kChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};

struct Services {
    std::unique_ptr<qvk::test::VirtualToken> token;
    std::unique_ptr<qvk::test::PcscDaemon> pcscd;
    qvk::test::TempDir work;
    qvk::test::TempDir output;
    std::unique_ptr<qvk::test::DaemonProcess> daemon;
    qvk_client *client = nullptr;

    // Everything up, and the daemon listing the reader; or why not.
    std::string start() {
        qvk::test::enter_private_network();
        token = std::make_unique<qvk::test::VirtualToken>(
            qvk::test::VirtualTokenSetup().with_nodes({0}).with_vpcd(qvk::test::kVpcdPort).without_dev_links());
        pcscd = std::make_unique<qvk::test::PcscDaemon>();
        qvk::test::private_directory(QVK_PLUGIN_DIR);
        std::filesystem::copy_file(QVK_CCID_PLUGIN_PATH, work / QVK_PLUGIN_FILE_CCID);
        daemon = std::make_unique<qvk::test::DaemonProcess>(work.path(), std::vector<std::string>{},
                                                            output.path());
        if (!daemon->wait_until_serving()) return "qvkserver did not start";
        if (qvk_connect(&client) != QVK_OK) return "cannot reach qvkserver";
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            qvk_device_list devices;
            if (qvk_list(client, &devices) == QVK_OK && devices.count == 1) return {};
            std::this_thread::sleep_for(50ms);
        }
        return "the card did not show in its reader: " + pcscd->output();
    }
    ~Services() {
        qvk_disconnect(client);
        daemon.reset();
    }
};

Services *services = nullptr;

void BM_Direct_SCardTransmit(benchmark::State &state) {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS ||
        SCardConnect(context, qvk::test::kVpcdReader0, SCARD_SHARE_SHARED,
                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol) != SCARD_S_SUCCESS) {
        state.SkipWithError("cannot connect to the card");
        SCardReleaseContext(context);
        return;
    }
    const SCARD_IO_REQUEST *pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    BYTE response[258];
    for (auto _ : state) {
        DWORD length = sizeof response;
        if (SCardTransmit(card, pci, kChallenge, sizeof kChallenge, nullptr, response, &length) !=
                SCARD_S_SUCCESS ||
            length != 10 || response[8] != 0x90) {
            state.SkipWithError("transmit failed");
            break;
        }
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
}
BENCHMARK(BM_Direct_SCardTransmit)->UseRealTime();

void BM_Daemon_Transmit(benchmark::State &state) {
    std::uint32_t handle = 0;
    if (qvk_open(services->client, qvk::test::kVpcdReader0, &handle) != QVK_OK) {
        state.SkipWithError("open failed");
        return;
    }
    std::uint8_t response[256];
    for (auto _ : state) {
        std::size_t length = sizeof response;
        std::uint32_t status = 0;
        if (qvk_transmit(services->client, handle, kChallenge, sizeof kChallenge, response, &length,
                         &status) != QVK_OK ||
            status != 0x9000 || length != 8) {
            state.SkipWithError("transmit failed");
            break;
        }
    }
    qvk_close(services->client, handle);
}
BENCHMARK(BM_Daemon_Transmit)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    cpu_set_t cpu0;
    CPU_ZERO(&cpu0);
    CPU_SET(0, &cpu0);
    sched_setaffinity(0, sizeof cpu0, &cpu0);
    qvk::test::enter_private_namespaces();
    if (!qvk::test::in_private_namespaces() || !qvk::test::pcsc_available() ||
        !qvk::test::virtual_token_available()) {
        std::fputs("bench_ccid: needs root (private namespaces), FUSE, pcscd and the vpcd driver\n", stderr);
        return 1;
    }
    try {
        Services started;
        if (const std::string problem = started.start(); !problem.empty()) {
            std::fprintf(stderr, "bench_ccid: %s\n", problem.c_str());
            return 1;
        }
        services = &started;
        benchmark::RunSpecifiedBenchmarks();
        services = nullptr;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_ccid: %s\n", error.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
