// SPDX-License-Identifier: BSD-3-Clause
#include "path_owner.h"

#include "user_mounts.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <deque>
#include <optional>
#include <vector>

namespace {

constexpr int kMaxLinks = 40;

constexpr PathOwner kRoot{};
constexpr PathOwner kNobody{PathOwner::Kind::Nobody, 0, 0};

void pushComponents(std::deque<std::string> &rest, const std::string &path) {
    std::deque<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    rest.insert(rest.begin(), parts.begin(), parts.end());
}

bool openToOthers(const struct stat &status) {
    return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Opens one component below dir without following it. A component with more
// to come is asked for as a directory, which also mounts an automounted one;
// a link there is then opened as the link.
UniqueFd openComponent(int dir, const std::string &name, bool more) {
    constexpr int kFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    if (more) {
        UniqueFd directory(openat(dir, name.c_str(), kFlags | O_DIRECTORY));
        if (directory || errno != ENOTDIR) return directory;
    }
    return UniqueFd(openat(dir, name.c_str(), kFlags));
}

class Walk {
public:
    CheckedPath run(const std::string &path) {
        if (path.empty() || path[0] != '/') return {kNobody, {}};
        UniqueFd top(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!top) return {kNobody, {}};
        if (const auto verdict = enter(top)) return {*verdict, {}};
        dirs_.push_back({std::move(top), sticky_});

        std::deque<std::string> rest;
        pushComponents(rest, path);
        while (!rest.empty()) {
            const std::string name = rest.front();
            rest.pop_front();
            if (name == ".") continue;
            if (name == "..") {
                // The directory reached never is a link, so this is its real parent.
                if (dirs_.size() > 1) dirs_.pop_back();
                sticky_ = dirs_.back().sticky;
                continue;
            }
            UniqueFd next = openComponent(dirs_.back().fd.get(), name, !rest.empty());
            if (!next) {
                // Missing: only who may write the directory could create it.
                return {errno == ENOENT && !sticky_ ? kRoot : kNobody, {}};
            }
            if (const auto verdict = enter(next)) return {*verdict, {}};
            if (S_ISLNK(status_.st_mode)) {
                if (++links_ > kMaxLinks) return {kNobody, {}};
                std::array<char, 4096> target{};
                const ssize_t length = readlinkat(next.get(), "", target.data(), target.size() - 1);
                if (length <= 0) return {kNobody, {}};
                const std::string text(target.data(), static_cast<std::size_t>(length));
                pushComponents(rest, text);
                if (text[0] == '/') {
                    dirs_.resize(1);
                    sticky_ = dirs_.front().sticky;
                }
                continue;
            }
            if (!S_ISDIR(status_.st_mode)) {
                if (!rest.empty()) return {kNobody, {}};  // no directory to go on in
                return {sticky_ ? kNobody : kRoot, std::move(next)};
            }
            dirs_.push_back({std::move(next), sticky_});
        }
        if (sticky_) return {kNobody, {}};
        return {kRoot, std::move(dirs_.back().fd)};
    }

private:
    struct Directory {
        UniqueFd fd;
        bool sticky;
    };

    // Checks an opened component. A verdict ends the walk; otherwise the
    // component is root's and nobody else may change what lies below it, but
    // for the existing entries of a sticky directory (sticky_).
    std::optional<PathOwner> enter(const UniqueFd &fd) {
        const std::optional<bool> fuse = onFuse(fd.get());
        if (!fuse) return kNobody;
        if (*fuse) {
            const std::optional<FuseMounter> mounter = fuseMounterOf(fd.get());
            if (!mounter || mounter->uid == 0) return kNobody;
            return PathOwner{PathOwner::Kind::User, mounter->uid, mounter->gid};
        }
        if (fstat(fd.get(), &status_) != 0) return kNobody;
        if (status_.st_uid != 0)
            return PathOwner{PathOwner::Kind::User, status_.st_uid, status_.st_gid};
        if (S_ISLNK(status_.st_mode)) return std::nullopt;  // a link's own mode means nothing
        sticky_ = false;
        if (openToOthers(status_)) {
            // Anyone who may write it could swap what lies below: nobody's.
            if (!S_ISDIR(status_.st_mode) || (status_.st_mode & S_ISVTX) == 0) return kNobody;
            sticky_ = true;
        }
        return std::nullopt;
    }

    std::vector<Directory> dirs_;  // from "/" to the directory reached
    struct stat status_ {};
    // The directory reached is root's and others may write it, but its
    // sticky bit keeps its existing entries.
    bool sticky_ = false;
    int links_ = 0;
};

}  // namespace

CheckedPath checkPath(const std::string &path) {
    return Walk().run(path);
}

PathOwner ownerOfPath(const std::string &path) {
    return checkPath(path).owner;
}
