// SPDX-License-Identifier: BSD-3-Clause
#include "login_environment.h"

#include <pwd.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// The PATH that login(1) gives a user on Debian (ENV_PATH of login.defs).
constexpr const char *kUserPath = "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games";

// The lines of a small file, read with stdio (iostreams would first set up
// the C++ locale in every child that runs this).
std::vector<std::string> linesOf(const char *path) {
    std::vector<std::string> lines;
    std::FILE *file = std::fopen(path, "re");
    if (file == nullptr) return lines;
    char *line = nullptr;
    std::size_t capacity = 0;
    for (ssize_t length; (length = getline(&line, &capacity, file)) >= 0;) {
        lines.emplace_back(line, static_cast<std::size_t>(length));
        if (!lines.back().empty() && lines.back().back() == '\n') lines.back().pop_back();
    }
    std::free(line);
    std::fclose(file);
    return lines;
}

std::string systemLanguage() {
    std::string language = "C.UTF-8";
    for (const std::string &line : linesOf("/etc/default/locale")) {
        if (line.rfind("LANG=", 0) != 0) continue;
        std::string value = line.substr(5);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!value.empty()) language = value;
    }
    return language;
}

// The block [env_start, env_end) that the kernel shows as
// /proc/self/environ: fields 50 and 51 of /proc/self/stat.
std::pair<unsigned long, unsigned long> startingBlock() {
    const std::vector<std::string> lines = linesOf("/proc/self/stat");
    if (lines.empty()) return {0, 0};
    const std::size_t name = lines.front().rfind(')');  // the command name may hold anything
    if (name == std::string::npos) return {0, 0};
    // The fields after the name, from field 3 (the state) on, each after one blank.
    const std::string &text = lines.front();
    std::size_t at = name + 1;
    unsigned long values[2] = {0, 0};
    for (int number = 3; number <= 51; ++number) {
        if (at >= text.size() || text[at] != ' ') return {0, 0};
        const std::size_t end = std::min(text.find(' ', at + 1), text.size());
        if (number >= 50) {
            const std::string field = text.substr(at + 1, end - at - 1);
            char *last = nullptr;
            values[number - 50] = std::strtoul(field.c_str(), &last, 10);
            if (field.empty() || *last != '\0') return {0, 0};
        }
        at = end;
    }
    if (values[1] < values[0]) return {0, 0};
    return {values[0], values[1]};
}

// Points /proc/self/environ at block (which lives as long as the process);
// false when the kernel does not allow it (without CAP_SYS_RESOURCE).
bool showEnvironment(const std::string &block) {
    char *copy = static_cast<char *>(std::malloc(block.size()));
    if (copy == nullptr) return false;
    std::memcpy(copy, block.data(), block.size());
    const auto start = reinterpret_cast<unsigned long>(copy);
    const unsigned long end = start + block.size();
    // The kernel keeps start <= end at every step.
    if (prctl(PR_SET_MM, PR_SET_MM_ENV_START, start, 0, 0) == 0)
        return prctl(PR_SET_MM, PR_SET_MM_ENV_END, end, 0, 0) == 0;
    if (prctl(PR_SET_MM, PR_SET_MM_ENV_END, end, 0, 0) == 0)
        return prctl(PR_SET_MM, PR_SET_MM_ENV_START, start, 0, 0) == 0;
    std::free(copy);  // /proc/self/environ still shows the old block
    return false;
}

}  // namespace

bool enterLoginEnvironment(uid_t uid, const passwd *entry, const char *home) {
    std::vector<std::pair<std::string, std::string>> variables;
    const std::string number = std::to_string(uid);
    if (entry != nullptr) {
        variables = {{"HOME", entry->pw_dir},
                     {"USER", entry->pw_name},
                     {"LOGNAME", entry->pw_name},
                     {"SHELL", entry->pw_shell[0] != '\0' ? entry->pw_shell : "/bin/sh"}};
    } else {
        variables = {{"HOME", home}, {"USER", number}, {"LOGNAME", number}, {"SHELL", "/bin/sh"}};
    }
    variables.insert(variables.begin(), {"PATH", kUserPath});
    variables.emplace_back("LANG", systemLanguage());

    // Whatever the caller's environment holds goes: the block it came in
    // (which the fork shares with the caller's) and the list.
    const auto [start, end] = startingBlock();
    if (end > start) std::memset(reinterpret_cast<void *>(start), 0, end - start);
    if (clearenv() != 0) return false;

    std::string block;
    for (const auto &[name, value] : variables) {
        if (setenv(name.c_str(), value.c_str(), 1) != 0) return false;
        block += name + "=" + value;
        block += '\0';
    }
    // Where /proc/self/environ cannot be pointed elsewhere, the new
    // environment goes into the old block when it fits (else it stays blank).
    if (!showEnvironment(block) && block.size() < end - start)
        std::memcpy(reinterpret_cast<void *>(start), block.data(), block.size());
    return true;
}
