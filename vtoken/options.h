// SPDX-License-Identifier: BSD-3-Clause
// The command line of qvkvtoken, and the config file that can carry the same
// options (see usage_text()).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "card_layout.h"
#include "fault.h"

namespace qvk::vtoken {

struct NodeFault {
    int node = 0;
    Fault fault;
};

struct Options {
    std::string mountpoint;
    std::vector<int> nodes;  // ascending, no repeats
    std::vector<FileSpec> files;
    std::vector<NodeFault> faults;
    std::string log_path;  // empty: no command log
    // --vpcd: nodes[k] is also a card in the vpcd reader on this port + k.
    std::optional<std::uint16_t> vpcd_port;
    bool foreground = false;
    bool debug = false;
    bool help = false;
    bool version = false;
};

// A command line or config file that cannot be used; what() says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses the arguments that follow the program name. Throws UsageError.
Options parse_command_line(const std::vector<std::string> &arguments);

// "0", "0,3,17" or "0-3,8": node indices from 0 to 31. Throws std::invalid_argument.
std::vector<int> parse_node_list(std::string_view text);

// "N:KIND", for example "3:delay=200". Throws std::invalid_argument.
NodeFault parse_node_fault(std::string_view text);

// A TCP port, 1 to 65535. Throws std::invalid_argument.
std::uint16_t parse_port(std::string_view text);

std::string usage_text();

}  // namespace qvk::vtoken
