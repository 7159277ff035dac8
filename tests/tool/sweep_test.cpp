// SPDX-License-Identifier: BSD-3-Clause
// The sweep over "/root" and "/home" with a stand-in operation that records
// the rights it runs with, in private mounts over /root and /home.
#include "keyrill_fixture.h"
#include "home_rights.h"
#include "sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>

using namespace qvk::test;

namespace {

const char *appName(ProfileApp app) {
    return app == ProfileApp::Firefox ? "Firefox" : "Thunderbird";
}

// "home app uid gid groups", the line the stand-in records for one attempt.
std::string rightsLine(const std::string &home, ProfileApp app) {
    std::ostringstream line;
    line << home << " " << appName(app) << " " << getuid() << " " << getgid();
    gid_t groups[64];
    const int count = getgroups(64, groups);
    for (int i = 0; i < count; ++i) line << (i ? "," : " ") << groups[i];
    return line.str() + "\n";
}

// The descriptors open above standard input, output and error.
int descriptorsAboveStandard() {
    int open = 0;
    for (int fd = 3; fd < 1024; ++fd) open += fcntl(fd, F_GETFD) != -1;
    return open;
}

// "detached " when the attempt runs outside the caller's session, writes to
// /dev/null and holds no descriptor of the sweeping process but the pipe it
// reports through.
std::string detachment(pid_t callerSession) {
    struct stat out {}, null {};
    const bool detached = getsid(0) != callerSession && fstat(1, &out) == 0 &&
                          stat("/dev/null", &null) == 0 && out.st_rdev == null.st_rdev &&
                          descriptorsAboveStandard() == 1;
    return detached ? "detached " : "attached ";
}

// A Firefox and a Thunderbird profile list in home, each naming one profile.
void makeProfileLists(const std::string &home, uid_t uid, gid_t gid) {
    for (const char *app : {".mozilla/firefox", ".thunderbird"}) {
        make_owned_directories(home, app, uid, gid);
        const std::string list = home + "/" + app + "/profiles.ini";
        write_file(list, profiles_ini("p"));
        if (chown(list.c_str(), uid, gid) != 0) std::abort();
    }
}

// A home with the given owner and both profile lists, whose attempts
// succeed for the apps marked.
void makeHome(const std::string &name, uid_t uid, gid_t gid, const std::string &markers) {
    make_owned_directories("/home", name, uid, gid);
    makeProfileLists("/home/" + name, uid, gid);
    std::istringstream words(markers);
    for (std::string marker; words >> marker;) write_file("/home/" + name + "/" + marker, "");
}

std::multiset<std::string> sortedLines(const std::string &text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

}  // namespace

TEST(KeyrillSweep, RootThenEveryHomeDirectoryInListingOrderWithItsOwnersRights) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    mount_tmpfs("/root");
    mount_tmpfs("/home");
    TempDir logDir;
    chmod(logDir.path().c_str(), 0777);
    const std::string log = logDir / "attempts";
    write_file(log, "");
    chmod(log.c_str(), 0666);  // every owner's attempt appends to it

    write_file("/root/ok-Firefox", "");
    makeProfileLists("/root", 0, 0);
    makeHome("alice", 12345, 12345, "ok-Thunderbird");
    makeHome("bob", 12346, 100, "");
    makeHome(".dot", 12347, 12347, "ok-Firefox ok-Thunderbird");
    makeHome("root", 0, 0, "ok-Firefox");
    makeHome("crash", 12349, 12349, "ok-Firefox crash");
    makeHome(std::string(249, 'a'), 12348, 12348, "ok-Firefox");  // "/home/" + 249 = 255
    makeHome(std::string(250, 'b'), 12348, 12348, "ok-Firefox");  // one too long
    ASSERT_EQ(symlink("/home/alice", "/home/link"), 0);
    write_file("/home/file", "");

