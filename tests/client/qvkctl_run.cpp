// SPDX-License-Identifier: BSD-3-Clause
#include "qvkctl_run.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"

namespace qvk::test {

namespace {

// Another user runs a copy that it can reach, whoever may enter the build tree.
const std::string &reachable_qvkctl() {
    static const ReachableCopy copy(QVKCTL_PATH);
    return copy.path();
}

}  // namespace

QvkctlRun run_qvkctl(const std::vector<std::string> &arguments, unsigned as_user) {
    const char *program = as_user != 0 ? reachable_qvkctl().c_str() : QVKCTL_PATH;
    TempDir dir;
    const std::string out_path = dir / "out";
    const std::string err_path = dir / "err";
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        if (as_user != 0 && (setgroups(0, nullptr) != 0 || setgid(as_user) != 0 || setuid(as_user) != 0))
            _exit(125);
        std::vector<char *> argv{const_cast<char *>(program)};
        for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    QvkctlRun run;
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = read_file(out_path);
    run.err = read_file(err_path);
    return run;
}

}  // namespace qvk::test
