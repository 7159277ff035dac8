// SPDX-License-Identifier: BSD-3-Clause
// qvkctl: the command-line client of qvkserver.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "exit_status.h"

namespace qvkctl {

namespace {

constexpr const char *kUsage =
    "Usage: qvkctl [--timeout SECONDS] COMMAND [ARGUMENTS]\n"
    "\n"
    "Talks to qvkserver, the token access daemon, through its shared memory segment.\n"
    "\n"
    "Commands:\n"
    "  list [--json]        print the device path of every token qvkserver serves,\n"
    "                       one per line, or as {\"devices\": [...]}\n"
    "  send PATH APDU...    open the token at PATH, exchange each APDU (hex, e.g.\n"
    "                       00A40000023F00) in turn and print each answer as its data\n"
    "                       in hex and its status word (\"9000\"), then close it\n"
    "  status               show qvkserver's IPC objects and time one round trip\n"
    "\n"
    "Options:\n"
    "  --timeout SECONDS    time allowed for each request (waiting for the turn and\n"
    "                       for the answer); default 60 for send, 10 otherwise;\n"
    "                       also --timeout=SECONDS\n"
    "  -h, --help           show this text\n"
    "Options may also follow the command.\n"
    "\n"
    "Exit status:\n"
    "  0  success (whatever status words the token answered)\n"
    "  1  other failure (system error, out of memory)\n"
    "  2  bad command line\n"
    "  3  qvkserver is not running\n"
    "  4  qvkserver did not answer in time\n"
    "  5  qvkserver's answer was malformed\n"
    "  6  the device is not listed, or could not be opened\n"
    "  7  the token gave no answer, the handle was lost, the close was refused,\n"
    "     or qvkserver restarted during a request\n"
    "  8  permission denied on qvkserver's IPC objects\n";

bool parse_seconds(const std::string &text, std::chrono::milliseconds &timeout) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 4294967.0)
        return false;
    timeout = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
    return true;
}

}  // namespace

int usage_error(const std::string &message) {
    std::fprintf(stderr, "qvkctl: %s\nTry 'qvkctl --help'.\n", message.c_str());
    return EXIT_USAGE;
}

int run(int argc, char **argv) {
    Options options;
    std::string command;
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            std::fputs(kUsage, stdout);
            return EXIT_OK;
        }
        if (argument == "--timeout" || argument.starts_with("--timeout=")) {
            std::string value;
            if (argument == "--timeout") {
                if (i + 1 >= argc) return usage_error("--timeout needs a number of seconds");
                value = argv[++i];
            } else {
                value = argument.substr(std::strlen("--timeout="));
            }
            std::chrono::milliseconds timeout{};
            if (!parse_seconds(value, timeout))
                return usage_error("--timeout needs a positive number of seconds, not '" + value + "'");
            options.timeout = timeout;
        } else if (command.empty()) {
            command = argument;
        } else {
            arguments.push_back(argument);
        }
    }
    if (command.empty()) return usage_error("no command given");
    if (command == "list") return command_list(options, arguments);
    if (command == "send") return command_send(options, arguments);
    if (command == "status") return command_status(options, arguments);
    return usage_error("unknown command '" + command + "'");
}

}  // namespace qvkctl

int main(int argc, char **argv) { return qvkctl::run(argc, argv); }