    const pid_t callerSession = getsid(0);
    const SweepCommand command{
        [&](const char *home, ProfileApp app, const char *) {
            const std::string line = detachment(callerSession) + rightsLine(home, app);
            const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
            if (write(fd, line.data(), line.size()) < 0) std::abort();
            close(fd);
            if (access((std::string(home) + "/crash").c_str(), F_OK) == 0) std::abort();
            return access((std::string(home) + "/ok-" + appName(app)).c_str(), F_OK) == 0 ? 1 : 0;
        },
        [] { std::fputs("root line\n", stdout); },
        [](const char *name) { std::printf("user line %s\n", name); },
    };
    // A descriptor the caller left open must not reach any home's attempt.
    const int inherited = open("/home", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(inherited, 0);
    const std::string printed = capture_stdout([&] { sweepAllHomes(command); });
    close(inherited);

    // Expected: the homes in the order of the listing; a user's attempts run as
    // the directory's owner and group, with that group alone as supplementary
    // group, a root-owned home's with the caller's rights; each outside the
    // caller's session. An attempt that dies does not cost the other its turn.
    struct Owner {
        uid_t uid;
        gid_t gid;
        bool printed;
    };
    const std::map<std::string, Owner> homes{
        {"alice", {12345, 12345, true}},  {"bob", {12346, 100, false}},
        {".dot", {12347, 12347, true}},   {"root", {0, 0, true}},
        {"crash", {12349, 12349, false}}, {std::string(249, 'a'), {12348, 12348, true}}};
    std::string expectedOutput = "root line\n";
    std::string expectedLog = "detached " + rightsLine("/root", ProfileApp::Firefox) +
                              "detached " + rightsLine("/root", ProfileApp::Thunderbird);
    DIR *listing = opendir("/home");
    while (const dirent *entry = readdir(listing)) {
        const auto home = homes.find(entry->d_name);
        if (home == homes.end()) continue;
        const Owner &owner = home->second;
        if (owner.printed) expectedOutput += "user line " + home->first + "\n";
        const std::string path = "/home/" + home->first, gid = std::to_string(owner.gid);
        for (ProfileApp app : {ProfileApp::Firefox, ProfileApp::Thunderbird}) {
            expectedLog += "detached ";
            expectedLog += owner.uid == 0
                               ? rightsLine(path, app)
                               : path + " " + appName(app) + " " + std::to_string(owner.uid) + " " +
                                     gid + " " + gid + "\n";
        }
    }
    closedir(listing);
    EXPECT_EQ(printed, expectedOutput);
    // Homes are worked on side by side, so their attempts interleave in the log.
    EXPECT_EQ(sortedLines(read_file(log)), sortedLines(expectedLog));
}

TEST(KeyrillSweep, ResultsArriveWhenTheCallerStartedWithoutStandardStreams) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    mount_tmpfs("/root");
    mount_tmpfs("/home");
    makeProfileLists("/root", 0, 0);
    makeHome("alice", 12345, 12345, "");
    const SweepCommand command{
        [](const char *, ProfileApp, const char *) { return 1; },
        [] { std::fputs("root line\n", stdout); },
        [](const char *name) { std::printf("user line %s\n", name); },
    };
    // With standard input and error closed the report pipe takes their
    // numbers, which each home's child points at /dev/null.
    const std::string printed = capture_stdout([&] {
        close(0);
        close(2);
        sweepAllHomes(command);
    });
    EXPECT_EQ(printed, "root line\nuser line alice\n");
}

TEST(KeyrillSweep, AHomeWhoseAttemptsNeverEndIsGivenUpAfterItsTimeLimit) {
    // A module can hang, or a named pipe that nobody writes stall an attempt:
    // the child is killed and what it had not reported counts as failed.
    TempDir dir;
    makeProfileLists(dir.path(), 0, 0);
    const std::string fifo = dir / "stuck";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    const HomeResults results = runProfileAttempts(
        dir.path().c_str(), HomeRights::Root,
        [&](const char *, ProfileApp, const char *) {
            std::FILE *stuck = std::fopen(fifo.c_str(), "r");  // blocks: no writer
            if (stuck != nullptr) std::fclose(stuck);
            return 1;
        },
        nullptr, std::chrono::milliseconds(300));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(results.anySucceeded());
    EXPECT_LT(waited, std::chrono::seconds(30)) << "the sweep waited for the stuck home";

    // A home that answers in time is not affected by the limit.
    const HomeResults quick = runProfileAttempts(
        dir.path().c_str(), HomeRights::Root,
        [](const char *, ProfileApp app, const char *) { return app == ProfileApp::Thunderbird ? 1 : 0; },
        nullptr, std::chrono::milliseconds(30000));
    EXPECT_FALSE(quick.of(ProfileApp::Firefox).succeeded());
    EXPECT_TRUE(quick.of(ProfileApp::Thunderbird).succeeded());
}

namespace {

// The process that runs sweepOf's sweep, as its homes' attempts see it.
pid_t g_sweepingProcess = -1;

// A sweep over homes h00 to h<count-1> (owners 12400 and up) whose stand-in
// operation runs body and prints the user line "<name>".
std::string sweepOf(int count, const std::function<int(const std::string &home, ProfileApp app)> &body,
                    const SweepLimits &limits) {
    mount_tmpfs("/root");
    mount_tmpfs("/home");
    makeProfileLists("/root", 0, 0);
    for (int i = 0; i < count; ++i) {
        const std::string name = (i < 10 ? "h0" : "h") + std::to_string(i);
        makeHome(name, 12400 + static_cast<uid_t>(i), 12400 + static_cast<gid_t>(i), "");
    }
    static std::function<int(const std::string &, ProfileApp)> g_body;
    g_body = body;
    const SweepCommand command{
        [](const char *home, ProfileApp app, const char *) { return g_body(home, app); },
        [] { std::fputs("root\n", stdout); },
        [](const char *name) { std::printf("%s\n", name); },
    };
    return capture_stdout([&] {
        g_sweepingProcess = getpid();
        sweepAllHomes(command, limits);
    });
}

// The names of the homes that marks selects, in the order /home lists them.
std::string listed(const std::function<bool(const std::string &name)> &marks) {
    std::string text;
    DIR *listing = opendir("/home");
    while (const dirent *entry = readdir(listing))
        if (entry->d_name[0] != '.' && marks(entry->d_name)) text += std::string(entry->d_name) + "\n";
    closedir(listing);
    return text;
}

std::string nameOf(const std::string &home) { return home.substr(home.rfind('/') + 1); }

}  // namespace

