// SPDX-License-Identifier: BSD-3-Clause
#include "keyrill_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace qvk::test {

namespace {

int exit_status_of(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_to_end(int fd) {
    std::string text;
    std::array<char, 4096> buffer{};
    ssize_t n = 0;
    while ((n = read(fd, buffer.data(), buffer.size())) > 0)
        text.append(buffer.data(), static_cast<std::size_t>(n));
    close(fd);
    return text;
}

}  // namespace

ProcessResult run_child(const std::function<void()> &body) {
    std::array<int, 2> out{}, err{};
    if (pipe(out.data()) != 0 || pipe(err.data()) != 0) throw std::runtime_error("pipe");
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        body();
        std::fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    ProcessResult result;
    // Read one after the other: the programs run here write little to standard error.
    result.out = read_to_end(out[0]);
    result.err = read_to_end(err[0]);
    result.exitStatus = exit_status_of(child);
    return result;
}

ProcessResult run_program(const std::vector<std::string> &argv) {
    return run_child([&] {
        std::vector<char *> args;
        for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    });
}

std::vector<std::string> as_owner(uid_t uid, gid_t gid, std::vector<std::string> argv) {
    std::vector<std::string> line{"setpriv", "--reuid",           std::to_string(uid),
                                  "--regid", std::to_string(gid), "--clear-groups"};
    line.insert(line.end(), argv.begin(), argv.end());
    return line;
}

void make_owned_directories(const std::string &base, const std::string &relative, uid_t uid,
                            gid_t gid) {
    std::string path = base;
    std::size_t start = 0;
    while (start < relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        path.append("/").append(relative, start, end - start);
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("mkdir " + path);
        if (chown(path.c_str(), uid, gid) != 0) throw std::runtime_error("chown " + path);
        start = end + 1;
    }
}

void create_nss_database(const std::string &directory, uid_t uid, gid_t gid) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("mkdir " + directory);
    if (chown(directory.c_str(), uid, gid) != 0) throw std::runtime_error("chown " + directory);
    const ProcessResult made = run_program(
        as_owner(uid, gid, {"certutil", "-N", "-d", "sql:" + directory, "--empty-password"}));
    if (made.exitStatus != 0) throw std::runtime_error("certutil -N: " + made.err);
}

std::string make_profile(const std::string &home, const std::string &appDir,
                         const std::string &ini, const std::string &profile, uid_t uid) {
    make_owned_directories(home, appDir, uid, uid);
    const std::string list = home + "/" + appDir + "/profiles.ini";
    write_file(list, ini);
    if (chown(list.c_str(), uid, uid) != 0) throw std::runtime_error("chown " + list);
    if (profile.empty()) return "";
    make_owned_directories(home + "/" + appDir, profile, uid, uid);
    create_nss_database(home + "/" + appDir + "/" + profile, uid, uid);
    return home + "/" + appDir + "/" + profile;
}

std::string profiles_ini(const std::string &path) {
    return "[Profile0]\nName=default\nIsRelative=1\nPath=" + path + "\n";
}

std::string in_listing_order(const std::map<std::string, std::string> &lines) {
    std::string text;
    DIR *listing = opendir("/home");
    if (listing == nullptr) throw std::runtime_error("opendir /home");
    while (const dirent *entry = readdir(listing)) {
        const auto line = lines.find(entry->d_name);
        if (line != lines.end()) text += line->second;
    }
    closedir(listing);
    return text;
}

namespace {

// The output of a listing program; a listing that fails is the test's failure.
std::string listing(const std::vector<std::string> &argv) {
    const ProcessResult listed = run_program(argv);
    if (listed.exitStatus != 0) {
        std::string line;
        for (const std::string &argument : argv) line += argument + " ";
        ADD_FAILURE() << line << "exited with " << listed.exitStatus << ": " << listed.err;
    }
    return listed.out;
}

}  // namespace

std::string list_modules(const std::string &directory, uid_t uid, gid_t gid) {
    return listing(as_owner(uid, gid, {"modutil", "-list", "-dbdir", "sql:" + directory}));
}

std::string list_certificates(const std::string &directory, uid_t uid, gid_t gid) {
    return listing(as_owner(uid, gid, {"certutil", "-L", "-d", "sql:" + directory}));
}

std::vector<std::string> files_not_owned_by(const std::string &directory, uid_t uid) {
    std::vector<std::string> foreign;
    DIR *listing = opendir(directory.c_str());
    if (listing == nullptr) throw std::runtime_error("opendir " + directory);
    while (const dirent *entry = readdir(listing)) {
        if (std::string(entry->d_name) == "..") continue;
        struct stat status {};
        const std::string path = directory + "/" + entry->d_name;
        if (lstat(path.c_str(), &status) == 0 && status.st_uid != uid) foreign.push_back(path);
    }
    closedir(listing);
    return foreign;
}

SoftHsm::SoftHsm() {
    chmod(dir_.path().c_str(), 0755);
    make_directories(dir_ / "tokens");
    write_file(dir_ / "softhsm2.conf", "directories.tokendir = " + (dir_ / "tokens") +
                                           "\nobjectstore.backend = file\nlog.level = ERROR\n");
    setenv("SOFTHSM2_CONF", (dir_ / "softhsm2.conf").c_str(), 1);
    // Attempts under a user's identity start from that user's login
    // environment: there the module finds its configuration where it looks
    // by default.
    if (in_private_namespaces()) {
        if (access("/etc/softhsm", F_OK) != 0) private_directory("/etc/softhsm");
        bind_mount(dir_.path(), "/etc/softhsm");
        bound_ = true;
    }
}

SoftHsm::~SoftHsm() {
    if (bound_) umount2("/etc/softhsm", MNT_DETACH);
}

std::string test_ca_path() {
    return KEYRILL_TEST_CA;
}

std::string database_contents(const std::string &directory) {
    return read_file(directory + "/cert9.db") + "|" + read_file(directory + "/key4.db") + "|" +
           read_file(directory + "/pkcs11.txt");
}

LyingMount::LyingMount(const std::string &directory, uid_t uid, gid_t gid, bool allowOther)
    : directory_(directory) {
    std::array<int, 2> ready{};
    if (pipe(ready.data()) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv{KEYRILL_LYING_FS, directory, std::to_string(uid),
                                  std::to_string(gid)};
    if (allowOther) argv.emplace_back("allow_other");
    daemon_ = fork();
    if (daemon_ == 0) {
        dup2(ready[1], 1);
        close(ready[0]);
        std::vector<char *> args;
        for (std::string &argument : argv) args.push_back(argument.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(ready[1]);
    std::array<char, 6> line{};
    const bool started = daemon_ > 0 && read(ready[0], line.data(), line.size()) == 6 &&
                         std::string(line.data(), line.size()) == "ready\n";
    close(ready[0]);
    if (!started) throw std::runtime_error("keyrill_lying_fs did not mount " + directory);
}

LyingMount::~LyingMount() {
    umount2(directory_.c_str(), MNT_DETACH);
    kill(daemon_, SIGKILL);
    waitpid(daemon_, nullptr, 0);
}

void mount_empty_homes() {
    mount_tmpfs("/root");
    chmod("/root", 0700);
    mount_tmpfs("/home");
}

}  // namespace qvk::test
