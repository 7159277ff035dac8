// Requester round trips. The floor: two processes ping-ponging the way a
// request does (a semaphore raised one way, a futex wake on the state word
// back, the same spin-then-sleep wait) with no work at all. Against it: a
// transmit, list, open and close through qvkserver serving an in-memory
// stand-in family.
//
// The benchmark uses the daemon's fixed IPC keys, so it enters private IPC
// and mount namespaces first; it has to run as root:
//   build/bench/bench_requester --benchmark_min_time=0.5
// Target: the transmit round trip at most 1.5 times the floor.
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

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "answer_wait.h"
#include "qvk_segment.h"
#include "qvkclient.h"
#include "state_word.h"

namespace {

using qvk::client::Deadline;
using qvk::client::StateWord;

// Private segment and server set for the floor, and its answering process.
class PingPongPeer {
public:
    PingPongPeer() {
        segment_ = shmget(IPC_PRIVATE, SHM_SIZE, IPC_CREAT | 0600);
        server_set_ = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
        base_ = static_cast<std::uint8_t *>(shmat(segment_, nullptr, 0));
        std::memset(base_, 0, SHM_SIZE);
        peer_ = fork();
        if (peer_ == 0) answer_forever();
    }
    ~PingPongPeer() {
        kill(peer_, SIGKILL);
        waitpid(peer_, nullptr, 0);
        shmdt(base_);
        shmctl(segment_, IPC_RMID, nullptr);
        semctl(server_set_, 0, IPC_RMID);
    }

    // One round: state word 1, raise, wait for the answer value, back to 0.
    bool round_trip() const {
        const StateWord state(word());
        state.store(SHM_STATE_REQUEST);
        sembuf raise{0, 1, 0};
        semop(server_set_, &raise, 1);
        const Deadline deadline(std::chrono::seconds(10));
        const auto waited = qvk::client::wait_while(state, SHM_STATE_REQUEST, deadline, nullptr);
        state.store(SHM_STATE_IDLE);
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
    std::uint8_t *base_ = nullptr;
    pid_t peer_ = -1;
};

void BM_Floor_SemaphorePostFutexWake(benchmark::State &state) {
    PingPongPeer peer;
    for (auto _ : state) {
        if (!peer.round_trip()) {
            state.SkipWithError("the peer did not answer");
            break;
        }
    }
}
BENCHMARK(BM_Floor_SemaphorePostFutexWake)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    // The daemon's keys are fixed: never touch the host's.
    if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("bench_requester: needs root to enter private IPC and mount namespaces");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
