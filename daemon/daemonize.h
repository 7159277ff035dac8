// SPDX-License-Identifier: BSD-3-Clause
// Detaching from the starter. The starter stays until the detached daemon
// serves or has failed, so that its exit status (what a shell, a script or
// the service manager sees) says whether requests are being served.
#pragma once

// How a start ended. Each failure is the exit status of both the starter and
// the detached daemon.
enum srv_start_status {
    SRV_START_SERVING = 0,         // waiting for requests
    SRV_START_NO_PLUGIN = 3,       // no device-family plug-in could be bound
    SRV_START_NO_IPC_OBJECTS = 4,  // a semaphore set or the segment could not be had
    SRV_START_FAILED = 5,          // anything else: fork, mutex, no report in time
};

// How long the starter waits for the detached daemon's report.
inline constexpr int SRV_START_WAIT_SECONDS = 10;

// Forks. The child leaves the starter's session, clears its file-creation
// mask and gets 0; it must then call daemonize_report once. The parent does
// not return: it waits for that report (at most SRV_START_WAIT_SECONDS) and
// exits 0 once the daemon serves; otherwise it prints why on standard error,
// makes sure the daemon is gone and exits with the failure's status. -1 when
// the fork fails. The working directory and the standard streams are kept.
int daemonize() noexcept;

// In the detached daemon: tells the starter how the start ended (only the
// first report counts). A starter that is gone costs nothing.
void daemonize_report(srv_start_status status) noexcept;