TEST(KeyrillSweep, SideBySidePrintsExactlyWhatOneAfterTheOtherPrints) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    // Earlier homes take longer, so later ones settle first; every third
    // home fails, and root succeeds.
    const auto body = [](const std::string &home, ProfileApp app) {
        if (home == "/root") return 1;
        const int index = std::stoi(nameOf(home).substr(1));
        if (app == ProfileApp::Firefox) usleep(static_cast<useconds_t>((16 - index) * 3000));
        return index % 3 == 0 ? 0 : 1;
    };
    const std::string sequential = sweepOf(16, body, {kHomeTimeLimit, 1});
    const std::string expected =
        "root\n" + listed([](const std::string &name) { return std::stoi(name.substr(1)) % 3 != 0; });
    EXPECT_EQ(sequential, expected);
    for (unsigned jobs : {0u, 2u, 5u, 64u}) {
        umount2("/home", MNT_DETACH);
        umount2("/root", MNT_DETACH);
        EXPECT_EQ(sweepOf(16, body, {kHomeTimeLimit, jobs}), sequential) << jobs << " at once";
    }
    EXPECT_GE(defaultSweepJobs(), 2u);
}

TEST(KeyrillSweep, HomesAreWorkedOnAtOnceAndAStuckOneHoldsBackNoOther) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    TempDir meet;
    chmod(meet.path().c_str(), 0777);
    // h00 and h01 each wait for the other to have started: only a sweep that
    // works on both at once sees both succeed. h02 and h03 never return.
    const auto body = [&](const std::string &home, ProfileApp app) {
        const std::string name = nameOf(home);
        if (name == "h02" || name == "h03") pause();
        if (app != ProfileApp::Firefox || (name != "h00" && name != "h01")) return 1;
        write_file(meet / name, "");
        const std::string other = meet / (name == "h00" ? "h01" : "h00");
        for (int wait = 0; wait < 200 && access(other.c_str(), F_OK) != 0; ++wait) usleep(50000);
        return access(other.c_str(), F_OK) == 0 ? 1 : 0;
    };
    const std::string printed = sweepOf(8, body, {std::chrono::milliseconds(1500), 2});
    EXPECT_EQ(printed, "root\n" + listed([](const std::string &name) {
                           return name != "h02" && name != "h03";
                       }));
}

namespace {

// The field after the command name in /proc/<pid>/stat: state, then parent.
bool statOf(const std::string &pid, char &state, pid_t &parent) {
    const std::string text = read_file("/proc/" + pid + "/stat");
    const std::size_t name = text.rfind(')');
    if (name == std::string::npos) return false;
    std::istringstream fields(text.substr(name + 1));
    return static_cast<bool>(fields >> state >> parent);
}

}  // namespace

TEST(KeyrillSweep, HomesThatEndedAreReapedWhileAnEarlierOneIsStillRunning) {
    QVK_REQUIRE_PRIVATE_NAMESPACES();
    // The first listed home takes its time; the others end at once, but their
    // lines wait for its line. Meanwhile it counts the sweep's children that
    // have ended and not been reaped.
    TempDir meet;
    chmod(meet.path().c_str(), 0777);
    const auto body = [&](const std::string &home, ProfileApp app) {
        const std::string first = listed([](const std::string &) { return true; });
        if (app != ProfileApp::Firefox || nameOf(home) + "\n" != first.substr(0, first.find('\n') + 1))
            return 1;
        usleep(1500000);
        char state = 0;
        pid_t parent = 0;
        int zombies = 0;
        DIR *processes = opendir("/proc");
        while (const dirent *entry = readdir(processes))
            if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])) &&
                statOf(entry->d_name, state, parent) && parent == g_sweepingProcess && state == 'Z')
                ++zombies;
        closedir(processes);
        write_file(meet / "zombies", std::to_string(zombies));
        return 1;
    };
    const std::string printed = sweepOf(8, body, {kHomeTimeLimit, 2});
    EXPECT_EQ(printed, "root\n" + listed([](const std::string &) { return true; }));
    EXPECT_EQ(read_file(meet / "zombies"), "0");
}
