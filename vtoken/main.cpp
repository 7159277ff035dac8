// SPDX-License-Identifier: BSD-3-Clause
// qvkvtoken: a virtual token reader on FUSE, standing in for the token's
// kernel driver so that the plug-in and the daemon run without hardware.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "command_log.h"
#include "file_system.h"
#include "mount_checks.h"
#include "options.h"
#include "token_table.h"
#include "vpcd_readers.h"

using namespace qvk::vtoken;

namespace {

int fail(const std::string &message) {
    std::fprintf(stderr, "qvkvtoken: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    try {
        options = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError &error) {
        std::fprintf(stderr, "qvkvtoken: %s\nTry 'qvkvtoken --help'.\n", error.what());
        return 2;
    }
    if (options.help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("qvkvtoken %s\n", QVK_VERSION);
        return 0;
    }
    if (const auto problem = fuse_device_problem()) return fail(*problem);
    if (const auto problem = mountpoint_problem(options.mountpoint)) return fail(*problem);

    try {
        const CommandLog log = options.log_path.empty() ? CommandLog() : CommandLog(options.log_path);
        TokenTable table(options.files);
        for (const int index : options.nodes) table.plug(index);
        for (const NodeFault &fault : options.faults) table.set_fault(fault.node, fault.fault);
        std::unique_ptr<VpcdReaders> readers;  // stopped before the table and the log go
        return serve(options, table, log, [&] {
            if (options.vpcd_port)
                readers = std::make_unique<VpcdReaders>(table, options.nodes, *options.vpcd_port, log);
        });
    } catch (const std::exception &error) {
        return fail(error.what());
    }
}
