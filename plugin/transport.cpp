// SPDX-License-Identifier: BSD-3-Clause
// Device primitives and the APDU exchange over a driver node: one write of
// the whole command, one read of the whole answer (data, then SW1 SW2).
#include "qvkmgrudk.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "plugin_config.h"

using namespace qvk::udk;

namespace {

// How long an exchange waits for the answer, in milliseconds; 0: no bound.
std::atomic<std::uint32_t> g_answer_timeout_ms{0};

// Waits until the descriptor has an answer to read, at most the timeout.
// False when none came in time.
bool answer_came(int descriptor, std::uint32_t timeout_ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long waited = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1'000'000;
        if (waited >= timeout_ms) return false;
        pollfd readable{descriptor, POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(timeout_ms - waited));
        if (ready > 0) return true;
        // A descriptor poll cannot watch: let the read tell.
        if (ready < 0 && errno != EINTR) return true;
    }
}

// The descriptor stays open (its owner closes it) but no longer refers to
// the device: an epoll instance, on which every read and write fails at
// once. The device's answer to the abandoned command can then never be read
// as the answer to a later one.
void detach_from_device(int descriptor) {
    const int nothing = epoll_create1(EPOLL_CLOEXEC);
    if (nothing < 0) return;
    dup2(nothing, descriptor);
    close(nothing);
}

}  // namespace

QVK_EXPORT void SetQvDevTimeout(uint32_t milliseconds) {
    g_answer_timeout_ms.store(milliseconds, std::memory_order_relaxed);
}

QVK_EXPORT int CT_open(const char *path) {
    if (path == nullptr) return -1;
    return open(path, O_RDWR);
}

QVK_EXPORT int CT_close(int descriptor) {
    return close(descriptor) == 0 ? 0 : -1;
}

QVK_EXPORT uint32_t ICC_tsi_api(int descriptor, int command_length,
                                const uint8_t *command, int32_t *response_length,
                                uint8_t *response) {
    if (command == nullptr || response_length == nullptr || response == nullptr)
        return SW_NO_ANSWER;
    // A length the command buffer cannot hold is refused like a null pointer:
    // nothing is copied, written or read.
    if (command_length < 0 || static_cast<std::size_t>(command_length) > APDU_BUF_SIZE)
        return SW_NO_ANSWER;

    const auto length = static_cast<std::size_t>(command_length);
    std::array<uint8_t, APDU_BUF_SIZE> sent{};
    std::memcpy(sent.data(), command, length);

    const ssize_t written = write(descriptor, sent.data(), length);
    if (written >= 0 && static_cast<std::size_t>(written) == length) {
        const std::uint32_t timeout_ms = g_answer_timeout_ms.load(std::memory_order_relaxed);
        if (timeout_ms != 0 && !answer_came(descriptor, timeout_ms)) {
            detach_from_device(descriptor);
        } else {
            std::array<uint8_t, APDU_BUF_SIZE> received;
            const ssize_t got = read(descriptor, received.data(), received.size());
            if (got >= 2) {
                const auto data_length = static_cast<std::size_t>(got) - 2;
                *response_length = static_cast<int32_t>(data_length);
                std::memcpy(response, received.data(), data_length);
                return static_cast<uint32_t>(received[data_length]) << 8 | received[data_length + 1];
            }
        }
    }
    *response_length = 0;
    response[0] = 0;
    return SW_NO_ANSWER;
}
