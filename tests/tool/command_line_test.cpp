// SPDX-License-Identifier: BSD-3-Clause
// The command line against recording stand-ins for the three commands.
#include "command_line.h"
#include "commands.h"
#include "keyrill_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::string kUsage =
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
    "       Keyrill -reg /home/test/testCA.cer\n"
    "\n";

std::string g_started;  // the command the stand-ins saw, with its operands

// Everything a command line prints, then "[the command started] exit status".
std::string outcome(std::vector<std::string> words) {
    return qvk::test::capture_stdout([&] {
        std::vector<char *> argv{const_cast<char *>("Keyrill")};
        for (std::string &word : words) argv.push_back(word.data());
        const int status = runCommandLine(static_cast<int>(argv.size()), argv.data());
        std::printf("[%s] %d", g_started.c_str(), status);
    });
}

}  // namespace

namespace {

std::string listing(const CommandOptions &options) { return options.listProfiles ? "-v " : ""; }

}  // namespace

void addModuleForAllUsers(const char *name, const char *path, const CommandOptions &options) {
    g_started = listing(options) + "add " + name + " " + path;
}
void deleteModuleForAllUsers(const char *name, const CommandOptions &options) {
    g_started = listing(options) + "del " + name;
}
void importCertForAllUsers(const char *path, const CommandOptions &options) {
    g_started = listing(options) + "reg " + path;
}

TEST(KeyrillCommandLine, UsageTextIsExactAndEndsWithAnEmptyLine) {
    EXPECT_EQ(qvk::test::capture_stdout([] { printUsage(); }), kUsage);
}

TEST(KeyrillCommandLine, CommandWordsMatchWholeWithTheirExactCount) {
    EXPECT_EQ(outcome({"-add", "mod", "/lib/m.so"}), "[add mod /lib/m.so] 0");
    EXPECT_EQ(outcome({"-del", "mod"}), "[del mod] 0");
    EXPECT_EQ(outcome({"-reg", "ca.der"}), "[reg ca.der] 0");
    // Operands are handed on as they stand.
    EXPECT_EQ(outcome({"-add", "", " ~/x "}), "[add   ~/x ] 0");
    // The listing option only before the command word, once.
    EXPECT_EQ(outcome({"-v", "-add", "mod", "/lib/m.so"}), "[-v add mod /lib/m.so] 0");
    EXPECT_EQ(outcome({"-v", "-del", "mod"}), "[-v del mod] 0");
    EXPECT_EQ(outcome({"-v", "-reg", "ca.der"}), "[-v reg ca.der] 0");

    const std::vector<std::vector<std::string>> refused{
        {},
        {"-add"},
        {"-add", "mod"},
        {"-del", "mod", "extra"},
        {"-reg", "ca.der", "extra"},
        {"-add", "mod", "/lib/m.so", "extra"},
        {"-del", "a", "b", "c"},
        {"-ADD", "mod", "/lib/m.so"},
        {"-Del", "mod"},
        {"--del", "mod"},
        {"-del ", "mod"},
        {"del", "mod"},
        {"-re", "ca.der"},
        {"-regx", "ca.der"},
        {"x-reg", "ca.der"},
        {"-v"},
        {"-v", "-del"},
        {"-v", "-v", "-del", "mod"},
        {"-del", "mod", "-v"},
        {"-V", "-del", "mod"},
        {"-v", "-add", "mod"},
    };
    for (const auto &words : refused) {
        const std::string shown = words.empty() ? "(none)" : words[0];
        EXPECT_EQ(outcome(words), kUsage + "[] 0") << shown << ", " << words.size() << " words";
    }
}
