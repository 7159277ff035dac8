// SPDX-License-Identifier: BSD-3-Clause
#include "scripted_card.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace qvk::test {

namespace {
constexpr long kUnscriptedReadSeconds = 5;
}  // namespace

ScriptedCard::ScriptedCard() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    host_ = pair[0];
    card_ = pair[1];
    // An exchange that reads an answer nobody queued fails after a while
    // (the read times out) instead of blocking the test until ctest ends it.
    const timeval limit{kUnscriptedReadSeconds, 0};
    setsockopt(host_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

ScriptedCard::~ScriptedCard() {
    if (host_ >= 0) close(host_);
    if (card_ >= 0) close(card_);
}

void ScriptedCard::answer(const Bytes &bytes) {
    if (send(card_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("scripted card: cannot queue an answer");
}

std::vector<Bytes> ScriptedCard::commands() {
    std::vector<Bytes> received;
    if (card_ < 0) return received;
    Bytes buffer(65536);
    for (;;) {
        const ssize_t n = recv(card_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) break;
        received.emplace_back(buffer.begin(), buffer.begin() + n);
    }
    return received;
}

void ScriptedCard::stop_answering() { shutdown(card_, SHUT_WR); }

void ScriptedCard::hang_up() {
    close(card_);
    card_ = -1;
}

Bytes hex(const char *text) {
    Bytes bytes;
    std::string digits;
    for (const char *p = text; *p != '\0'; ++p)
        if (std::isxdigit(static_cast<unsigned char>(*p))) digits += *p;
    if (digits.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits");
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

Bytes le32(std::uint32_t value) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

}  // namespace qvk::test
