// SPDX-License-Identifier: BSD-3-Clause
// Fixture of the end-to-end tests: a private installed-plug-in directory, a
// working directory, and the built qvkserver started from there.
#pragma once

#include <sys/sem.h>
#include <sys/shm.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "daemon_process.h"
#include "qvk_family.h"
#include "qvk_segment.h"
#include "sandbox.h"
#include "stand_in_control.h"

namespace qvk::test {

// Whether condition holds within limit, looking every 10 ms.
inline bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        QVK_REQUIRE_PRIVATE_NAMESPACES();
        private_directory(QVK_PLUGIN_DIR);
        mount_tmpfs("/run");  // the daemon's instance lock lives in /run/qvkserver
        // Objects left by an earlier case of this process (the IPC namespace is private).
        shmctl(shmget(SHM_KEY, 0, 0), IPC_RMID, nullptr);
        semctl(semget(SEM_SERVER_KEY, 0, 0), 0, IPC_RMID);
        semctl(semget(SEM_CLIENT_KEY, 0, 0), 0, IPC_RMID);
    }

    void TearDown() override {
        if (HasFailure() && daemon)
            std::cerr << "qvkserver standard output:\n" << daemon->standard_output()
                      << "qvkserver standard error:\n" << daemon->standard_error();
    }

    // Starts qvkserver from the working directory; the stand-ins read the
    // control, and log their calls to log_file. A daemon started earlier by
    // this test is killed first.
    DaemonProcess &start(StandInControl control = {}, DaemonOptions options = {}) {
        daemon.reset();
        control.log(log_file);
        daemon = std::make_unique<DaemonProcess>(
            work.path(), std::vector<std::string>{control.write_for_child(work / "control")},
            output.path(), options);
        return *daemon;
    }

    // start(), then waits until the daemon serves: a fatal failure when it
    // does not (wrap the call in ASSERT_NO_FATAL_FAILURE).
    void start_serving(StandInControl control = {}, DaemonOptions options = {}) {
        DaemonProcess &started = start(std::move(control), options);
        ASSERT_TRUE(started.wait_until_serving()) << "qvkserver did not start serving\n"
                                                  << started.standard_output() << started.standard_error();
    }

    std::vector<std::string> calls() const { return stand_in_log(log_file); }

    TempDir work;
    TempDir output;
    const std::string log_file = output / "calls";
    std::unique_ptr<DaemonProcess> daemon;  // declared last: killed before the directories go
};

}  // namespace qvk::test
