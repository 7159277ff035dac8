// SPDX-License-Identifier: BSD-3-Clause
// A connection to qvkserver for one qvkctl run.
#pragma once

#include <chrono>

#include "qvkclient.h"

namespace qvkctl {

class Session {
public:
    Session() = default;
    ~Session() { qvk_disconnect(client_); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    qvk_result connect(std::chrono::milliseconds timeout);
    qvk_client *client() const { return client_; }

private:
    qvk_client *client_ = nullptr;
};

// Connects with the timeout and lists the devices. On failure prints the
// cause and returns its exit status; EXIT_OK otherwise.
int connect_and_list(Session &session, std::chrono::milliseconds timeout, qvk_device_list &devices);

}  // namespace qvkctl
