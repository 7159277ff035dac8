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
    "       -v        (before CMD) also list each profile and its outcome on stderr\n"
    "\n"
    "  Example:\n"
    "       Keyrill -add pkcs#11_module /lib/libpkcs.so\n"
    "       Keyrill -del pkcs#11_module\n"
    "       Keyrill -reg /home/test/testCA.cer\n";

using Arguments = std::span<char *const>;

struct CommandWord {
    const char *word;   // matched as a whole, case and all
    int argumentCount;  // the exact count, program name included
    void (*start)(Arguments arguments, const CommandOptions &options);
};

constexpr std::array<CommandWord, 3> kCommandWords{{
    {"-add", 4,
     [](Arguments arguments, const CommandOptions &options) {
         addModuleForAllUsers(arguments[2], arguments[3], options);
     }},
    {"-del", 3,
     [](Arguments arguments, const CommandOptions &options) {
         deleteModuleForAllUsers(arguments[2], options);
     }},
    {"-reg", 3,
     [](Arguments arguments, const CommandOptions &options) {
         importCertForAllUsers(arguments[2], options);
     }},
}};

// The option word, matched like a command word, and only before it.
constexpr const char *kListProfilesWord = "-v";

}  // namespace

void printUsage() {
    std::printf("%s\n", kUsageText);
}

int runCommandLine(int argc, char **argv) {
    CommandOptions options;
    if (argc >= 2 && std::strcmp(argv[1], kListProfilesWord) == 0) {
        // The option word then stands where the program name stood: the
        // command word follows it as it follows the name without it.
        options.listProfiles = true;
        ++argv;
        --argc;
    }
    if (argc >= 3) {
        const Arguments arguments(argv, static_cast<std::size_t>(argc));
        for (const CommandWord &command : kCommandWords) {
            if (argc == command.argumentCount && std::strcmp(arguments[1], command.word) == 0) {
                command.start(arguments, options);
                return 0;
            }
        }
    }
    printUsage();
    return 0;
}
