// SPDX-License-Identifier: BSD-3-Clause
// Requester round trips. The floor: two processes ping-ponging the way a
// request does (a semaphore raised one way, a futex wake on the state word
// back, the same spin-then-sleep wait) with no work at all. Against it: a
// transmit, list, open and close through qvkserver serving an in-memory
// stand-in family. And the daemon's CPU while one requester waits in
// qvk_wait_for_change for a minute (counter daemon_cpu_percent).
//
// The benchmark uses the daemon's fixed IPC keys, so it enters private IPC
// and mount namespaces first; it has to run as root:
//   build/bench/bench_requester --benchmark_min_time=0.5 --benchmark_filter=-Waiter
//   build/bench/bench_requester --benchmark_filter=Waiter
// (QVK_BENCH_WAITER_SECONDS sets the wait, 60 s by default.)
// Target: the transmit round trip at most 1.5 times the floor. The daemon
// benchmarks are built where the test fixtures are (QVK_BUILD_TESTS on).
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <memory>
#include <optional>
#include <string>

#include "answer_wait.h"
#include "qvk_segment.h"
#include "qvkclient.h"
#include "state_word.h"

#if QVK_BENCH_WITH_DAEMON
#include "daemon_process.h"
#include "qvk_family.h"
#include "sandbox.h"
#include "stand_in_control.h"

namespace qvk::test {
void enter_private_namespaces();
}
#endif

namespace {

using qvk::client::Deadline;

// The requester and its peer (the ping-pong peer or the daemon) both run on
// CPU 0, in every benchmark alike, so that the figures compare the protocols
// and not where the scheduler happened to put the two processes. (On a
// virtual machine a wake-up across CPUs costs tens of microseconds and
// drowns everything else; the same-CPU hand-over is the fast case.)
void pin(pid_t process, int cpu) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(process, sizeof set, &set);
}
using qvk::client::StateWord;

// Private segment and server set for the floor, and its answering process.
class PingPongPeer {
public:
    PingPongPeer() {
        segment_ = shmget(IPC_PRIVATE, SHM_SIZE, IPC_CREAT | 0600);
        server_set_ = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
        client_set_ = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
        base_ = static_cast<std::uint8_t *>(shmat(segment_, nullptr, 0));
        std::memset(base_, 0, SHM_SIZE);
        peer_ = fork();
        if (peer_ == 0) answer_forever();
        pin(peer_, 0);
    }
    ~PingPongPeer() {
        kill(peer_, SIGKILL);
        waitpid(peer_, nullptr, 0);
        shmdt(base_);
        shmctl(segment_, IPC_RMID, nullptr);
        semctl(server_set_, 0, IPC_RMID);
        semctl(client_set_, 0, IPC_RMID);
    }

    // One round: state word 1, raise, wait for the answer value, back to 0;
    // with `take_turn`, inside the requesters' turn-taking as well (one
    // semaphore operation before, one after), which a real request adds.
    bool round_trip(bool take_turn = false) const {
        sembuf take[2] = {{0, 0, 0}, {0, 1, static_cast<short>(SEM_UNDO)}};
        sembuf give{0, -1, static_cast<short>(SEM_UNDO)};
        if (take_turn) semop(client_set_, take, 2);
        const StateWord state(word());
        state.store(SHM_STATE_REQUEST);
        sembuf raise{0, 1, 0};
        semop(server_set_, &raise, 1);
        const Deadline deadline(std::chrono::seconds(10));
        const auto waited = qvk::client::wait_while(state, SHM_STATE_REQUEST, deadline, nullptr);
        state.store(SHM_STATE_IDLE);
        if (take_turn) semop(client_set_, &give, 1);
        return waited.value == SHM_STATE_RESPONSE;
    }

private:
    std::uint32_t *word() const { return reinterpret_cast<std::uint32_t *>(base_ + SHM_STATE_OFFSET); }

    [[noreturn]] void answer_forever() const {
        const StateWord state(word());
        for (;;) {
            sembuf wait{0, -1, 0};
            semop(server_set_, &wait, 1);
            if (state.load() != SHM_STATE_REQUEST) continue;
            state.store(SHM_STATE_RESPONSE);
            state.wake_all();
        }
    }

    int segment_ = -1;
    int server_set_ = -1;
    int client_set_ = -1;
    std::uint8_t *base_ = nullptr;
    pid_t peer_ = -1;
};

void BM_Floor_SemaphorePostFutexWake(benchmark::State &state) {
    PingPongPeer peer;
    const bool take_turn = state.range(0) != 0;
    for (auto _ : state) {
        if (!peer.round_trip(take_turn)) {
            state.SkipWithError("the peer did not answer");
            break;
        }
    }
}
// /0: the floor; /1: the floor with the turn-taking added, for reference.
BENCHMARK(BM_Floor_SemaphorePostFutexWake)->Arg(0)->Arg(1)->UseRealTime();

#if QVK_BENCH_WITH_DAEMON

// qvkserver started from a scratch directory holding the in-memory udk
// stand-in, which lists one device, opens it as handle 5 and answers every
// APDU with 8 data bytes and 90 00. Nothing is installed under the plug-in
// directory (a private tmpfs covers it).
struct ServedStandIn {
    qvk::test::TempDir work;
    qvk::test::TempDir output;
    std::unique_ptr<qvk::test::DaemonProcess> daemon;
    qvk_client *client = nullptr;

