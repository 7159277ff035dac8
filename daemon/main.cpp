// SPDX-License-Identifier: BSD-3-Clause
// qvkserver: detaches, binds the device-family plug-ins, creates its IPC
// objects and serves requests until it is killed. Its starter returns only
// once it serves, or with the reason it could not start. It prints nothing
// unless it cannot start, or its IPC objects are removed under it.
#include <cstdio>

#include "daemonize.h"
#include "dev_families.h"
#include "family_calls.h"
#include "key_registry.h"
#include "srv_access.h"
#include "srv_descriptors.h"
#include "srv_instance_lock.h"
#include "srv_mutex.h"
#include "srv_options.h"
#include "srv_request_loop.h"
#include "srv_semaphores.h"

namespace {

// Ends a start that failed: the starter learns why, and the daemon's own
// status says the same.
int start_failed(srv_start_status status) {
    daemonize_report(status);
    return status;
}

}  // namespace

int main(int argc, char *argv[]) {
    if (!srv_settle_descriptors()) return 1;
    srv_options options;
    switch (srv_parse_options(argc, argv, options, stdout, stderr)) {
    case SRV_OPTIONS_SERVE:
        break;
    case SRV_OPTIONS_DONE:
        return 0;
    case SRV_OPTIONS_BAD:
        return SRV_EXIT_USAGE;
    }
    if (options.group) srv_access_limit_to(*options.group);
    srv_raise_descriptor_limit();
    // Decided before the fork, so that the starter's own status tells.
    switch (srv_lock_instance()) {
    case SRV_LOCK_HELD:
        break;
    case SRV_LOCK_TAKEN:
        std::fputs("qvkserver is already running\n", stderr);
        return 1;
    case SRV_LOCK_FAILED:
        std::fputs("qvkserver cannot take its instance lock\n", stderr);
        return 1;
    }

    if (daemonize() == -1) {
        std::fputs("can't fork self\n", stdout);
        return SRV_START_FAILED;
    }
    srv_lock_note_holder();
    if (!key_handles_init()) {
        std::fputs("qvkserver cannot draw random numbers for its handles\n", stderr);
        return start_failed(SRV_START_FAILED);
    }
    if (load_dev_families() != 1) return start_failed(SRV_START_NO_PLUGIN);
    family_calls_bound(options.exchange_timeout_seconds);
    if (semCreate() == 0) return start_failed(SRV_START_NO_IPC_OBJECTS);
    if (semReset(semServerId) == 0 || semResetTurn(semClientId) == 0)
        return start_failed(SRV_START_NO_IPC_OBJECTS);
    if (srv_mutex_init() != 0) {
        std::fputs("CreateMutex error!\n", stdout);
        return start_failed(SRV_START_FAILED);
    }

    // The loop tells the starter once it waits for requests.
    if (srv_request_loop([]() noexcept { daemonize_report(SRV_START_SERVING); }) ==
        SRV_LOOP_OBJECTS_REMOVED) {
        // Ending lets the service manager start a daemon that makes them again.
        std::fputs("qvkserver: its IPC objects were removed\n", stderr);
        return 1;
    }

    // The loop gave up on the segment before it served: remove what this run
    // set up. The segment, if it was got, stays.
    srv_mutex_destroy();
    semRemove(semServerId);
    semRemove(semClientId);
    return start_failed(SRV_START_NO_IPC_OBJECTS);
}
