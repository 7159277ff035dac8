// SPDX-License-Identifier: BSD-3-Clause
// Runs the built qvkserver as a separate process. The test process is
// process 1 of its own PID namespace (see sandbox.h), so the daemon, once its
// starter has exited, is re-parented to the test: the test finds it among its
// own children, can read its exit status, and kills it at the end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvk::test {

struct DaemonOptions {
    bool close_standard_input = false;  // start it with descriptor 0 closed
    // Soft and hard limit on open descriptors to start it with (0: as this process's).
    unsigned descriptor_soft_limit = 0;
    unsigned descriptor_hard_limit = 0;
    std::vector<std::string> arguments{};  // after the program name
    bool close_standard_streams = false;  // descriptors 0, 1 and 2 all closed
    bool broken_standard_error = false;   // standard error a pipe nobody reads
    int inherited_descriptor = -1;        // passed on as descriptor 10
    bool without_capabilities = false;    // root with no capability, as the service runs it
};

class DaemonProcess {
public:
    // Starts qvkserver in working_directory with environment entries
    // ("NAME=value") besides PATH; its standard output and error go to files
    // in output_directory. Returns once the starter has exited. A daemon that
    // another DaemonProcess of this test owns is never taken for this one's.
    DaemonProcess(const std::string &working_directory, const std::vector<std::string> &environment,
                  const std::string &output_directory, DaemonOptions options = {});
    // Kills the detached daemon if it still runs, and reaps it.
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    int starter_status() const { return starter_status_; }
    // The detached daemon; 0 when there is none.
    pid_t pid() const { return pid_; }

    // True once the daemon blocks on the server semaphore, that is, it has
    // set its objects up and waits for a request; false if it exits first
    // or the time runs out.
    bool wait_until_serving(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The daemon's exit status once it has exited, or nothing on time-out.
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::string standard_output() const;
    std::string standard_error() const;
    // User plus system CPU time so far, in clock ticks.
    std::uint64_t cpu_ticks() const;

private:
    bool reap(int options);

    std::string output_directory_;
    int starter_status_ = -1;
    pid_t pid_ = 0;
    std::optional<int> exit_status_;
};

}  // namespace qvk::test
