// SPDX-License-Identifier: BSD-3-Clause
// The built qvkserver against what any local user can do to what every user
// can reach: the name of the old lock queue, the client semaphore set, the
// handles; and a start beside a predecessor that is still dying.
#include <fcntl.h>
#include <grp.h>
#include <mqueue.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "daemon_test.h"
#include "qvkclient.h"
#include "raw_requester.h"

using namespace qvk::test;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kNobody = 65534;
constexpr const char *kOldLockQueue = "/qvkserver";  // what earlier builds locked
const Bytes kApdu = hex("00 B0 00 00 02");

int client_set() { return semget(SEM_CLIENT_KEY, 0, 0); }

// Runs body in a child process as user nobody; the child's exit status is body's.
pid_t as_nobody(const std::function<int()> &body) {
    const pid_t child = fork();
    if (child == 0) {
        umask(0);
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(125);
        _exit(body());
    }
    return child;
}

int exit_status(pid_t child);

// Whether this process can become another user (not so in a user namespace
// that maps root alone, as under the 32-bit stage's emulation).
bool other_user_available() { return exit_status(as_nobody([] { return 0; })) == 0; }

#define REQUIRE_OTHER_USER()                                                                   \
    do {                                                                                       \
        if (!other_user_available())                                                           \
            GTEST_SKIP() << "needs a second user (nobody, uid 65534), which this user namespace " \
                            "does not map";                                                    \
    } while (0)

int exit_status(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Opens (making it when missing) the old lock queue, as a user may.
int open_old_queue(int mode) {
    mq_attr attributes{};
    attributes.mq_maxmsg = 1;
    attributes.mq_msgsize = 1;
    return mq_open(kOldLockQueue, O_CREAT | O_RDWR, mode, &attributes);
}

// "<state> <ppid>" of a process, from /proc/<pid>/stat.
bool state_and_parent(pid_t pid, char &state, pid_t &parent) {
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 2));
    return static_cast<bool>(fields >> state >> parent);
}

// Detached daemons that still run: this process's children named qvkserver
// (a detached daemon is re-parented to this process, process 1 of its PID
// namespace) that are no zombies.
std::vector<pid_t> running_daemons() {
    std::vector<pid_t> found;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        char state = 0;
        pid_t parent = 0;
        if (pid <= 0 || !state_and_parent(pid, state, parent) || parent != getpid() || state == 'Z') continue;
        if (read_file("/proc/" + std::to_string(pid) + "/comm") == "qvkserver\n") found.push_back(pid);
    }
    return found;
}

std::string status_field(pid_t pid, const std::string &name) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":\t", 0) == 0) return line.substr(name.size() + 2);
    return "";
}

std::uint32_t status_of(const Bytes &block) {
    const Response answer = parse_response(block);
    std::uint32_t status = 0;
    if (answer.payload.size() >= 4) std::memcpy(&status, answer.payload.data() + answer.payload.size() - 4, 4);
    return status;
}

std::uint32_t handle_of(const Bytes &block) {
    const Response opened = parse_response(block);
    std::uint32_t handle = 0;
    if (opened.payload.size() == 4) std::memcpy(&handle, opened.payload.data(), 4);
    return handle;
}

// A request block that names its requester, as libqvkclient posts them.
Bytes from(pid_t requester, Bytes request) {
    const Bytes word = le32(static_cast<std::uint32_t>(requester));
    std::copy_n(word.begin(), REQ_REQUESTER_SIZE, request.begin() + REQ_REQUESTER_OFFSET);
    return request;
}

bool take_turn() {
    sembuf take[2] = {{0, 0, IPC_NOWAIT}, {0, 1, SEM_UNDO}};
    return semop(client_set(), take, 2) == 0;
}
bool give_turn() {
    sembuf give{0, -1, SEM_UNDO | IPC_NOWAIT};
    return semop(client_set(), &give, 1) == 0;
}

