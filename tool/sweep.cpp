// SPDX-License-Identifier: BSD-3-Clause
#include "sweep.h"

#include "acting_identity.h"
#include "path_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct DirClose {
    void operator()(DIR *directory) const { closedir(directory); }
};
using DirStream = std::unique_ptr<DIR, DirClose>;

// Text as it may go to the administrator's terminal: printable ASCII as it
// is, a backslash doubled, every other byte as \ooo.
std::string shown(const std::string &text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            std::array<char, 5> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\%03o", byte);
            out += escaped.data();
        }
    }
    return out;
}

bool isDotEntry(const char *name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// File systems that give no type in their listings (NFS without
// READDIRPLUS, XFS without ftype, many FUSE file systems) leave it to a
// look-up, which does not follow a symbolic link.
bool isDirectoryEntry(DIR *listing, const dirent &entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
    struct stat status {};
    return fstatat(dirfd(listing), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(status.st_mode);
}

// The homes in the order of the sweep, several at once; each home's line is
// printed once it and every home before it are settled.
class ParallelSweep {
public:
    ParallelSweep(const SweepCommand &command, const SweepLimits &limits)
        : command_(command),
          inherited_(InheritedMemory::ofThisProcess()),
          timeLimit_(limits.timeLimit),
          jobs_(limits.jobs != 0 ? limits.jobs : defaultSweepJobs()) {}
    ParallelSweep(const ParallelSweep &) = delete;
    ParallelSweep &operator=(const ParallelSweep &) = delete;

    // entryName: the name for the user line; none for "/root".
    void start(const char *home, HomeRights rights, std::optional<std::string> entryName) {
        while (running() >= jobs_) waitForAny();
        homes_.push_back({home, std::move(entryName),
                          std::make_unique<HomeAttempts>(home, rights, command_.operation,
                                                         command_.requiredFile, timeLimit_,
                                                         &inherited_)});
        printSettled();
    }

    void finish() {
        while (!homes_.empty() || !ending_.empty()) {
            waitForAny();
            printSettled();
        }
    }

private:
    struct Home {
        std::string path;
        std::optional<std::string> entryName;
        std::unique_ptr<HomeAttempts> attempts;
    };

    std::size_t running() const {
        return static_cast<std::size_t>(std::count_if(
            homes_.begin(), homes_.end(), [](const Home &home) { return !home.attempts->settled(); }));
    }

    // Waits until a child reports, ends or reaches its deadline, and takes
    // what arrived from every child: each one is reaped as soon as it has
    // ended, whether or not its line is due yet.
    void waitForAny() {
        std::vector<HomeAttempts *> children;
        for (const Home &home : homes_) children.push_back(home.attempts.get());
        for (const std::unique_ptr<HomeAttempts> &attempts : ending_) children.push_back(attempts.get());
        std::erase_if(children, [](const HomeAttempts *attempts) { return attempts->reaped(); });
        if (children.empty()) return;
        std::vector<pollfd> ready;
        auto earliest = std::chrono::steady_clock::time_point::max();
        for (const HomeAttempts *attempts : children) {
            ready.push_back({attempts->pollFd(), POLLIN, 0});
            earliest = std::min(earliest, attempts->deadline());
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            earliest - std::chrono::steady_clock::now());
        poll(ready.data(), ready.size(),
             static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 60000)));
        for (HomeAttempts *attempts : children) attempts->progress();
    }

    void printSettled() {
        while (!homes_.empty() && homes_.front().attempts->settled()) {
            Home &home = homes_.front();
            printStoreLines(home);
            if (home.attempts->results().anySucceeded()) {
                if (home.entryName)
                    command_.printUserLine(home.entryName->c_str());
                else
                    command_.printRootLine();
            }
            if (!home.attempts->reaped()) ending_.push_back(std::move(home.attempts));
            homes_.pop_front();
        }
        std::erase_if(ending_, [](const std::unique_ptr<HomeAttempts> &attempts) {
            return attempts->reaped();
        });
    }

    void printStoreLines(const Home &home) const {
        const std::string user = shown(home.entryName ? *home.entryName : "root");
        const HomeResults &results = home.attempts->results();
        for (ProfileApp app : PROFILE_APPS) {
            const StoreResults &store = results.of(app);
            const ProfileLocation location = profileLocationOf(app);
            std::string directory = home.path + location.parent;
            if (location.listFile != nullptr) directory.pop_back();  // the list's directory
            const auto line = [&](const std::string &path, const std::string &outcome) {
                std::fprintf(stderr, "Keyrill: %s: %s: %s: %s\n", user.c_str(), location.name,
                             shown(path).c_str(), outcome.c_str());
            };
            switch (store.state) {
                case StoreResults::State::Refused:
                    line(directory, "not added: " + shown(command_.requiredFile != nullptr ? command_.requiredFile : "") +
                                        " lies outside " + shown(home.path + location.sandbox) +
                                        ", the only files the sandbox is sure to see");
                    break;
                case StoreResults::State::Absent:
                    break;
                case StoreResults::State::NoProfile:
                    if (command_.listProfiles) line(directory, "no profile named");
                    break;
                case StoreResults::State::Lost:
                    if (command_.listProfiles) line(directory, "failed (ended without a report)");
                    break;
                case StoreResults::State::Handled:
                    if (!command_.listProfiles) break;
                    for (const ProfileResult &profile : store.profiles)
                        line(profile.directory, !profile.reported      ? "failed (ended without a report)"
                                                : profile.result == 1 ? "done"
                                                                      : "failed");
                    break;
            }
        }
    }

    const SweepCommand &command_;
    // Noted once the libraries every child uses are loaded (see sweepAllHomes).
    const InheritedMemory inherited_;
    const std::chrono::milliseconds timeLimit_;
    const std::size_t jobs_;
    std::deque<Home> homes_;
    std::vector<std::unique_ptr<HomeAttempts>> ending_;  // printed, not yet reaped
};

}  // namespace

unsigned defaultSweepJobs() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int count = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
    // One more than the CPUs: no CPU waits while the sweep starts the next
    // child or a finished one ends.
    return std::max(2u, static_cast<unsigned>(count) + 1);
}

void sweepAllHomes(const SweepCommand &command, const SweepLimits &limits) {
    prepareIdentityLookups();
    ParallelSweep sweep(command, limits);
    // Root's own home first; its line is printed first.
    sweep.start("/root", HomeRights::Root, std::nullopt);

    const DirStream homes(opendir("/home"));
    if (homes) {
        while (const dirent *entry = readdir(homes.get())) {
            if (isDotEntry(entry->d_name) || !isDirectoryEntry(homes.get(), *entry)) continue;
            std::array<char, HOME_PATH_SIZE> home{};
            if (!joinText(home, {"/home/", entry->d_name})) continue;
            sweep.start(home.data(), HomeRights::Owner, std::string(entry->d_name));
        }
    }
    sweep.finish();
}
