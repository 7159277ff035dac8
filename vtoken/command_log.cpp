// SPDX-License-Identifier: BSD-3-Clause
#include "command_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "hex_text.h"
#include "node_names.h"

namespace qvk::vtoken {

CommandLog::CommandLog(const std::string &path)
    : descriptor_(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
    if (descriptor_ < 0)
        throw std::runtime_error("cannot open the command log '" + path +
                                 "': " + std::strerror(errno));
}

CommandLog::~CommandLog() {
    if (descriptor_ >= 0) close(descriptor_);
}

void CommandLog::record(int index, std::span<const std::uint8_t> command) const {
    if (descriptor_ < 0) return;
    std::string line = node_name(index);
    if (!command.empty()) line += ' ' + to_hex(command);
    line += '\n';
    // O_APPEND places the whole line at the end in one step; a failure to log
    // must not fail the command, so the result is not examined further.
    [[maybe_unused]] const ssize_t written = write(descriptor_, line.data(), line.size());
}

}  // namespace qvk::vtoken
