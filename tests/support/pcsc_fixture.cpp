// SPDX-License-Identifier: BSD-3-Clause
#include "pcsc_fixture.h"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace qvk::test {

namespace {

constexpr const char *kPcscd = "/usr/sbin/pcscd";
constexpr const char *kVpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
constexpr const char *kPcscdSocket = "/run/pcscd/pcscd.comm";
constexpr auto kStartTimeout = std::chrono::seconds(10);

// The stanza of the vsmartcard-vpcd package: DEVICENAME /dev/null means
// "listen for the card", on port CHANNELID (0x8C7B = 35963) and the next.
constexpr const char *kReaderConf =
    "FRIENDLYNAME \"Virtual PCD\"\n"
    "DEVICENAME   /dev/null:0x8C7B\n"
    "LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"
    "CHANNELID    0x8C7B\n";

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool socket_accepts(const char *path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    const bool accepted = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
}

}  // namespace

bool pcsc_available() {
    return in_private_namespaces() && access(kPcscd, X_OK) == 0 && access(kVpcdDriver, R_OK) == 0;
}

void enter_private_network() {
    if (unshare(CLONE_NEWNET) != 0) fail("unshare(CLONE_NEWNET)");
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    close(fd);
    if (!up) fail("bring up lo");
    mount_tmpfs("/run");
}

PcscDaemon::PcscDaemon(bool vpcd_readers) {
    write_file(directory_ / "vpcd", vpcd_readers ? kReaderConf : "");
    start();
}

PcscDaemon::~PcscDaemon() { stop(); }

void PcscDaemon::start() {
    if (pid_ > 0) return;
    const std::string config = directory_ / "vpcd";
    const std::string log = directory_ / "pcscd.log";
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (output >= 0) {
            dup2(output, STDOUT_FILENO);
            dup2(output, STDERR_FILENO);
        }
        execl(kPcscd, kPcscd, "--foreground", "--config", config.c_str(), nullptr);
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!socket_accepts(kPcscdSocket)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("pcscd ended at start: " + output());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            throw std::runtime_error("pcscd did not start in time: " + output());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void PcscDaemon::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

std::string PcscDaemon::output() const { return read_file(directory_ / "pcscd.log"); }

}  // namespace qvk::test
