// SPDX-License-Identifier: BSD-3-Clause
#include "requester_helpers.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace qvk::test {

Requester::Requester(std::uint32_t timeout_ms) {
    const qvk_result connected = qvk_connect(&client_);
    EXPECT_EQ(connected, QVK_OK) << qvk_result_text(connected);
    if (client_ != nullptr) {
        EXPECT_EQ(qvk_set_timeout(client_, timeout_ms), QVK_OK);
    }
}

Bytes Requester::transmit(std::uint32_t handle, const Bytes &apdu, qvk_result *result, std::uint32_t *status,
                          std::size_t capacity) {
    Bytes response(RESP_MAX_DATA);
    std::size_t length = capacity;
    std::uint32_t sw = 0;
    const qvk_result sent = qvk_transmit(client_, handle, apdu.data(), apdu.size(), response.data(), &length, &sw);
    if (result != nullptr) *result = sent;
    if (status != nullptr) *status = sw;
    response.resize(length);
    return response;
}

std::uint32_t state_word() {
    const int id = shmget(SHM_KEY, 0, 0);
    if (id < 0) return 0;
    void *base = shmat(id, nullptr, SHM_RDONLY);
    if (base == reinterpret_cast<void *>(-1)) return 0;
    const std::uint32_t value =
        std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t *>(base)).load();
    shmdt(base);
    return value;
}

int turn_value() {
    const int id = semget(SEM_CLIENT_KEY, 1, 0);
    return id < 0 ? -1 : semctl(id, 0, GETVAL);
}

bool eventually(const std::function<bool()> &condition, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

pid_t run_in_child(const std::function<int()> &body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    return child;
}

pid_t transmit_in_child(std::uint32_t handle, const Bytes &apdu, std::uint32_t timeout_ms) {
    return run_in_child([&] {
        Requester requester(timeout_ms);
        qvk_result result = QVK_ERR_SYSTEM;
        requester.transmit(handle, apdu, &result);
        return static_cast<int>(result);
    });
}

int exit_status_of(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace qvk::test

namespace qvk::test {

int transmit_many(qvk_client *client, std::uint32_t handle, int count,
                  const std::function<Bytes(int i)> &apdu_for,
                  const std::function<Bytes(const Bytes &apdu)> &expected) {
    Bytes response(RESP_MAX_DATA);
    for (int i = 0; i < count; ++i) {
        const Bytes apdu = apdu_for(i);
        std::size_t length = response.size();
        std::uint32_t status = 0;
        if (qvk_transmit(client, handle, apdu.data(), apdu.size(), response.data(), &length, &status) != QVK_OK)
            return 2;
        Bytes got(response.begin(), response.begin() + length);
        got.push_back(static_cast<std::uint8_t>(status >> 8));
        got.push_back(static_cast<std::uint8_t>(status));
        if (got != expected(apdu)) return 1;
    }
    return 0;
}

}  // namespace qvk::test
