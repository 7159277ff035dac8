// SPDX-License-Identifier: BSD-3-Clause
#include "vpcd_protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

namespace qvk::vtoken::vpcd {

namespace {

bool read_exactly(int socket, std::uint8_t *data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = recv(socket, data + done, size - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
        // The driver sends a message's length and its body in two writes:
        // acknowledge at once, or Nagle's rule holds the body back until the
        // delayed acknowledgement (some 40 ms) comes. The kernel leaves quick
        // acknowledgement mode by itself, so it is set after every read.
        const int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    return true;
}

}  // namespace

Bytes answer_to_reset() {
    Bytes atr(std::begin(kAtrBody), std::end(kAtrBody));
    atr.push_back(atr_check_byte());
    return atr;
}

std::optional<Bytes> read_message(int socket) {
    std::uint8_t header[2];
    if (!read_exactly(socket, header, sizeof header)) return std::nullopt;
    Bytes body(static_cast<std::size_t>(header[0] << 8 | header[1]));
    if (!read_exactly(socket, body.data(), body.size())) return std::nullopt;
    return body;
}

bool write_message(int socket, std::span<const std::uint8_t> body) {
    if (body.size() > 0xFFFF) return false;
    Bytes message{static_cast<std::uint8_t>(body.size() >> 8), static_cast<std::uint8_t>(body.size())};
    message.insert(message.end(), body.begin(), body.end());
    std::size_t done = 0;
    while (done < message.size()) {
        const ssize_t sent = send(socket, message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

int connect_to_reader(std::uint16_t port) {
    const int socket_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(socket_fd);
        return -1;
    }
    // Every message is one exchange's whole half: send it at once.
    const int on = 1;
    setsockopt(socket_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socket_fd;
}

}  // namespace qvk::vtoken::vpcd
