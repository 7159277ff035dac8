// SPDX-License-Identifier: BSD-3-Clause
#include "srv_instance_lock.h"

#include <fcntl.h>
#include <mqueue.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr const char *kLockName = "/qvkserver";
// A killed daemon's descriptors are closed as it exits, a little after the
// kill itself returned: a start right after `kill -9` waits that long.
constexpr int kGraceSteps = 50;
constexpr long kGraceStepNs = 20'000'000;  // 50 x 20 ms = 1 s

int open_queue(int flags) {
    mq_attr attributes{};
    attributes.mq_maxmsg = 1;
    attributes.mq_msgsize = 1;
    return mq_open(kLockName, flags | O_RDWR | O_CLOEXEC, 0600, &attributes);
}

// The queue, made by this user: one that somebody else made first (to keep
// the daemon from starting by holding its lock) is replaced.
int own_queue() {
    int queue = open_queue(O_CREAT);
    if (queue < 0) return -1;
    struct stat status{};
    if (fstat(queue, &status) == 0 && status.st_uid == geteuid()) return queue;
    close(queue);
    if (mq_unlink(kLockName) != 0 && errno != ENOENT) return -1;
    return open_queue(O_CREAT | O_EXCL);
}

}  // namespace

srv_lock_result srv_lock_instance() noexcept {
    const int queue = own_queue();
    if (queue < 0) return SRV_LOCK_FAILED;
    for (int step = 0;; ++step) {
        if (flock(queue, LOCK_EX | LOCK_NB) == 0) return SRV_LOCK_HELD;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (step == kGraceSteps) {
            close(queue);
            return SRV_LOCK_TAKEN;
        }
        const timespec pause{0, kGraceStepNs};
        nanosleep(&pause, nullptr);
    }
    close(queue);
    return SRV_LOCK_FAILED;
}
