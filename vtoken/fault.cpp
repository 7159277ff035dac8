// SPDX-License-Identifier: BSD-3-Clause
#include "fault.h"

#include <charconv>
#include <stdexcept>
#include <thread>

namespace qvk::vtoken {

namespace {
constexpr std::string_view kDelayPrefix = "delay=";
}

Fault parse_fault(std::string_view text) {
    if (text == "none") return {};
    if (text == "no-answer") return {FaultKind::no_answer};
    if (text == "one-byte") return {FaultKind::one_byte};
    if (text == "short-write") return {FaultKind::short_write};
    if (text.starts_with(kDelayPrefix)) {
        const std::string_view number = text.substr(kDelayPrefix.size());
        long milliseconds = -1;
        const auto [end, error] =
            std::from_chars(number.data(), number.data() + number.size(), milliseconds);
        if (error == std::errc{} && end == number.data() + number.size() && !number.empty() &&
            milliseconds >= 0 && milliseconds <= kMaxFaultDelay.count())
            return {FaultKind::delay, std::chrono::milliseconds(milliseconds)};
        throw std::invalid_argument("bad fault delay '" + std::string(number) +
                                    "': give milliseconds from 0 to " +
                                    std::to_string(kMaxFaultDelay.count()));
    }
    throw std::invalid_argument("unknown fault '" + std::string(text) +
                                "': use none, no-answer, one-byte, short-write or delay=MS");
}

std::string describe(const Fault &fault) {
    switch (fault.kind) {
    case FaultKind::none: return "none";
    case FaultKind::no_answer: return "no-answer";
    case FaultKind::one_byte: return "one-byte";
    case FaultKind::short_write: return "short-write";
    case FaultKind::delay: return "delay=" + std::to_string(fault.delay.count());
    }
    return "none";
}

std::size_t bytes_accepted(const Fault &fault, std::size_t size) {
    if (fault.kind == FaultKind::short_write && size > 0) return size - 1;
    return size;
}

std::optional<std::vector<std::uint8_t>> delivered_answer(const Fault &fault,
                                                          std::vector<std::uint8_t> answer) {
    switch (fault.kind) {
    case FaultKind::no_answer: return std::nullopt;
    case FaultKind::one_byte: answer.resize(std::min<std::size_t>(answer.size(), 1)); break;
    case FaultKind::delay: std::this_thread::sleep_for(fault.delay); break;
    case FaultKind::none:
    case FaultKind::short_write: break;
    }
    return answer;
}

}  // namespace qvk::vtoken
