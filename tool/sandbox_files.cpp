// SPDX-License-Identifier: BSD-3-Clause
#include "sandbox_files.h"

#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <deque>
#include <optional>

namespace {

constexpr int kMaxLinks = 40;

// The components of a relative text; nothing when one of them is "." or "..".
std::optional<std::deque<std::string>> componentsOf(const std::string &text) {
    std::deque<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        if (part == "." || part == "..") return std::nullopt;
        if (!part.empty()) parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool visibleInSandbox(const std::string &file, const std::string &tree) {
    if (tree.empty() || tree.front() != '/' || file.size() <= tree.size() + 1 ||
        file.compare(0, tree.size(), tree) != 0 || file[tree.size()] != '/')
        return false;
    std::optional<std::deque<std::string>> rest = componentsOf(file.substr(tree.size() + 1));
    if (!rest || rest->empty()) return false;

    UniqueFd directory(open(tree.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) return false;
    int links = 0;
    while (!rest->empty()) {
        const std::string name = rest->front();
        rest->pop_front();
        UniqueFd next(openat(directory.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status {};
        if (!next || fstat(next.get(), &status) != 0) return false;
        if (S_ISLNK(status.st_mode)) {
            std::array<char, 4096> target{};
            const ssize_t length = readlinkat(next.get(), "", target.data(), target.size() - 1);
            if (length <= 0 || target[0] == '/' || ++links > kMaxLinks) return false;
            const auto parts = componentsOf(std::string(target.data(), static_cast<std::size_t>(length)));
            if (!parts) return false;
            rest->insert(rest->begin(), parts->begin(), parts->end());
            continue;
        }
        if (rest->empty()) return S_ISREG(status.st_mode);
        if (!S_ISDIR(status.st_mode)) return false;
        directory = std::move(next);
    }
    return false;  // the way ended in a directory
}