    bool start() {
        qvk::test::private_directory(QVK_PLUGIN_DIR);
        qvk::test::mount_tmpfs("/run");  // for the daemon's instance lock
        qvk::test::install_stand_in(qvk::test::StandIn::udk, work.path());
        const std::string control = qvk::test::StandInControl()
                                        .devices("udk", {"/dev/QVUsbKey0"})
                                        .open("udk", "/dev/QVUsbKey0", {5})
                                        .answer("udk", 0x9000, "01 02 03 04 05 06 07 08")
                                        .write_for_child(work / "control");
        daemon = std::make_unique<qvk::test::DaemonProcess>(work.path(), std::vector<std::string>{control},
                                                            output.path());
        if (!daemon->wait_until_serving()) return false;
        pin(daemon->pid(), 0);
        if (qvk_connect(&client) != QVK_OK) return false;
        qvk_device_list devices;
        return qvk_list(client, &devices) == QVK_OK && devices.count == 1;
    }
    ~ServedStandIn() {
        qvk_disconnect(client);
        daemon.reset();
    }
};

ServedStandIn *served = nullptr;

void BM_Daemon_Transmit(benchmark::State &state) {
    std::uint32_t handle = 0;
    if (qvk_open(served->client, "/dev/QVUsbKey0", &handle) != QVK_OK) {
        state.SkipWithError("open failed");
        return;
    }
    const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    std::uint8_t response[256];
    for (auto _ : state) {
        std::size_t length = sizeof response;
        std::uint32_t status = 0;
        if (qvk_transmit(served->client, handle, apdu, sizeof apdu, response, &length, &status) != QVK_OK ||
            status != 0x9000 || length != 8) {
            state.SkipWithError("transmit failed");
            break;
        }
    }
    qvk_close(served->client, handle);
}
BENCHMARK(BM_Daemon_Transmit)->UseRealTime();

void BM_Daemon_List(benchmark::State &state) {
    qvk_device_list devices;
    for (auto _ : state) {
        if (qvk_list(served->client, &devices) != QVK_OK) {
            state.SkipWithError("list failed");
            break;
        }
    }
}
BENCHMARK(BM_Daemon_List)->UseRealTime();

// An open and its close: the daemon's handle map may not grow without bound.
void BM_Daemon_OpenThenClose(benchmark::State &state) {
    for (auto _ : state) {
        std::uint32_t handle = 0;
        if (qvk_open(served->client, "/dev/QVUsbKey0", &handle) != QVK_OK ||
            qvk_close(served->client, handle) != QVK_OK) {
            state.SkipWithError("open or close failed");
            break;
        }
    }
}
BENCHMARK(BM_Daemon_OpenThenClose)->UseRealTime();

// A close alone, of a handle the daemon does not hold (answered without
// calling the family, and told as such).
void BM_Daemon_CloseUnknownHandle(benchmark::State &state) {
    for (auto _ : state) {
        if (qvk_close(served->client, 0x7777) != QVK_ERR_HANDLE_NOT_OPEN) {
            state.SkipWithError("close failed");
            break;
        }
    }
}
BENCHMARK(BM_Daemon_CloseUnknownHandle)->UseRealTime();

// CPU time a process has spent, in nanoseconds (scheduler statistics;
// clock ticks where those are missing).
double cpu_nanoseconds(pid_t process) {
    std::FILE *stats = std::fopen(("/proc/" + std::to_string(process) + "/schedstat").c_str(), "r");
    unsigned long long on_cpu = 0;
    if (stats != nullptr) {
        const bool read = std::fscanf(stats, "%llu", &on_cpu) == 1;
        std::fclose(stats);
        if (read) return static_cast<double>(on_cpu);
    }
    return static_cast<double>(served->daemon->cpu_ticks()) * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One requester waits for a change that does not come; the daemon answers
// its looks and is otherwise idle.
void BM_Daemon_CpuWhileOneWaiterWaits(benchmark::State &state) {
    qvk_device_list known;
    if (qvk_list(served->client, &known) != QVK_OK) {
        state.SkipWithError("list failed");
        return;
    }
    const char *set = std::getenv("QVK_BENCH_WAITER_SECONDS");
    const auto seconds = static_cast<std::uint32_t>(set != nullptr ? std::max(1, std::atoi(set)) : 60);
    double daemon_cpu = 0;
    for (auto _ : state) {
        const double before = cpu_nanoseconds(served->daemon->pid());
        qvk_device_list now;
        if (qvk_wait_for_change(served->client, &known, &now, seconds * 1000) != QVK_ERR_TIMEOUT) {
            state.SkipWithError("the wait did not time out");
            break;
        }
        daemon_cpu += cpu_nanoseconds(served->daemon->pid()) - before;
    }
    state.counters["daemon_cpu_percent"] =
        100.0 * daemon_cpu / 1e9 / (static_cast<double>(seconds) * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Daemon_CpuWhileOneWaiterWaits)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

#endif  // QVK_BENCH_WITH_DAEMON

}  // namespace

int main(int argc, char **argv) {
    // The daemon's keys are fixed: never touch the host's.
    if (geteuid() != 0 || unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fputs("bench_requester: needs root, to run in private IPC and mount namespaces\n", stderr);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    pin(0, 0);
#if QVK_BENCH_WITH_DAEMON
    qvk::test::enter_private_namespaces();  // nested: lets the mount helpers work
    ServedStandIn daemon;
    if (!daemon.start()) {
        std::fputs("bench_requester: qvkserver did not start serving the stand-in family\n", stderr);
        return 1;
    }
    served = &daemon;
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
