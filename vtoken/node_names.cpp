// SPDX-License-Identifier: BSD-3-Clause
#include "node_names.h"

#include <charconv>
#include <stdexcept>

namespace qvk::vtoken {

std::string node_name(int index) { return std::string(kNodePrefix) + std::to_string(index); }

std::optional<int> node_index_of(std::string_view name) {
    if (!name.starts_with(kNodePrefix)) return std::nullopt;
    const std::string_view digits = name.substr(kNodePrefix.size());
    if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
    int index = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    if (index < 0 || index >= kNodeCount) return std::nullopt;
    return index;
}

int parse_node_index(std::string_view text) {
    int index = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || index < 0 ||
        index >= kNodeCount)
        throw std::invalid_argument("bad node index '" + std::string(text) + "': use 0 to " +
                                    std::to_string(kNodeCount - 1));
    return index;
}

}  // namespace qvk::vtoken
