// SPDX-License-Identifier: BSD-3-Clause
#include "srv_instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *kRunDirectory = "/run/qvkserver";
// A killed daemon lets go of its lock only once every thread has ended, and
// one blocked in a device may take a while: the start right after a
// `kill -9` waits that long for a holder that is dying.
constexpr int kGraceSteps = 250;
constexpr long kGraceStepNs = 20'000'000;  // 250 x 20 ms = 5 s

int g_lock = -1;

// The run directory, made here when the service manager did not make it.
// It must be a directory of this user that nobody else may write.
int open_run_directory() {
    if (mkdir(kRunDirectory, 0700) != 0 && errno != EEXIST) return -1;
    const int directory = open(kRunDirectory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) return -1;
    struct stat status{};
    if (fstat(directory, &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != geteuid() ||
        (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(directory);
        return -1;
    }
    return directory;
}

// The lock file of this IPC namespace: one daemon per namespace, also when
// several share /run. Without /proc, one per run directory.
void lock_file_name(char (&name)[64]) {
    struct stat ipc{};
    if (stat("/proc/self/ns/ipc", &ipc) == 0)
        std::snprintf(name, sizeof name, "ipc-%llu.lock", static_cast<unsigned long long>(ipc.st_ino));
    else
        std::snprintf(name, sizeof name, "instance.lock");
}

// The lock file, a regular file of this user with no access for others.
int open_lock_file() {
    const int directory = open_run_directory();
    if (directory < 0) return -1;
    char name[64];
    lock_file_name(name);
    const int file = openat(directory, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    close(directory);
    if (file < 0) return -1;
    struct stat status{};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        status.st_nlink != 1 || ((status.st_mode & 077) != 0 && fchmod(file, 0600) != 0)) {
        close(file);
        return -1;
    }
    return file;
}

void write_holder(int file, pid_t pid) {
    char text[24];
    const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(pid));
    if (ftruncate(file, 0) != 0) return;
    [[maybe_unused]] const ssize_t written = pwrite(file, text, static_cast<std::size_t>(length), 0);
}

// The process the lock file names, or 0.
pid_t noted_holder(int file) {
    char text[24] = {};
    if (pread(file, text, sizeof text - 1, 0) <= 0) return 0;
    char *end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 && pid < 0x400000 ? static_cast<pid_t>(pid) : 0;
}

// A signal mask from a line of /proc/<pid>/status ("SigPnd:\t0000000000000100").
unsigned long long mask_after(const char *status, const char *label) {
    const char *line = std::strstr(status, label);
    return line == nullptr ? 0 : std::strtoull(line + std::strlen(label), nullptr, 16);
}

// Whether the holder serves: it exists, it is no zombie and no SIGKILL
// waits for it. A holder that is not known yet (the file names the starter,
// or an earlier run's daemon) counts as dying.
bool holder_serves(int file) {
    const pid_t holder = noted_holder(file);
    if (holder == 0) return false;
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(holder));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char status[2048] = {};
    const ssize_t got = read(fd, status, sizeof status - 1);
    close(fd);
    if (got <= 0) return false;
    const char *state = std::strstr(status, "State:\t");
    if (state == nullptr || state[7] == 'Z' || state[7] == 'X' || state[7] == 'x') return false;
    const unsigned long long kill_bit = 1ull << (SIGKILL - 1);
    return ((mask_after(status, "SigPnd:\t") | mask_after(status, "ShdPnd:\t")) & kill_bit) == 0;
}

}  // namespace

srv_lock_result srv_lock_instance() noexcept {
    const int file = open_lock_file();
    if (file < 0) return SRV_LOCK_FAILED;
    for (int step = 0;; ++step) {
        if (flock(file, LOCK_EX | LOCK_NB) == 0) {
            g_lock = file;
            write_holder(file, getpid());
            return SRV_LOCK_HELD;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (step == kGraceSteps || holder_serves(file)) {
            close(file);
            return SRV_LOCK_TAKEN;
        }
        const timespec pause{0, kGraceStepNs};
        nanosleep(&pause, nullptr);
    }
    close(file);
    return SRV_LOCK_FAILED;
}

void srv_lock_note_holder() noexcept {
    if (g_lock >= 0) write_holder(g_lock, getpid());
}
