// SPDX-License-Identifier: BSD-3-Clause
// qvkctl status: whether qvkserver is there. Shows each IPC object, then
// times one round trip (an enumeration).
#include <chrono>
#include <cstdio>

#include "access_hint.h"
#include "commands.h"
#include "exit_status.h"
#include "qvk_segment.h"
#include "segment_users.h"
#include "session.h"

namespace qvkctl {

namespace {

constexpr std::chrono::seconds kDefaultTimeout{10};

const char *presence(int present) {
    return present == QVK_PRESENT_DENIED ? "present, permission denied" : present ? "present" : "missing";
}

const char *turn(int held) {
    return held == QVK_UNKNOWN ? ", turn state could not be read\n"
           : held             ? ", a requester holds the turn\n"
                              : ", turn free\n";
}

// Who has the segment attached: the daemon (when it can be told) and the
// others, which are requesters or other programs.
void print_segment_users(const SegmentUsers &users) {
    std::printf("segment attached by: ");
    if (users.attachments < 0) {
        std::printf("could not be read\n");
    } else if (users.attachments == 0) {
        std::printf("nobody\n");
    } else if (users.daemon != 0) {
        const long others = users.attachments - 1;
        std::printf("the daemon (qvkserver, pid %ld)", static_cast<long>(users.daemon));
        if (others > 0) std::printf(" and %ld other process%s", others, others == 1 ? "" : "es");
        std::printf("\n");
    } else {
        std::printf("%ld process%s, none known to be the daemon (no running qvkserver among the "
                    "processes its IPC objects name)\n",
                    users.attachments, users.attachments == 1 ? "" : "es");
    }
}

}  // namespace

int command_status(const Options &options, const Arguments &arguments) {
    if (!arguments.empty()) return usage_error("status: takes no arguments");
    qvk_ipc_presence found;
    const qvk_result probed = qvk_probe(&found);
    std::printf("shared segment (key %d): %s\n", SHM_KEY, presence(found.segment));
    std::printf("server semaphore set (key %d): %s\n", SEM_SERVER_KEY, presence(found.server_set));
    std::printf("client semaphore set (key %d): %s", SEM_CLIENT_KEY, presence(found.client_set));
    std::printf("%s", found.client_set == 1 ? turn(found.client_turn_held) : "\n");
    if (found.segment == 1) print_segment_users(segment_users());
    if (probed == QVK_ERR_ACCESS_DENIED) print_access_hint();
    std::fflush(stdout);
    if (probed != QVK_OK) return report_failure("status", probed);

    Session session;
    if (const qvk_result connected = session.connect(options.timeout.value_or(kDefaultTimeout));
        connected != QVK_OK)
        return report_failure("cannot reach qvkserver", connected);
    qvk_device_list devices;
    const auto start = std::chrono::steady_clock::now();
    const qvk_result listed = qvk_list(session.client(), &devices);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    if (listed != QVK_OK) return report_failure("round trip", listed);
    std::printf("round trip: %.3f ms, %u device%s listed\n", took.count(), devices.count,
                devices.count == 1 ? "" : "s");
    std::printf("qvkserver is running\n");
    return EXIT_OK;
}

}  // namespace qvkctl
