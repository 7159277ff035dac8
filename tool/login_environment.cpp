// SPDX-License-Identifier: BSD-3-Clause
#include "login_environment.h"

#include <pwd.h>
#include <sys/prctl.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// The PATH that login(1) gives a user on Debian (ENV_PATH of login.defs).
constexpr const char *kUserPath = "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games";

std::string systemLanguage() {
    std::ifstream locale("/etc/default/locale");
    std::string language = "C.UTF-8";
    for (std::string line; std::getline(locale, line);) {
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
    std::ifstream stat("/proc/self/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t name = text.rfind(')');  // the command name may hold anything
    if (name == std::string::npos) return {0, 0};
    std::istringstream fields(text.substr(name + 1));
    std::string skipped;
    for (int field = 3; field < 50; ++field) fields >> skipped;
    unsigned long start = 0, end = 0;
    if (!(fields >> start >> end) || end < start) return {0, 0};
    return {start, end};
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

bool enterLoginEnvironment(uid_t uid, const char *home) {
    std::vector<std::pair<std::string, std::string>> variables;
    const std::string number = std::to_string(uid);
    if (const passwd *entry = getpwuid(uid)) {
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
