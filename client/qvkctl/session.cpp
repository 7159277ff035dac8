#include "session.h"

#include <algorithm>
#include <cstdint>

namespace qvkctl {

qvk_result Session::connect(std::chrono::milliseconds timeout) {
    const qvk_result connected = qvk_connect(&client_);
    if (connected != QVK_OK) return connected;
    const auto milliseconds = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 1, UINT32_MAX);
    return qvk_set_timeout(client_, static_cast<std::uint32_t>(milliseconds));
}

}  // namespace qvkctl
