// SPDX-License-Identifier: BSD-3-Clause
#include "srv_request_loop.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "family_calls.h"
#include "key_registry.h"
#include "qvk_segment.h"
#include "srv_access.h"
#include "srv_dispatch.h"
#include "srv_mutex.h"
#include "srv_semaphores.h"

namespace {

// The attached segment, shared by every serving thread for the rest of the
// process's life.
std::uint8_t *segment_base = nullptr;
int segment_id = -1;

// How far the answers written since the segment was cleared reach into its
// block; past that point, and past the part any request is read from, the
// block holds only zeros. Each answer clears no further than that. Only the
// thread that serves writes answers.
std::size_t answers_reach = SHM_BLOCK_SIZE;

std::uint8_t *block() { return segment_base + SHM_BLOCK_OFFSET; }
srv_block &response_block() { return *reinterpret_cast<srv_block *>(block()); }
std::uint32_t &state_word() { return *reinterpret_cast<std::uint32_t *>(segment_base + SHM_STATE_OFFSET); }
std::atomic_ref<std::uint32_t> state() { return std::atomic_ref<std::uint32_t>(state_word()); }

// The record of the thread that serves now; the watchdog watches its calls.
std::atomic<srv_server *> current_server{nullptr};

// Publishes the response written into the block, and wakes every process
// blocked on the state word (a shared futex: requesters live in other
// processes).
void publish() {
    state().store(SHM_STATE_RESPONSE, std::memory_order_release);
    syscall(SYS_futex, &state_word(), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// How long the loop waits for a request before it looks after itself: are
// its IPC objects still there, did some requester die holding handles.
constexpr timespec kIdleLook{1, 0};

// Whether the segment is still to be found: removing it (ipcrm) only marks
// it while the daemon has it attached, but no requester can attach it then.
// Also tells whether any requester has it attached besides the daemon.
bool segment_present(bool &others_attached) {
    shmid_ds status{};
    others_attached = true;
    if (shmctl(segment_id, IPC_STAT, &status) != 0) return errno != EIDRM && errno != EINVAL;
    others_attached = status.shm_nattch > 1;
    return (status.shm_perm.mode & SHM_DEST) == 0;
}

enum class awaited { answered, objects_removed, retired };

// Waits until a posted request with a known command has been carried out.
// The response is written into the segment's block (with zeros over what
// the request and earlier answers left there) while the state word still
// reads "request", so a requester sees it only once the state word says it
// is complete. An unknown command leaves the block untouched. The mutex stays held throughout, except inside a
// family call.
awaited await_request(srv_server &self) {
    for (;;) {
        switch (semWait(semServerId, kIdleLook)) {
        case SEM_WAIT_GONE:
            return awaited::objects_removed;
        case SEM_WAIT_AGAIN: {  // idle for a while, or interrupted
            bool others_attached = true;
            if (!segment_present(others_attached) || !semPresent(semClientId)) return awaited::objects_removed;
            self.serving_request = false;
            key_reclaim_orphans(!others_attached);
            if (family_call_retired()) return awaited::retired;
            continue;
        }
        case SEM_WAIT_TAKEN:
            break;
        }
        if (state().load(std::memory_order_acquire) != SHM_STATE_REQUEST) continue;
        // Only the part of the block that any request is read from is copied;
        // the dispatch never looks further.
        std::memcpy(self.request.data(), block(), REQ_READ_SIZE);
        // Who opens: the holder of the turn, when it says so itself. (A close
        // or transmit is judged on what it says alone: see key_registry.h.)
        pid_t claimed = 0;
        std::memcpy(&claimed, self.request.data() + REQ_REQUESTER_OFFSET, sizeof claimed);
        self.requester = self.request[REQ_COMMAND_OFFSET] == CMD_OPEN_DEV ? semTurnHolder(semClientId, claimed) : 0;
        self.serving_request = true;
        const bool answered = srv_dispatch_request(self.request, response_block(), self.requester, &answers_reach);
        if (family_call_retired()) return awaited::retired;
        if (answered) return awaited::answered;
        // Unknown command: no answer; the block and the state word stay.
    }
}

enum class served { objects_removed, retired };

// Serves requests with this record until the IPC objects go, or until a
// family call of this thread is abandoned. A thread that takes over from
// an abandoned one first answers the request that one was serving.
served serve(srv_server &self, srv_server *abandoned) {
    family_calls_serve_with(&self);
    if (abandoned != nullptr) {
        srv_mutex_lock();
        const bool answer = abandoned->serving_request;
        if (answer) {
            std::copy_n(abandoned->request.begin(), REQ_READ_SIZE, self.request.begin());
            self.requester = abandoned->requester;
        }
        key_take_over(*abandoned);
        if (answer) {
            self.serving_request = true;
            const bool answered = srv_dispatch_request(self.request, response_block(), self.requester, &answers_reach);
            if (family_call_retired()) {
                self.released.store(true, std::memory_order_release);
                return served::retired;
            }
            if (answered) publish();
        }
        srv_mutex_unlock();
    }
    for (;;) {
        srv_mutex_lock();
        switch (await_request(self)) {
        case awaited::retired:
            // The abandoned call let the mutex go; nothing here is this thread's any more.
            self.released.store(true, std::memory_order_release);
            return served::retired;
        case awaited::objects_removed:
            srv_mutex_unlock();
            return served::objects_removed;
        case awaited::answered:
            break;
        }
        publish();
        srv_mutex_unlock();
    }
}

// The end of a serving thread that is not the main one: the daemon ends
// when its objects were removed, as the main thread ends it.
void end_of_server(served result) {
    if (result != served::objects_removed) return;
    std::fputs("qvkserver: its IPC objects were removed\n", stderr);
    std::fflush(stderr);
    _exit(1);
}

struct take_over_job {
    srv_server *self;
    srv_server *abandoned;
};

// Starts a thread that nobody joins; false when it could not be started.
bool start_detached(void *(*body)(void *), void *argument) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, body, argument) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

void *serving_thread(void *argument) {
    const take_over_job job = *static_cast<take_over_job *>(argument);
    delete static_cast<take_over_job *>(argument);
    end_of_server(serve(*job.self, job.abandoned));
    return nullptr;
}

void sleep_ns(std::int64_t span) {
    const timespec pause{static_cast<time_t>(span / 1'000'000'000), static_cast<long>(span % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

// Starts a new serving thread in place of the one whose call was abandoned.
// Where no thread can be started, the watchdog serves itself from then on,
// unwatched.
void take_over(srv_server *abandoned) {
    auto *next = new (std::nothrow) srv_server;
    auto *job = next == nullptr ? nullptr : new (std::nothrow) take_over_job{next, abandoned};
    if (job == nullptr) {
        // Out of memory: nothing can be served without a record; the main
        // thread's ending lets the service manager start a fresh daemon.
        std::fputs("qvkserver: out of memory after a device call hung\n", stderr);
        _exit(1);
    }
    current_server.store(next, std::memory_order_release);
    if (!start_detached(serving_thread, job)) serving_thread(job);  // never returns but to end the daemon
}

// The watchdog: abandons a family call that has run past the bound. It
// looks at the serving thread's record when the call in progress is due,
// and otherwise once a second; it costs the request path nothing.
void *watchdog(void *) {
    const std::int64_t bound = family_calls_bound_ns();
    const std::int64_t look = std::min<std::int64_t>(bound, 1'000'000'000);
    for (;;) {
        srv_server *watched = current_server.load(std::memory_order_acquire);
        std::uint64_t phase = watched->phase.load(std::memory_order_acquire);
        if ((phase & 3) != SRV_CALL_RUNNING) {
            sleep_ns(look);
            continue;
        }
        const std::int64_t due = watched->started_ns.load(std::memory_order_relaxed) + bound;
        const std::int64_t now = family_calls_now_ns();
        if (now < due) {
            sleep_ns(std::min(due - now, look));
            continue;
        }
        // Only that very call: a call that returned meanwhile has another count.
        if (watched->phase.compare_exchange_strong(phase, phase - SRV_CALL_RUNNING + SRV_CALL_ABANDONED,
                                                   std::memory_order_acq_rel))
            take_over(watched);
    }
    return nullptr;
}

bool start_watchdog() { return start_detached(watchdog, nullptr); }

}  // namespace

int srv_request_loop(void (*serving)() noexcept) noexcept {
    const int id = srv_access_segment();
    if (id == -1) {
        std::fputs("shmger failed!\n", stderr);
        return SRV_LOOP_NO_SEGMENT;
    }
    void *address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        std::fputs("shmat failed!\n", stderr);
        return SRV_LOOP_NO_SEGMENT;
    }
    segment_base = static_cast<std::uint8_t *>(address);
    segment_id = id;
    // The state word first: a requester that is still copying an answer of
    // the previous run checks the word after its copy, and so never takes
    // the cleared block for that answer.
    state().store(SHM_STATE_IDLE, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::memset(address, 0, SHM_SIZE);
    answers_reach = 0;

    static srv_server main_server;
    main_server.deletable = false;
    current_server.store(&main_server, std::memory_order_release);
    // Without a watchdog (none could be started), calls are not bounded.
    if (family_calls_bound_ns() > 0 && !start_watchdog()) family_calls_unwatched();
    // A request posted from here on is waited for, whether it comes before
    // the first wait or after.
    if (serving != nullptr) serving();

    if (serve(main_server, nullptr) == served::retired) {
        // Another thread serves now and ends the daemon when it has to; this
        // one only keeps the process's main thread.
        for (;;) pause();
    }
    shmdt(segment_base);
    return SRV_LOOP_OBJECTS_REMOVED;
}