class Hardening : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped()) return;
        install_stand_in(StandIn::udk, QVK_PLUGIN_DIR);
        mq_unlink(kOldLockQueue);  // left by an earlier case (the IPC namespace is this process's)
    }
    const StandInControl one_token = StandInControl()
                                         .devices("udk", {"/dev/QVUsbKey0"})
                                         .open("udk", "/dev/QVUsbKey0", {3})
                                         .answer("udk", 0x9000, "01 02");

    std::size_t transmits_logged() const {
        std::size_t count = 0;
        for (const std::string &line : calls()) count += line.find(" transmit ") != std::string::npos;
        return count;
    }
};

// Nobody made the old lock queue and holds its lock; root starts and serves
// all the same, also without any capability (as the service runs it).
TEST_F(Hardening, ALockSquattedByAnotherUserKeepsNoDaemonFromStarting) {
    REQUIRE_OTHER_USER();
    int ready[2], done[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    const pid_t squatter = as_nobody([&] {
        close(done[1]);
        const int queue = open_old_queue(0600);
        if (queue < 0 || flock(queue, LOCK_EX) != 0) return 1;
        // Nothing of root's lock is within its reach either.
        if (mkdir("/run/qvkserver", 0777) == 0 || open("/run/qvkserver/x", O_CREAT | O_RDWR, 0666) >= 0) return 2;
        char byte = 0;
        return write(ready[1], "r", 1) == 1 && read(done[0], &byte, 1) >= 0 ? 0 : 3;
    });
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the squatter failed: " << exit_status(squatter);

    for (const bool capabilities : {false, true}) {
        SCOPED_TRACE(capabilities ? "root" : "root without capabilities");
        DaemonProcess &started = start(one_token, {.without_capabilities = !capabilities});
        if (!started.wait_until_serving()) {
            ADD_FAILURE() << "qvkserver did not start serving: " << started.standard_error();
            continue;
        }
        EXPECT_EQ(status_field(daemon->pid(), "CapEff") == "0000000000000000", !capabilities);
        RawRequester requester;
        EXPECT_EQ(parse_response(requester.exchange(enum_request())).length, 5u + DEV_PATH_SLOT_SIZE);
    }

    close(done[1]);
    EXPECT_EQ(exit_status(squatter), 0);
    for (int fd : {ready[0], done[0]}) close(fd);
}

// Several starters at once, beside a lock queue another user made: in every
// round exactly one daemon goes on.
TEST_F(Hardening, ConcurrentStartsLeaveExactlyOneDaemon) {
    REQUIRE_OTHER_USER();
    constexpr int kRounds = 15;
    constexpr int kStarters = 6;
    const char *chosen = std::getenv("QVK_TEST_SERVER");
    const std::string program = chosen != nullptr && *chosen != '\0' ? chosen : QVK_SERVER_PATH;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(exit_status(as_nobody([] { return open_old_queue(0666) >= 0 ? 0 : 1; })), 0);
        int barrier[2];
        ASSERT_EQ(pipe2(barrier, O_CLOEXEC), 0);
        std::vector<pid_t> starters;
        for (int i = 0; i < kStarters; ++i) {
            const pid_t starter = fork();
            if (starter == 0) {
                close(barrier[1]);
                char byte = 0;
                if (read(barrier[0], &byte, 1) != 0 || chdir(work.path().c_str()) != 0) _exit(126);
                const int null = open("/dev/null", O_RDWR);
                for (int descriptor = 0; descriptor <= 2; ++descriptor) dup2(null, descriptor);
                signal(SIGPIPE, SIG_DFL);
                char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
                char *envp[] = {nullptr};
                execve(program.c_str(), argv, envp);
                _exit(127);
            }
            starters.push_back(starter);
        }
        close(barrier[0]);
        close(barrier[1]);  // all of them go at once
        int started = 0;
        for (const pid_t starter : starters) started += exit_status(starter) == 0;
        EXPECT_EQ(started, 1);
        std::this_thread::sleep_for(100ms);
        const std::vector<pid_t> daemons = running_daemons();
        EXPECT_EQ(daemons.size(), 1u);
        for (const pid_t daemon_pid : daemons) {
            kill(daemon_pid, SIGKILL);
            waitpid(daemon_pid, nullptr, 0);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (HasFailure()) break;
    }
}

// A predecessor killed while one of its threads is still busy holds its lock
// until that thread ends: the next start waits for it instead of giving up.
TEST_F(Hardening, AStartWaitsForADyingPredecessor) {
    struct stat ipc{};
    ASSERT_EQ(stat("/proc/self/ns/ipc", &ipc), 0);
    const std::string lock = "/run/qvkserver/ipc-" + std::to_string(ipc.st_ino) + ".lock";
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const pid_t dying = fork();
    if (dying == 0) {
        mkdir("/run/qvkserver", 0700);
        const int file = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
        const int queue = open_old_queue(0600);  // an earlier build's lock as well
        const std::string pid = std::to_string(getpid()) + "\n";
        if (file < 0 || flock(file, LOCK_EX) != 0 || queue < 0 || flock(queue, LOCK_EX) != 0 ||
            write(file, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size()))
            _exit(1);
        // The main thread ends (the process shows as a zombie) while another
        // lingers, as in a daemon killed amid a device call.
        pthread_t lingering;
        pthread_create(&lingering, nullptr, [](void *) -> void * {
            std::this_thread::sleep_for(2500ms);
            _exit(0);
        }, nullptr);
        if (write(ready[1], "r", 1) != 1) _exit(1);
        syscall(SYS_exit, 0);  // this thread alone, without unwinding the test's frames
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_TRUE(eventually([&] { return status_field(dying, "State").rfind("Z", 0) == 0; }, 5s));

    const auto before = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    EXPECT_EQ(daemon->starter_status(), 0) << daemon->standard_error();
    EXPECT_GT(std::chrono::steady_clock::now() - before, 1s) << "it did not wait for the lock";
    EXPECT_EQ(exit_status(dying), 0);
    close(ready[0]);
}

// A handle says nothing of any other, and one that another known requester
// opened is not open to this one: a guess reaches nothing, nor does a close.
TEST_F(Hardening, AGuessedHandleReachesNothing) {
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    int reported[2], go[2];
    ASSERT_EQ(pipe2(reported, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    const pid_t victim = fork();
    if (victim == 0) {
        qvk_client *client = nullptr;
        qvk_device_list devices;
        std::uint32_t handle = 0;
        if (qvk_connect(&client) != QVK_OK || qvk_list(client, &devices) != QVK_OK ||
            qvk_open(client, "/dev/QVUsbKey0", &handle) != QVK_OK ||
            write(reported[1], &handle, sizeof handle) != sizeof handle)
            _exit(1);
        char byte = 0;
        if (read(go[0], &byte, 1) != 1) _exit(1);
        std::uint8_t answer[16];
        std::size_t length = sizeof answer;
        std::uint32_t status = 0;
        _exit(qvk_transmit(client, handle, kApdu.data(), kApdu.size(), answer, &length, &status) == QVK_OK ? 0 : 2);
    }
    std::uint32_t theirs = 0;
    ASSERT_EQ(read(reported[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));

    qvk_client *client = nullptr;
    ASSERT_EQ(qvk_connect(&client), QVK_OK);
    qvk_device_list devices;
    std::uint32_t mine = 0;
    ASSERT_EQ(qvk_list(client, &devices), QVK_OK);
    ASSERT_EQ(qvk_open(client, "/dev/QVUsbKey0", &mine), QVK_OK);
    std::vector<std::uint32_t> guesses{theirs};  // as if it had been seen in the segment
    for (std::uint32_t step = 1; step <= 16; ++step) guesses.insert(guesses.end(), {mine + step, mine - step});
    RawRequester raw;  // takes no turn: the daemon cannot tell who it is
    for (const std::uint32_t guess : guesses) {
        std::uint8_t answer[16];
        std::size_t length = sizeof answer;
        std::uint32_t status = 0;
        EXPECT_EQ(qvk_transmit(client, guess, kApdu.data(), kApdu.size(), answer, &length, &status),
                  QVK_ERR_HANDLE_NOT_OPEN) << guess;
        if (guess != theirs) {
            EXPECT_EQ(status_of(raw.exchange(transmit_request(guess, kApdu, 2))), QVK_STATUS_NOT_OPEN);
        }
    }
    EXPECT_EQ(qvk_close(client, theirs), QVK_ERR_HANDLE_NOT_OPEN) << "answered as for a handle not open";
    EXPECT_EQ(transmits_logged(), 0u);
    EXPECT_EQ(calls().back(), "udk open /dev/QVUsbKey0 -> 3");

    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(exit_status(victim), 0) << "the victim's handle did not survive";
    EXPECT_EQ(transmits_logged(), 1u);
    qvk_disconnect(client);
    for (int fd : {reported[0], reported[1], go[0], go[1]}) close(fd);
}

// Any process may operate on the client set. A -1 and +1 at once beside a
// requester neither keeps the requester's turn from being given back nor
// makes anybody else the opener of its handle.
TEST_F(Hardening, AStrangersSemaphoreOperationCostsNoRequester) {
    REQUIRE_OTHER_USER();
    ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
    const pid_t stranger = as_nobody([] {
        sembuf touch[2] = {{0, -1, IPC_NOWAIT}, {0, 1, 0}};
        const int set = semget(SEM_CLIENT_KEY, 0, 0);
        for (;;) {
            semop(set, touch, 2);
            std::this_thread::sleep_for(20us);
        }
        return 0;
    });
    const pid_t requester = fork();
    if (requester == 0) {
        qvk_client *client = nullptr;
        qvk_device_list devices;
        std::uint32_t handle = 0;
        if (qvk_connect(&client) != QVK_OK || qvk_set_timeout(client, 3000) != QVK_OK) _exit(1);
        for (int i = 0; i < 300; ++i) {
            std::uint8_t answer[16];
            std::size_t length = sizeof answer;
            std::uint32_t status = 0;
            if (qvk_list(client, &devices) != QVK_OK || qvk_open(client, "/dev/QVUsbKey0", &handle) != QVK_OK ||
                qvk_transmit(client, handle, kApdu.data(), kApdu.size(), answer, &length, &status) != QVK_OK ||
                qvk_close(client, handle) != QVK_OK)
                _exit(2);
        }
        _exit(0);
    }
    EXPECT_EQ(exit_status(requester), 0);
    kill(stranger, SIGKILL);
    exit_status(stranger);
    EXPECT_EQ(semctl(client_set(), 0, GETVAL), 0);
}

// The opener of a handle that the daemon records cannot be a process that
// merely was the set's last operator: when that process dies, the handle
// stays its requester's.
TEST_F(Hardening, ALastOperatorThatDiesTakesNoHandleWithIt) {
    struct Case {
        const char *what;
        bool with_turn;  // the requester holds the turn and names itself
    };
    for (const Case c : {Case{"a stranger's -1 +1 during the requester's turn", true},
                         Case{"an open without the turn after its last holder exited", false}}) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(start_serving(one_token));
        const std::size_t earlier = calls().size();
        RawRequester requester;
        requester.exchange(enum_request());
        if (c.with_turn) {
            ASSERT_TRUE(take_turn());
        }
        const pid_t last = fork();
        if (last == 0) {
            sembuf touch[2] = {{0, -1, IPC_NOWAIT}, {0, 1, 0}};
            sembuf turn[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
            sembuf give{0, -1, SEM_UNDO};
            const bool done = c.with_turn ? semop(client_set(), touch, 2) == 0
                                          : semop(client_set(), turn, 2) == 0 && semop(client_set(), &give, 1) == 0;
            _exit(done ? 0 : 1);
        }
        ASSERT_EQ(exit_status(last), 0);
        ASSERT_EQ(semctl(client_set(), 0, GETPID), last);
        const std::uint32_t handle =
            handle_of(requester.exchange(c.with_turn ? from(getpid(), open_request("/dev/QVUsbKey0"))
                                                     : open_request("/dev/QVUsbKey0")));
        if (c.with_turn) {
            ASSERT_TRUE(give_turn());
        }
        ASSERT_NE(handle, 0u);
        std::this_thread::sleep_for(1500ms);  // past the daemon's look for dead openers
        EXPECT_EQ(status_of(requester.exchange(transmit_request(handle, kApdu, 2))), 0x9000u);
        const std::vector<std::string> logged = calls();
        for (std::size_t i = earlier; i < logged.size(); ++i)
            EXPECT_EQ(logged[i].find(" close "), std::string::npos) << logged[i];
    }
}

}  // namespace
