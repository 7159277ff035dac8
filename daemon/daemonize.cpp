// SPDX-License-Identifier: BSD-3-Clause
#include "daemonize.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "qvk_family.h"

namespace {

// The daemon's end of the channel to its starter; -1 once it has reported.
int report_channel = -1;

const char *failure_text(int status) {
    switch (status) {
    case SRV_START_NO_PLUGIN:
        return "no device-family plug-in could be bound (libqvkmgrudk.so, libqvkmgrccid.so or "
               "libqvkmgrhid.so, in " QVK_PLUGIN_DIR " or the working directory, with all four entry points)";
    case SRV_START_NO_IPC_OBJECTS:
        return "its IPC objects (segment 2222, semaphore sets 3350 and 4450) could not be made";
    default:
        return "it could not start (see the message before)";
    }
}

long long milliseconds_since(const timespec &start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1'000'000;
}

// The daemon's report, or -1 when the channel closed without one (the
// daemon ended) and -2 when none came in time.
int await_report(int channel) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const long long left = SRV_START_WAIT_SECONDS * 1000LL - milliseconds_since(start);
        if (left <= 0) return -2;
        pollfd readable{channel, POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return -1;
        if (ready <= 0) continue;
        unsigned char status = 0;
        const ssize_t got = read(channel, &status, 1);
        if (got == 1) return status;
        if (got == 0 || errno != EINTR) return -1;
    }
}

// The status of a daemon that has reported a failure (or closed the channel,
// or been killed): it is ending. One that does not end within a second is
// killed, so that the starter never hangs on it.
int reap(pid_t daemon) {
    int ended = 0;
    for (int step = 0; step < 200; ++step) {
        const pid_t reaped = waitpid(daemon, &ended, WNOHANG);
        if (reaped == daemon) return ended;
        if (reaped == -1 && errno != EINTR) return ended;
        const timespec pause{0, 5'000'000};
        nanosleep(&pause, nullptr);
    }
    kill(daemon, SIGKILL);
    while (waitpid(daemon, &ended, 0) == -1 && errno == EINTR) {
    }
    return ended;
}

// The starter's side: waits for the report and ends with what it says.
[[noreturn]] void starter(pid_t daemon, int channel) {
    const int report = await_report(channel);
    if (report == SRV_START_SERVING) std::_Exit(0);
    if (report == -2) {
        // Still starting after all that time: a starter that gives up must
        // not leave it to serve behind a failure.
        kill(daemon, SIGKILL);
        std::fprintf(stderr, "qvkserver: it did not start serving within %d s; stopped\n",
                     SRV_START_WAIT_SECONDS);
    }
    const int ended = reap(daemon);
    if (report >= 0) {
        std::fprintf(stderr, "qvkserver: %s\n", failure_text(report));
        std::_Exit(report);
    }
    if (report == -1) {
        if (WIFSIGNALED(ended))
            std::fprintf(stderr, "qvkserver: it was killed by signal %d before it served\n", WTERMSIG(ended));
        else
            std::fprintf(stderr, "qvkserver: it ended with status %d before it served\n", WEXITSTATUS(ended));
    }
    std::_Exit(SRV_START_FAILED);
}

}  // namespace

int daemonize() noexcept {
    // A socket pair rather than a pipe: a report sent after the starter is
    // gone fails quietly (MSG_NOSIGNAL) instead of raising SIGPIPE.
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) return -1;
    const pid_t child = fork();
    if (child == -1) {
        close(channel[0]);
        close(channel[1]);
        return -1;
    }
    if (child != 0) {
        close(channel[1]);
        starter(child, channel[0]);
    }
    close(channel[0]);
    report_channel = channel[1];
    setsid();
    umask(0);
    return 0;
}

void daemonize_report(srv_start_status status) noexcept {
    if (report_channel < 0) return;
    const auto byte = static_cast<unsigned char>(status);
    while (send(report_channel, &byte, 1, MSG_NOSIGNAL) == -1 && errno == EINTR) {
    }
    close(report_channel);
    report_channel = -1;
}
