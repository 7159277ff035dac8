// SPDX-License-Identifier: BSD-3-Clause
#include "home_rights.h"

#include "acting_identity.h"
#include "profile_dir.h"
#include "sandbox_files.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace {

// In the child: leaves the caller's session and terminal behind, so that
// nothing run for a home (a user's own module list names libraries that NSS
// loads) can reach the administrator's terminal. Standard input, output and
// error become /dev/null; the child has nothing to print.
bool detachFromTerminal() {
    if (setsid() < 0) return false;
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) return false;
    const bool redirected = dup2(null, 0) == 0 && dup2(null, 1) == 1 && dup2(null, 2) == 2;
    if (null > 2) close(null);
    return redirected;
}

// In the child: the report pipe moves to descriptor 3, above standard input,
// output and error, which detaching replaces (a caller started without them
// leaves the pipe among them), and every other descriptor is closed. Neither
// the sweeping process's own (the listing of "/home", whose position the
// child shares, the report pipes of other homes) nor whatever its caller
// left open may reach what runs for a home. False when the pipe cannot be moved.
constexpr int kChildReportFd = 3;

bool keepOnlyReportPipe(int reportFd) {
    if (reportFd != kChildReportFd && dup2(reportFd, kChildReportFd) != kChildReportFd)
        return false;
    if (close_range(kChildReportFd + 1, ~0u, 0) != 0) {  // kernels without close_range
        const long limit = sysconf(_SC_OPEN_MAX);
        for (long fd = kChildReportFd + 1; fd < limit; ++fd) close(static_cast<int>(fd));
    }
    return true;
}

// The child's reports, each written on purpose: first how many stores it
// runs (kStores, then the count in one byte); for each store, for each of its
// profiles either kBegin (with the directory, see kBeginSize) before the work
// and kDone (kSucceeded or kFailed) after it, or kSkipped for a directory
// worked on already; then kStoreEnd and how the store ended. Only kSucceeded
// counts as success.
constexpr char kStores = 'N';
constexpr char kBegin = 'B';
constexpr char kDone = 'D';
constexpr char kSkipped = 'K';
constexpr char kStoreEnd = 'E';
constexpr char kSucceeded = 'S';
constexpr char kFailed = 'F';
constexpr char kAbsent = 'A';
constexpr char kNoProfile = 'Z';
constexpr char kHandled = 'H';
constexpr char kRefused = 'R';
// Directories are reported up to this length (they are only shown).
constexpr std::size_t kReportedPathMax = 4096;

static_assert(static_cast<std::size_t>(PROFILE_APPS.back()) == PROFILE_APPS.size() - 1,
              "a store's results are found at its number");

// A directory itself, not a link to one; also a mount that shuts root out
// (whose owners only the mount can tell, see checkPath).
bool isDirectory(const char *path) {
    return UniqueFd(open(path, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC)).get() >= 0;
}

