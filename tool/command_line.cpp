// SPDX-License-Identifier: BSD-3-Clause
#include "command_line.h"

#include "commands.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <span>

namespace {

constexpr const char *kUsageText =
    "  Usage: Keyrill CMD modulename [modulefilepath]\n"
    "         Keyrill CMD certificatefilepath\n"
    "\n"
    "  CMD:\n"
    "       -add      add PKCS#11 module for all users\n"
    "       -del      delete PKCS#11module for all users\n"
    "       -reg      register root certificates for all users\n"
    "\n"
    "  Example:\n"
    "       Keyrill -add pkcs#11_module /lib/libpkcs.so\n"
    "       Keyrill -del pkcs#11_module\n"
    "       Keyrill -reg /home/test/testCA.cer\n";

using Arguments = std::span<char *const>;

struct CommandWord {
    const char *word;   // matched as a whole, case and all
    int argumentCount;  // the exact count, program name included
    void (*start)(Arguments arguments);
};

constexpr std::array<CommandWord, 3> kCommandWords{{
    {"-add", 4, [](Arguments arguments) { addModuleForAllUsers(arguments[2], arguments[3]); }},
    {"-del", 3, [](Arguments arguments) { deleteModuleForAllUsers(arguments[2]); }},
    {"-reg", 3, [](Arguments arguments) { importCertForAllUsers(arguments[2]); }},
}};

}  // namespace

void printUsage() {
    std::printf("%s\n", kUsageText);
}

int runCommandLine(int argc, char **argv) {
    if (argc >= 3) {
        const Arguments arguments(argv, static_cast<std::size_t>(argc));
        for (const CommandWord &command : kCommandWords) {
            if (argc == command.argumentCount && std::strcmp(arguments[1], command.word) == 0) {
                command.start(arguments);
                return 0;
            }
        }
    }
    printUsage();
    return 0;
}
