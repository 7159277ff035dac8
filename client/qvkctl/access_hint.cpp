// SPDX-License-Identifier: BSD-3-Clause
#include "access_hint.h"

#include <grp.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "qvk_segment.h"

namespace qvkctl {

void print_access_hint() {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        // key shmid perms size cpid lpid nattch uid gid ...
        std::istringstream fields(line);
        long key = 0, id = 0, size = 0, cpid = 0, lpid = 0, attached = 0, uid = 0, gid = 0;
        std::string perms;
        if (!(fields >> key >> id >> perms >> size >> cpid >> lpid >> attached >> uid >> gid)) return;
        if (key != SHM_KEY) continue;
        const unsigned long mode = std::strtoul(perms.c_str(), nullptr, 8) & 0777;
        if ((mode & 0007) != 0) return;
        std::printf("access: qvkserver serves only root and the members of group ");
        if (const group *entry = getgrgid(static_cast<gid_t>(gid)); entry != nullptr)
            std::printf("'%s'", entry->gr_name);
        else
            std::printf("%ld", gid);
        std::printf(" (mode %03lo)\n", mode);
        return;
    }
}

}  // namespace qvkctl
