// SPDX-License-Identifier: BSD-3-Clause
// qvkvtoken --vpcd PORT: besides its FUSE nodes, the tokens plugged in at
// start are offered as cards to vpcd's readers, the k-th of them (in
// ascending order) to the reader on port PORT + k of 127.0.0.1. A token's
// card is in its reader while the token is plugged in: "unplug N" takes it
// out (the connection closes), "plug N" inserts it again. While a reader is
// gone (pcscd stopped) its card tries again every second.
//
// Each reader has a thread of its own that runs the card's sessions: power
// on and reset start a new one, power off ends it, as the reset pair does on
// a node. Commands are logged like those written to the nodes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "command_log.h"
#include "token_table.h"

namespace qvk::vtoken {

inline constexpr auto kReaderRetryInterval = std::chrono::seconds(1);

class VpcdReader {
public:
    VpcdReader(TokenTable &table, int index, std::uint16_t port, const CommandLog &log);
    // Takes the card out and stops the thread.
    ~VpcdReader();
    VpcdReader(const VpcdReader &) = delete;
    VpcdReader &operator=(const VpcdReader &) = delete;

    // The token may have been plugged or unplugged: look again.
    void wake();

private:
    void run();
    // Serves one connection until it closes, the token is unplugged or the
    // reader stops.
    void serve(int socket, const std::shared_ptr<TokenNode> &node);
    // Waits for wake() or the timeout (negative: none); false when stopping.
    bool wait(int timeout_ms);

    TokenTable &table_;
    const int index_;
    const std::uint16_t port_;
    const CommandLog &log_;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class VpcdReaders {
public:
    // One reader per index of `indices`, ports port, port + 1, ...
    VpcdReaders(TokenTable &table, const std::vector<int> &indices, std::uint16_t port,
                const CommandLog &log);
    ~VpcdReaders();
    VpcdReaders(const VpcdReaders &) = delete;
    VpcdReaders &operator=(const VpcdReaders &) = delete;

private:
    TokenTable &table_;
    std::vector<std::unique_ptr<VpcdReader>> readers_;
};

}  // namespace qvk::vtoken
