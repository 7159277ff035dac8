// SPDX-License-Identifier: BSD-3-Clause
#include "srv_options.h"

#include <grp.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#ifndef QVK_VERSION
#error "QVK_VERSION must name the version of this build"
#endif

namespace {

// One option that takes a value. apply stores it and returns false when the
// value is not acceptable; why is then printed by the parser.
struct value_option {
    const char *name;        // without the leading "--"
    const char *value_name;  // as shown in the usage line and by --help
    const char *help;        // one line for --help
    bool (*apply)(srv_options &options, const char *value);
};

// A whole number of seconds from 1 to 86400 (a day), digits only.
bool apply_exchange_timeout(srv_options &options, const char *value) {
    unsigned seconds = 0;
    const char *digit = value;
    for (; *digit >= '0' && *digit <= '9' && seconds <= 86400; ++digit)
        seconds = seconds * 10 + static_cast<unsigned>(*digit - '0');
    if (digit == value || *digit != '\0' || seconds < 1 || seconds > 86400) return false;
    options.exchange_timeout_seconds = seconds;
    return true;
}

// A group name, or else a group number.
bool apply_group(srv_options &options, const char *value) {
    if (*value == '\0') return false;
    std::vector<char> buffer(1024);
    group entry{};
    group *found = nullptr;
    int error = 0;
    while ((error = getgrnam_r(value, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (error == 0 && found != nullptr) {
        options.group = found->gr_gid;
        return true;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long number = std::strtoul(value, &end, 10);
    if (errno != 0 || *end != '\0' || !std::isdigit(static_cast<unsigned char>(*value)) ||
        number >= static_cast<gid_t>(-1))
        return false;
    options.group = static_cast<gid_t>(number);
    return true;
}

// Options that take a value; an option another part of the daemon needs is
// added here and to qvkserver(8).
constexpr std::array<value_option, 2> value_options{{
    {"group", "NAME",
     "serve only root and the members of group NAME (a name or a number): the\n"
     "      IPC objects get mode 0660 and that group instead of mode 0777",
     apply_group},
    {"exchange-timeout", "SECONDS",
     "abandon a device call that has not returned after SECONDS (1 to 86400, default 60)",
     apply_exchange_timeout},
}};

void print_usage(std::FILE *to) {
    std::fputs("usage: qvkserver [--help] [--version]", to);
    for (const value_option &o : value_options)
        std::fprintf(to, " [--%s %s]", o.name, o.value_name);
    std::fputc('\n', to);
}

void print_help(std::FILE *to) {
    print_usage(to);
    std::fputs("Serves the Kestrane tokens of this host to its local processes; without options\n"
               "it detaches, and returns once it serves (status 0) or with the reason it cannot\n"
               "(3: no plug-in, 4: IPC objects, 5: other, 1: already running); see qvkserver(8).\n"
               "  -h, --help   print this text and exit\n"
               "  --version    print the version and exit\n",
               to);
    for (const value_option &o : value_options)
        std::fprintf(to, "  --%s %s\n      %s\n", o.name, o.value_name, o.help);
}

const value_option *find_value_option(std::string_view name) {
    for (const value_option &o : value_options)
        if (name == o.name) return &o;
    return nullptr;
}

srv_options_verdict refuse(std::FILE *err, const char *what, const char *argument) {
    std::fprintf(err, "qvkserver: %s: %s\n", what, argument);
    print_usage(err);
    return SRV_OPTIONS_BAD;
}

}  // namespace

srv_options_verdict srv_parse_options(int argc, const char *const argv[], srv_options &options,
                                      std::FILE *out, std::FILE *err) {
    // A help or version request anywhere wins, so that asking never starts a
    // daemon, whatever else is on the line.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_help(out);
            return SRV_OPTIONS_DONE;
        }
        if (arg == "--version") {
            std::fputs("qvkserver " QVK_VERSION "\n", out);
            return SRV_OPTIONS_DONE;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strncmp(arg, "--", 2) != 0 || arg[2] == '\0') return refuse(err, "unknown argument", arg);
        const char *equals = std::strchr(arg + 2, '=');
        const std::string_view name =
            equals != nullptr ? std::string_view(arg + 2, static_cast<std::size_t>(equals - arg - 2)) : arg + 2;
        const value_option *option = find_value_option(name);
        if (option == nullptr) return refuse(err, "unknown option", arg);
        const char *value = nullptr;
        if (equals != nullptr) {
            value = equals + 1;
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return refuse(err, "option needs a value", arg);
        }
        if (!option->apply(options, value)) {
            std::fprintf(err, "qvkserver: --%s: value not accepted: %s\n", option->name, value);
            print_usage(err);
            return SRV_OPTIONS_BAD;
        }
    }
    return SRV_OPTIONS_SERVE;
}
