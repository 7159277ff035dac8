// SPDX-License-Identifier: BSD-3-Clause
#include "session.h"

#include "exit_status.h"

#include <algorithm>
#include <cstdint>

namespace qvkctl {

qvk_result Session::connect(std::chrono::milliseconds timeout) {
    const qvk_result connected = qvk_connect(&client_);
    if (connected != QVK_OK) return connected;
    const auto milliseconds = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 1, UINT32_MAX);
    return qvk_set_timeout(client_, static_cast<std::uint32_t>(milliseconds));
}

int connect_and_list(Session &session, std::chrono::milliseconds timeout, qvk_device_list &devices) {
    if (const qvk_result connected = session.connect(timeout); connected != QVK_OK)
        return report_failure("cannot reach qvkserver", connected);
    if (const qvk_result listed = qvk_list(session.client(), &devices); listed != QVK_OK)
        return report_failure("list", listed);
    return EXIT_OK;
}

}  // namespace qvkctl
