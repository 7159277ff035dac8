// SPDX-License-Identifier: BSD-3-Clause
// The command log: every command a node receives, one line each, appended to
// a file as "QVUsbKey<N> <hex bytes>", for example
// "QVUsbKey0 00 A4 00 00 02 00 15". Each line reaches the file in one write,
// so a reader never sees half a line and lines from busy nodes do not mix.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qvk::vtoken {

class CommandLog {
public:
    CommandLog() = default;  // logs nothing
    // Opens (creating, appending to) `path`; throws std::runtime_error.
    explicit CommandLog(const std::string &path);
    ~CommandLog();
    CommandLog(const CommandLog &) = delete;
    CommandLog &operator=(const CommandLog &) = delete;

    void record(int index, std::span<const std::uint8_t> command) const;

private:
    int descriptor_ = -1;
};

}  // namespace qvk::vtoken