bool writeReport(const std::string &record) {
    std::size_t done = 0;
    while (done < record.size()) {
        const ssize_t written = write(kChildReportFd, record.data() + done, record.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

bool sameRights(const ProfileAccess &a, const ProfileAccess &b) {
    return a.identity == b.identity;
}

using DirectoryKey = std::pair<dev_t, ino_t>;
// kBegin, whether a file is named (kWithFile or not), its device and inode
// numbers (eight bytes each, high byte first), the length of the directory's
// name (two bytes), then the name.
constexpr char kWithFile = '1';
constexpr std::size_t kBeginSize = 20;

void appendNumber(std::string &record, unsigned long long number, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        record += static_cast<char>((number >> shift) & 0xff);
}

unsigned long long numberAt(const std::string &record, std::size_t at, int bytes) {
    unsigned long long number = 0;
    for (int i = 0; i < bytes; ++i)
        number = number << 8 | static_cast<unsigned char>(record[at + static_cast<std::size_t>(i)]);
    return number;
}

std::optional<DirectoryKey> keyOf(const struct stat &status) {
    return DirectoryKey{status.st_dev, status.st_ino};
}

// One directory that a store names, to be worked on.
struct Target {
    std::string path;          // as the store names it
    std::string nssDirectory;  // what NSS is started on
    std::optional<DirectoryKey> key;
};

// The directories that the store names, found with the rights taken: the
// ones root checked, or (with a user's rights) those that the profile list
// names or the database directory. False when the store is not there.
bool findTargets(const char *home, ProfileApp app, const std::optional<ProfileAccess> &access,
                 std::vector<Target> &targets) {
    const ProfileLocation location = profileLocationOf(app);
    bool present = false;
    struct stat status {};
    if (access && access->identity.kind == PathOwner::Kind::Root) {
        present = access->present;
        for (const CheckedProfile &profile : access->profiles) {
            Target target{profile.path, "", std::nullopt};
            if (profile.directory) {
                target.nssDirectory = "/proc/self/fd/" + std::to_string(profile.directory.get());
                if (fstat(profile.directory.get(), &status) == 0) target.key = keyOf(status);
            }
            targets.push_back(std::move(target));
        }
    } else if (location.listFile != nullptr) {
        const ProfileDirs named = findProfileDirs(home, app);
        present = named.listed;
        for (const std::string &path : named.directories)
            targets.push_back({path, path,
                               stat(path.c_str(), &status) == 0 ? keyOf(status) : std::nullopt});
    } else {
        // A database that is not there is never created.
        const std::string database = std::string(home) + location.parent;
        present = stat(database.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        if (present) targets.push_back({database, database, keyOf(status)});
    }
    if (location.listFile == nullptr)
        for (Target &target : targets)
            if (!target.nssDirectory.empty()) target.nssDirectory.insert(0, "sql:");
    return present;
}

// What has been worked on already in the home.
struct Handled {
    HandledDirectories directories;

    bool first(const Target &target) {
        return target.key ? directories.files.insert(*target.key).second
                          : directories.names.insert(target.path).second;
    }
};

// In the child, with the store's rights taken: its profiles from the one
// after the first skip on, each reported. False when a report cannot be written.
bool runStore(const char *home, ProfileApp app, const std::optional<ProfileAccess> &access,
              const ProfileOperation &operation, const char *requiredFile, std::size_t skip,
              Handled &handled) {
    const ProfileLocation location = profileLocationOf(app);
    std::vector<Target> targets;
    if (!findTargets(home, app, access, targets)) return writeReport({kStoreEnd, kAbsent});
    if (targets.empty()) return writeReport({kStoreEnd, kNoProfile});
    if (location.sandbox != nullptr && requiredFile != nullptr &&
        !visibleInSandbox(requiredFile, std::string(home) + location.sandbox))
        return writeReport({kStoreEnd, kRefused});
    for (std::size_t index = skip; index < targets.size(); ++index) {
        const Target &target = targets[index];
        if (!handled.first(target)) {
            if (!writeReport({kSkipped})) return false;
            continue;
        }
        const std::string shown = target.path.substr(0, kReportedPathMax);
        std::string begin{kBegin, target.key ? kWithFile : '0'};
        appendNumber(begin, target.key ? target.key->first : 0, 8);
        appendNumber(begin, target.key ? target.key->second : 0, 8);
        appendNumber(begin, shown.size(), 2);
        if (!writeReport(begin + shown)) return false;
        const int result = operation(home, app, target.nssDirectory.c_str());
        if (!writeReport({kDone, result == 1 ? kSucceeded : kFailed})) return false;
    }
    return writeReport({kStoreEnd, kHandled});
}

// In the child: the stores from PROFILE_APPS[first] on that take the same
// rights as that one, with those rights; the first skip profiles of the
// first store were gone through by an earlier child. What the other stores
// need is decided afresh by the child that runs them.
void runStores(const char *home, HomeRights rights, const ProfileOperation &operation,
               const char *requiredFile, std::size_t first, std::size_t skip,
               const HandledDirectories &earlier) {
    // A caller that is not root has no rights to give away.
    const bool root = geteuid() == 0;
    if (root && rights == HomeRights::Owner && !isDirectory(home)) {
        std::string report{kStores, static_cast<char>(PROFILE_APPS.size() - first)};
        for (std::size_t index = first; index < PROFILE_APPS.size(); ++index)
            report += {kStoreEnd, kAbsent};
        writeReport(report);
        return;
    }
    std::array<std::optional<ProfileAccess>, PROFILE_APPS.size()> access;
    std::size_t last = first + 1;
    // A walk to any store stops where the walk to a user's home stops: below
    // it, every store is that user's without walking again.
    const PathOwner homeOwner = root ? ownerOfPath(home) : PathOwner{};
    if (root && homeOwner.kind == PathOwner::Kind::User) {
        for (std::size_t index = first; index < PROFILE_APPS.size(); ++index)
            access.at(index) = ProfileAccess{homeOwner, false, {}};
        last = PROFILE_APPS.size();
    } else if (root) {
        access.at(first) = checkProfileAccess(home, PROFILE_APPS.at(first));
        for (; last < PROFILE_APPS.size(); ++last) {
            ProfileAccess next = checkProfileAccess(home, PROFILE_APPS.at(last));
            if (!sameRights(next, *access.at(first))) break;
            access.at(last) = std::move(next);
        }
    } else {
        last = PROFILE_APPS.size();
    }
    if (!writeReport({kStores, static_cast<char>(last - first)})) return;
    if (access.at(first) && !takeIdentity(access.at(first)->identity, home)) return;
    Handled handled{earlier};
    for (std::size_t index = first; index < last; ++index)
        if (!runStore(home, PROFILE_APPS.at(index), access.at(index), operation, requiredFile,
                      index == first ? skip : 0, handled))
            return;
}

[[noreturn]] void runChild(const char *home, HomeRights rights, const ProfileOperation &operation,
                           const char *requiredFile, std::size_t first, std::size_t skip,
                           const HandledDirectories &earlier, int reportFd) {
    // _exit: the parent's stdio buffers and exit handlers are not the child's.
    if (keepOnlyReportPipe(reportFd) && detachFromTerminal())
        runStores(home, rights, operation, requiredFile, first, skip, earlier);
    _exit(0);
}

}  // namespace

bool StoreResults::succeeded() const {
    return std::any_of(profiles.begin(), profiles.end(),
                       [](const ProfileResult &profile) { return profile.result == 1; });
}

bool HomeResults::anySucceeded() const {
    return std::any_of(stores.begin(), stores.end(),
                       [](const StoreResults &store) { return store.succeeded(); });
}

HomeAttempts::HomeAttempts(const char *home, HomeRights rights, const ProfileOperation &operation,
                           const char *requiredFile, std::chrono::milliseconds time_limit,
                           const InheritedMemory *inherited)
    : home_(home),
      rights_(rights),
      operation_(operation),
      requiredFile_(requiredFile != nullptr ? requiredFile : ""),
      deadline_(std::chrono::steady_clock::now() + time_limit),
      inherited_(inherited) {
    start();
}

HomeAttempts::~HomeAttempts() {
    if (!settled_) giveUp();
    reap();
}

void HomeAttempts::start() {
    count_ = 0;
    reported_ = 0;
    passed_ = skip_;
    working_ = false;
    received_.clear();
    std::array<int, 2> fds{};
    if (pipe2(fds.data(), O_CLOEXEC) != 0) {
        settled_ = true;
        return;
    }
    std::fflush(stdout);
    child_ = fork();
    if (child_ == 0) {
        if (inherited_ != nullptr) inherited_->take();
        close(fds[0]);
        runChild(home_.c_str(), rights_, operation_,
                 requiredFile_.empty() ? nullptr : requiredFile_.c_str(), next_, skip_, handled_,
                 fds[1]);
    }
    close(fds[1]);
    reportFd_ = fds[0];
    if (child_ < 0 || fcntl(reportFd_, F_SETFL, O_NONBLOCK) != 0) giveUp();
}

void HomeAttempts::reap() {
    while (child_ > 0 && waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    if (reportFd_ >= 0) close(reportFd_);
    reportFd_ = -1;
}

void HomeAttempts::giveUp() {
    // Late, or unable to go on: the child and whatever it started in its
    // session are done, and everything without a report has failed.
    if (child_ > 0) {
        kill(-child_, SIGKILL);
        kill(child_, SIGKILL);
    }
    reap();
    if (!settled_ && count_ != 0 && !working_ && next_ + reported_ < PROFILE_APPS.size()) {
        StoreResults &store = results_.stores.at(next_ + reported_);
        if (store.profiles.empty()) store.state = StoreResults::State::Lost;
    }
    settled_ = true;
}

// Takes the complete records received so far; false for anything that is no
// report of this protocol.
bool HomeAttempts::take() {
    std::size_t at = 0;
    while (at < received_.size() && !settled_) {
        const char type = received_[at];
        const std::size_t left = received_.size() - at;
        if (count_ == 0) {
            if (type != kStores) return false;
            if (left < 2) break;
            const auto count = static_cast<unsigned char>(received_[at + 1]);
            if (count == 0 || count > PROFILE_APPS.size() - next_) return false;
            count_ = count;
            at += 2;
            continue;
        }
        if (reported_ == count_) break;  // nothing more is expected from this child
        StoreResults &store = results_.stores.at(next_ + reported_);
        if (type == kSkipped) {
            if (working_) return false;
            ++passed_;
            at += 1;
        } else if (type == kBegin) {
            if (working_) return false;
            if (left < kBeginSize) break;
            const std::size_t length = numberAt(received_, at + kBeginSize - 2, 2);
            if (length > kReportedPathMax) return false;
            if (left < kBeginSize + length) break;
            std::string directory = received_.substr(at + kBeginSize, length);
            if (received_[at + 1] == kWithFile)
                handled_.files.insert({static_cast<dev_t>(numberAt(received_, at + 2, 8)),
                                       static_cast<ino_t>(numberAt(received_, at + 10, 8))});
            else
                handled_.names.insert(directory);
            store.state = StoreResults::State::Handled;
            store.profiles.push_back({std::move(directory), 0, false});
            working_ = true;
            ++passed_;
            at += kBeginSize + length;
        } else if (type == kDone) {
            if (!working_) return false;
            if (left < 2) break;
            store.profiles.back().result = received_[at + 1] == kSucceeded ? 1 : 0;
            store.profiles.back().reported = true;
            working_ = false;
            at += 2;
        } else if (type == kStoreEnd) {
            if (working_) return false;
            if (left < 2) break;
            switch (received_[at + 1]) {
                case kAbsent: store.state = StoreResults::State::Absent; break;
                case kNoProfile: store.state = StoreResults::State::NoProfile; break;
                case kHandled: store.state = StoreResults::State::Handled; break;
                case kRefused: store.state = StoreResults::State::Refused; break;
                default: return false;
            }
            ++reported_;
            passed_ = 0;
            skip_ = 0;
            at += 2;
            // The child ends by itself once its last store is reported.
            if (next_ + reported_ == PROFILE_APPS.size()) settled_ = true;
        } else {
            return false;
        }
    }
    received_.erase(0, at);
    return true;
}

// The child has ended. When it had stores left, the profile it was working
// on ended it (its code exited, crashed or was killed) and failed, and the
// rest of that store gets a child of its own; a store it ended in without a
// profile at work is lost. The stores after it get a child of their own, and
// so do those that need other rights.
void HomeAttempts::ended() {
    reap();
    if (settled_) return;
    const std::size_t current = next_ + reported_;
    if (count_ != 0 && reported_ == count_) {
        next_ = current;  // all it was to run; the next stores need other rights
        skip_ = 0;
    } else if (count_ != 0 && working_) {
        next_ = current;
        skip_ = passed_;
    } else {
        StoreResults &store = results_.stores.at(current);
        if (store.profiles.empty()) store.state = StoreResults::State::Lost;
        next_ = current + 1;
        skip_ = 0;
    }
    if (next_ >= PROFILE_APPS.size())
        settled_ = true;
    else
        start();
}

bool HomeAttempts::progress() {
    while (child_ > 0 && reportFd_ >= 0) {
        std::array<char, 4096> bytes{};
        const ssize_t n = read(reportFd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            ended();  // its end of the pipe closed with it
            continue;
        }
        received_.append(bytes.data(), static_cast<std::size_t>(n));
        if (!take()) giveUp();  // no report of this protocol
    }
    // Past the deadline, a child that has not reported is given up, and one
    // that reported but did not end is ended.
    if (child_ > 0 && std::chrono::steady_clock::now() >= deadline_) giveUp();
    return settled_;
}

HomeResults runProfileAttempts(const char *home, HomeRights rights,
                               const ProfileOperation &operation, const char *requiredFile,
                               std::chrono::milliseconds time_limit) {
    HomeAttempts attempts(home, rights, operation, requiredFile, time_limit);
    while (!attempts.progress()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            attempts.deadline() - std::chrono::steady_clock::now());
        pollfd ready{attempts.pollFd(), POLLIN, 0};
        poll(&ready, 1, static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 60000)));
    }
    return attempts.results();
}
