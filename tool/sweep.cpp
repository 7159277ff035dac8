#include "sweep.h"

#include "path_text.h"

#include <dirent.h>

#include <array>
#include <cstring>
#include <memory>

namespace {

struct DirClose {
    void operator()(DIR *directory) const { closedir(directory); }
};
using DirStream = std::unique_ptr<DIR, DirClose>;

bool isDotEntry(const char *name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

}  // namespace

void sweepAllHomes(const SweepCommand &command) {
    // Root's own profiles are worked on as root.
    if (runProfileAttempts("/root", HomeRights::Root, command.operation).anySucceeded())
        command.printRootLine();

    const DirStream homes(opendir("/home"));
    if (!homes) return;
    while (const dirent *entry = readdir(homes.get())) {
        if (entry->d_type != DT_DIR || isDotEntry(entry->d_name)) continue;
        std::array<char, HOME_PATH_SIZE> home{};
        if (!joinText(home, {"/home/", entry->d_name})) continue;
        if (runProfileAttempts(home.data(), HomeRights::Owner, command.operation).anySucceeded())
            command.printUserLine(entry->d_name);
    }
}
