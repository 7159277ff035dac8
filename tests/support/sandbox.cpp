// SPDX-License-Identifier: BSD-3-Clause
#include "sandbox.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qvk::test {

namespace {
bool g_private = false;

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}
}  // namespace

// Called once by main() before the tests run. The tests go on in a child
// that is process 1 of a PID namespace of its own, with a /proc of that
// namespace: a daemon that detaches itself is re-parented to the test
// process, and when the test process ends, for whatever reason, the kernel
// ends every process it started. This process only waits for the child and
// passes its exit status on; should it be killed (a test runner's time-out),
// the child dies with it.
void enter_private_namespaces() {
    if (geteuid() != 0) return;
    if (unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWPID) != 0) return;
    // Nothing mounted from here on may propagate back to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    const pid_t child = fork();
    if (child == -1) return;
    if (child != 0) {
        int status = 0;
        while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
        }
        std::fflush(nullptr);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) _exit(125);
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        std::fprintf(stderr, "cannot mount /proc in the private PID namespace: %s\n", std::strerror(errno));
        _exit(125);
    }
    g_private = true;
}

bool in_private_namespaces() { return g_private; }

void mount_tmpfs(const std::string &directory) {
    if (!g_private) throw std::logic_error("mount_tmpfs outside a private namespace");
    if (mount("tmpfs", directory.c_str(), "tmpfs", 0, "mode=0755") != 0)
        fail("mount tmpfs on " + directory);
}

void bind_mount(const std::string &source, const std::string &target) {
    if (!g_private) throw std::logic_error("bind_mount outside a private namespace");
    struct stat st{};
    if (stat(source.c_str(), &st) != 0) fail("stat " + source);
    if (access(target.c_str(), F_OK) != 0) {
        if (S_ISDIR(st.st_mode)) {
            make_directories(target);
        } else {
            const int fd = open(target.c_str(), O_CREAT | O_WRONLY, 0600);
            if (fd < 0) fail("create " + target);
            close(fd);
        }
    }
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        fail("bind " + source + " on " + target);
}

void private_directory(const std::string &directory) {
    if (access(directory.c_str(), F_OK) != 0) {
        // The nearest existing ancestor; "/" always exists.
        std::string ancestor = directory;
        do {
            const std::size_t slash = ancestor.rfind('/');
            ancestor.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
            if (slash == 0 || slash == std::string::npos) ancestor[0] = '/';
        } while (ancestor != "/" && access(ancestor.c_str(), F_OK) != 0);
        // The overlay keeps its own reference to the upper layer, so the
        // scratch tmpfs can be detached (and its directory removed) at once.
        TempDir scratch;
        mount_tmpfs(scratch.path());
        make_directories(scratch / "upper");
        make_directories(scratch / "work");
        const std::string options = "lowerdir=" + ancestor + ",upperdir=" + (scratch / "upper") +
                                    ",workdir=" + (scratch / "work");
        if (mount("overlay", ancestor.c_str(), "overlay", 0, options.c_str()) != 0)
            fail("overlay on " + ancestor);
        umount2(scratch.path().c_str(), MNT_DETACH);
        make_directories(directory);
    }
    mount_tmpfs(directory);
}

void private_dev(std::initializer_list<const char *> keep) {
    if (!g_private) throw std::logic_error("private_dev outside a private namespace");
    // Keep a handle on the real /dev while the tmpfs covers it. The bind is
    // recursive so that nodes bound into an earlier private /dev (a second
    // call in the same process) are still the nodes, not their placeholders.
    TempDir real;
    if (mount("/dev", real.path().c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        fail("bind /dev on " + real.path());
    mount_tmpfs("/dev");
    for (const char *name : keep) {
        const std::string source = real.path() + "/" + name;
        if (access(source.c_str(), F_OK) == 0) bind_mount(source, std::string("/dev/") + name);
    }
    umount2(real.path().c_str(), MNT_DETACH);
}

void make_directories(const std::string &path, unsigned mode) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) fail("mkdir " + partial);
    }
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) fail("open " + path);
    out << content;
    if (!out.flush()) fail("write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TempDir::TempDir() {
    char pattern[] = "/tmp/qvktest.XXXXXX";
    if (mkdtemp(pattern) == nullptr) fail("mkdtemp");
    path_ = pattern;
}

ReachableCopy::ReachableCopy(const std::string &file)
    : path_(dir_ / std::filesystem::path(file).filename().string()) {
    std::filesystem::copy_file(file, path_);
    if (chmod(dir_.path().c_str(), 0755) != 0 || chmod(path_.c_str(), 0755) != 0) fail("chmod");
}

TempDir::~TempDir() {
    umount2(path_.c_str(), MNT_DETACH);  // in case a test mounted over it
    nftw(path_.c_str(),
         [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

}  // namespace qvk::test
