// SPDX-License-Identifier: BSD-3-Clause
#include "control.h"

#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "node_names.h"

namespace qvk::vtoken {

namespace {

std::vector<std::string> words_of(std::string_view line) {
    std::istringstream in{std::string(line)};
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

void run_line(TokenTable &table, std::string_view line) {
    const std::vector<std::string> words = words_of(line);
    if (words.empty() || words[0].starts_with('#')) return;
    const std::string &verb = words[0];
    if ((verb == "plug" || verb == "add") && words.size() == 2) {
        table.plug(parse_node_index(words[1]));
    } else if ((verb == "unplug" || verb == "remove") && words.size() == 2) {
        table.unplug(parse_node_index(words[1]));
    } else if (verb == "fault" && words.size() == 3) {
        table.set_fault(parse_node_index(words[1]), parse_fault(words[2]));
    } else {
        throw std::invalid_argument("bad control command '" + std::string(line) +
                                    "': use plug N, unplug N or fault N KIND");
    }
}

}  // namespace

void run_control(TokenTable &table, std::string_view text) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        run_line(table, text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

std::string describe_state(const TokenTable &table) {
    const std::vector<int> plugged = table.plugged_indices();
    const std::set<int> plugged_set(plugged.begin(), plugged.end());
    std::string text;
    for (int index = 0; index < kNodeCount; ++index) {
        const Fault fault = table.fault(index);
        const bool is_plugged = plugged_set.contains(index);
        if (!is_plugged && fault.kind == FaultKind::none) continue;
        text += node_name(index) + (is_plugged ? " plugged" : " unplugged") +
                " fault=" + describe(fault) + "\n";
    }
    return text;
}

}  // namespace qvk::vtoken
