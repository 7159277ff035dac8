// SPDX-License-Identifier: BSD-3-Clause
#include "change_wait.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "codec.h"
#include "connection.h"
#include "deadline.h"

namespace qvk::client {

namespace {

bool same_list(const qvk_device_list &a, const qvk_device_list &b) {
    if (a.count != b.count) return false;
    for (unsigned i = 0; i < a.count && i < QVK_DEV_MAX_COUNT; ++i)
        if (std::strncmp(a.paths[i], b.paths[i], QVK_DEV_PATH_SLOT_SIZE) != 0) return false;
    return true;
}

void sleep_for(std::chrono::nanoseconds span) {
    timespec left = Deadline::to_timespec(span);
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

}  // namespace

qvk_result wait_for_change(Connection &connection, const qvk_device_list &known,
                           qvk_device_list &now, std::uint32_t timeout_ms) {
    std::optional<Deadline> deadline;
    if (timeout_ms != QVK_WAIT_FOREVER) deadline.emplace(std::chrono::milliseconds(timeout_ms));
    // Copied first: `now` may be `known` itself.
    const qvk_device_list before = known;
    for (;;) {
        // A look may take the connection's time, but not much beyond the
        // wait's: the last one, at the deadline, gets one interval.
        auto look_time = connection.timeout();
        if (deadline)
            look_time = std::min(look_time, std::max(std::chrono::ceil<std::chrono::milliseconds>(
                                                         deadline->remaining()),
                                                     std::chrono::milliseconds(kChangeLookInterval)));
        Request request;
        encode_enumerate(request);
        ResponseCopy response;
        qvk_result result = connection.round_trip(request, response, look_time);
        if (result == QVK_OK) result = decode_enumerate(response, now);
        if (result == QVK_OK && !same_list(now, before)) return QVK_OK;
        // A daemon that restarted during a look, or that was busy, is asked
        // again at the next one.
        if (result != QVK_OK && result != QVK_ERR_REQUEST_LOST && result != QVK_ERR_TIMEOUT) {
            now.count = 0;
            return result;
        }
        if (result != QVK_OK) now = before;
        if (deadline && deadline->expired()) return QVK_ERR_TIMEOUT;
        sleep_for(deadline ? deadline->remaining(kChangeLookInterval) : kChangeLookInterval);
    }
}

}  // namespace qvk::client
