// SPDX-License-Identifier: BSD-3-Clause
#include "path_owner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <deque>

namespace {

constexpr int kMaxLinks = 40;

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

std::string parentOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string childOf(const std::string &path, const std::string &name) {
    return path == "/" ? "/" + name : path + "/" + name;
}

bool openToOthers(const struct stat &status) {
    return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

PathOwner userOf(const struct stat &status) {
    return {PathOwner::Kind::User, status.st_uid, status.st_gid};
}

constexpr PathOwner kRoot{};
constexpr PathOwner kNobody{PathOwner::Kind::Nobody, 0, 0};

}  // namespace

PathOwner ownerOfPath(const std::string &path) {
    if (path.empty() || path[0] != '/') return kNobody;

    // trusted: everything walked so far is root's. sticky: the directory
    // reached is root's and others may write it, but its sticky bit keeps
    // its root-owned entries root's.
    std::string current = "/";
    bool trusted = true;
    bool sticky = false;
    // trusted only ever turns false.
    auto enter = [&](const struct stat &status) {
        sticky = false;
        if (!openToOthers(status)) return;
        if (S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0)
            sticky = true;
        else
            trusted = false;
    };
    struct stat status {};
    if (lstat("/", &status) != 0) return kNobody;
    if (status.st_uid != 0) return userOf(status);
    enter(status);

    std::deque<std::string> rest;
    pushComponents(rest, path);
    int links = 0;
    while (!rest.empty()) {
        const std::string name = rest.front();
        rest.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            // current never holds a link, so its parent is the real one.
            current = parentOf(current);
            if (lstat(current.c_str(), &status) != 0) return kNobody;
            enter(status);
            continue;
        }
        const std::string next = childOf(current, name);
        if (lstat(next.c_str(), &status) != 0) return trusted && !sticky ? kRoot : kNobody;
        if (status.st_uid != 0) return userOf(status);
        if (S_ISLNK(status.st_mode)) {
            if (!trusted || ++links > kMaxLinks) return kNobody;
            std::array<char, 4096> target{};
            const ssize_t length = readlink(next.c_str(), target.data(), target.size() - 1);
            if (length <= 0) return kNobody;
            const std::string text(target.data(), static_cast<std::size_t>(length));
            pushComponents(rest, text);
            if (text[0] == '/') {
                current.assign(1, '/');  // not = "/", which GCC 12 wrongly warns about
                if (lstat("/", &status) != 0) return kNobody;
                enter(status);
            }
            continue;
        }
        current = next;
        enter(status);
    }
    return trusted && !sticky ? kRoot : kNobody;
}
