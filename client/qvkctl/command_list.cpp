// SPDX-License-Identifier: BSD-3-Clause
// qvkctl list [--json]: the device paths qvkserver lists, one per line, or
// as a JSON object {"devices": [...]}.
#include <cstdio>
#include <string>

#include "commands.h"
#include "exit_status.h"
#include "session.h"

namespace qvkctl {

namespace {

constexpr std::chrono::seconds kDefaultTimeout{10};

// A JSON string literal. Control characters and bytes outside ASCII are
// written as \u00XX, so the output is valid JSON whatever a path holds.
std::string json_string(const char *text) {
    std::string quoted = "\"";
    for (const char *p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

}  // namespace

int command_list(const Options &options, const Arguments &arguments) {
    bool json = false;
    for (const std::string &argument : arguments) {
        if (argument == "--json") json = true;
        else return usage_error("list: unknown argument '" + argument + "'");
    }
    Session session;
    qvk_device_list devices;
    if (const int listed = connect_and_list(session, options.timeout.value_or(kDefaultTimeout), devices);
        listed != EXIT_OK)
        return listed;

    if (json) {
        std::string line = "{\"devices\": [";
        for (unsigned i = 0; i < devices.count; ++i) {
            if (i > 0) line += ", ";
            line += json_string(devices.paths[i]);
        }
        std::printf("%s]}\n", line.c_str());
    } else {
        for (unsigned i = 0; i < devices.count; ++i) std::printf("%s\n", devices.paths[i]);
    }
    return EXIT_OK;
}

}  // namespace qvkctl
