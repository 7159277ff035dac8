// SPDX-License-Identifier: BSD-3-Clause
#include "vpcd_readers.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "node_names.h"
#include "vpcd_protocol.h"

namespace qvk::vtoken {

namespace {

// Owns a descriptor for the span of a block.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The card's answer to one message from the reader, or nothing to send.
std::optional<Bytes> answer(const Bytes &message, std::optional<CardSession> &session,
                            TokenNode &node, const CommandLog &log) {
    if (message.empty()) return std::nullopt;
    if (message.size() == 1) {
        switch (message[0]) {
        case vpcd::kPowerOff: session.reset(); break;
        case vpcd::kPowerOn:
        case vpcd::kReset: session.emplace(node.card()); break;
        case vpcd::kGetAtr: return vpcd::answer_to_reset();
        default: break;
        }
        return std::nullopt;
    }
    log.record(node.index(), message);
    if (message.size() > kMaxTransfer) return Bytes{0x67, 0x00};  // wrong length
    if (!session) session.emplace(node.card());
    return session->process(message);
}

}  // namespace

VpcdReader::VpcdReader(TokenTable &table, int index, std::uint16_t port, const CommandLog &log)
    : table_(table), index_(index), port_(port), log_(log) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0)
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    // Signals are for the file system's loop (it unmounts on SIGTERM), not
    // for the readers' threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        close(wake_fd_);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

VpcdReader::~VpcdReader() {
    stopping_ = true;
    wake();
    thread_.join();
    close(wake_fd_);
}

void VpcdReader::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
}

bool VpcdReader::wait(int timeout_ms) {
    pollfd wake_poll{wake_fd_, POLLIN, 0};
    if (poll(&wake_poll, 1, timeout_ms) > 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(wake_fd_, &count, sizeof count);
    }
    return !stopping_;
}

void VpcdReader::run() {
    const int retry_ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kReaderRetryInterval).count());
    while (!stopping_) {
        const std::shared_ptr<TokenNode> node = table_.find(index_);
        if (!node) {
            wait(-1);  // until the token is plugged in again
            continue;
        }
        const Descriptor connection(vpcd::connect_to_reader(port_));
        if (connection.get() < 0) {
            wait(retry_ms);  // the reader is gone (pcscd stopped): try again
            continue;
        }
        serve(connection.get(), node);
    }
}

void VpcdReader::serve(int socket, const std::shared_ptr<TokenNode> &node) {
    std::optional<CardSession> session;
    pollfd polled[2] = {{socket, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    while (!stopping_ && node->plugged()) {
        if (poll(polled, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (polled[1].revents != 0) {
            wait(0);
            continue;  // look at the token and at stopping_ again
        }
        if (polled[0].revents == 0) continue;
        const std::optional<Bytes> message = vpcd::read_message(socket);
        if (!message) return;  // the reader went away
        if (const auto reply = answer(*message, session, *node, log_))
            if (!vpcd::write_message(socket, *reply)) return;
    }
}

VpcdReaders::VpcdReaders(TokenTable &table, const std::vector<int> &indices, std::uint16_t port,
                         const CommandLog &log)
    : table_(table) {
    for (std::size_t k = 0; k < indices.size(); ++k)
        readers_.push_back(std::make_unique<VpcdReader>(
            table, indices[k], static_cast<std::uint16_t>(port + k), log));
    table_.on_change([this] {
        for (const auto &reader : readers_) reader->wake();
    });
}

VpcdReaders::~VpcdReaders() {
    table_.on_change({});
    readers_.clear();
}

}  // namespace qvk::vtoken
