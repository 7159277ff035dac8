// SPDX-License-Identifier: BSD-3-Clause
#include "options.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <functional>
#include <optional>

#include "node_names.h"

namespace qvk::vtoken {

namespace {

struct OptionName {
    std::string_view long_name;
    char short_name;
    bool takes_value;
};

constexpr OptionName kOptionNames[] = {
    {"node", 'n', true},    {"file", 'F', true},   {"fault", 'x', true},
    {"log", 'l', true},     {"config", 'c', true}, {"foreground", 'f', false},
    {"debug", 'd', false},  {"help", 'h', false},  {"version", 'V', false},
    {"vpcd", 'P', true},
};

const OptionName *find_option(std::string_view argument) {
    for (const OptionName &option : kOptionNames) {
        if (argument.size() == 2 && argument[0] == '-' && argument[1] == option.short_name)
            return &option;
        if (argument.starts_with("--") && argument.substr(2) == option.long_name) return &option;
    }
    return nullptr;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

class Parser {
public:
    Options options;

    void parse_arguments(const std::vector<std::string> &arguments) {
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            std::string_view argument = arguments[i];
            std::optional<std::string_view> inline_value;
            if (argument.starts_with("--")) {
                if (const auto equals = argument.find('='); equals != std::string_view::npos) {
                    inline_value = argument.substr(equals + 1);
                    argument = argument.substr(0, equals);
                }
            } else if (!argument.starts_with('-') || argument == "-") {
                add_mountpoint(argument);
                continue;
            }
            const OptionName *option = find_option(argument);
            if (option == nullptr) throw UsageError("unknown option '" + std::string(argument) + "'");
            if (!option->takes_value) {
                if (inline_value) throw UsageError("--" + std::string(option->long_name) +
                                                   " takes no value");
                apply(*option, {}, false);
                continue;
            }
            if (!inline_value) {
                if (i + 1 == arguments.size())
                    throw UsageError("--" + std::string(option->long_name) + " needs a value");
                inline_value = arguments[++i];
            }
            apply(*option, *inline_value, false);
        }
    }

private:
    void add_mountpoint(std::string_view path) {
        if (!options.mountpoint.empty())
            throw UsageError("more than one mount point: '" + options.mountpoint + "' and '" +
                             std::string(path) + "'");
        options.mountpoint = path;
    }

    void apply(const OptionName &option, std::string_view value, bool from_config) {
        try {
            switch (option.short_name) {
            case 'n': {
                for (const int index : parse_node_list(value)) options.nodes.push_back(index);
                std::sort(options.nodes.begin(), options.nodes.end());
                options.nodes.erase(std::unique(options.nodes.begin(), options.nodes.end()),
                                    options.nodes.end());
                break;
            }
            case 'F': options.files.push_back(parse_file_spec(value)); break;
            case 'x': options.faults.push_back(parse_node_fault(value)); break;
            case 'l': options.log_path = value; break;
            case 'P': options.vpcd_port = parse_port(value); break;
            case 'c':
                if (from_config) throw UsageError("a config file cannot name another config file");
                parse_config(std::string(value));
                break;
            case 'f': options.foreground = true; break;
            case 'd': options.debug = options.foreground = true; break;
            case 'h': options.help = true; break;
            case 'V': options.version = true; break;
            }
        } catch (const std::invalid_argument &error) {
            throw UsageError(error.what());
        }
    }

    // One option per line: its long name (dashes optional), then its value,
    // which runs to the end of the line. '#' starts a comment line.
    void parse_config(const std::string &path) {
        std::ifstream in(path);
        if (!in) throw UsageError("cannot read the config file '" + path + "'");
        int line_number = 0;
        for (std::string line; std::getline(in, line);) {
            ++line_number;
            const std::string_view text = trimmed(line);
            if (text.empty() || text.starts_with('#')) continue;
            const auto space = text.find_first_of(" \t");
            std::string name(text.substr(0, space));
            const std::string_view value =
                space == std::string_view::npos ? std::string_view{} : trimmed(text.substr(space));
            if (!name.starts_with("--")) name = "--" + name;
            const OptionName *option = find_option(name);
            const std::string where = path + ":" + std::to_string(line_number) + ": ";
            if (option == nullptr) throw UsageError(where + "unknown option '" + name + "'");
            if (option->takes_value == value.empty())
                throw UsageError(where + name + (option->takes_value ? " needs a value"
                                                                     : " takes no value"));
            try {
                apply(*option, value, true);
            } catch (const UsageError &error) {
                throw UsageError(where + error.what());
            }
        }
        // A read error (a directory, for one) ends the loop like the end of
        // the file would; it must not pass for an empty config.
        if (in.bad()) throw UsageError("cannot read the config file '" + path + "'");
    }
};

}  // namespace

Options parse_command_line(const std::vector<std::string> &arguments) {
    Parser parser;
    parser.parse_arguments(arguments);
    Options &options = parser.options;
    if (!options.help && !options.version && options.mountpoint.empty())
        throw UsageError("no mount point given");
    if (options.vpcd_port && !options.nodes.empty() &&
        *options.vpcd_port + options.nodes.size() - 1 > 0xFFFF)
        throw UsageError("--vpcd " + std::to_string(*options.vpcd_port) + ": the ports of " +
                         std::to_string(options.nodes.size()) + " tokens run past 65535");
    return std::move(options);
}

std::vector<int> parse_node_list(std::string_view text) {
    std::vector<int> indices;
    while (true) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        if (const auto dash = item.find('-'); dash != std::string_view::npos) {
            const int first = parse_node_index(item.substr(0, dash));
            const int last = parse_node_index(item.substr(dash + 1));
            if (first > last)
                throw std::invalid_argument("bad node range '" + std::string(item) + "'");
            for (int index = first; index <= last; ++index) indices.push_back(index);
        } else {
            indices.push_back(parse_node_index(item));
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return indices;
}

std::uint16_t parse_port(std::string_view text) {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || port == 0 ||
        port > 0xFFFF)
        throw std::invalid_argument("bad port '" + std::string(text) + "': use 1 to 65535");
    return static_cast<std::uint16_t>(port);
}

NodeFault parse_node_fault(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        throw std::invalid_argument("bad fault '" + std::string(text) + "': use N:KIND");
    return {parse_node_index(text.substr(0, colon)), parse_fault(text.substr(colon + 1))};
}

std::string usage_text() {
    return R"(Usage: qvkvtoken [OPTIONS] MOUNTPOINT

A virtual token reader: mounts MOUNTPOINT with one file QVUsbKey<N> per
emulated token, which behaves like the token driver's device node (one write
is one command APDU, the next read is the whole answer).

Options:
  -n, --node LIST        tokens plugged in at start: 0 or 0,3,17 or 0-3
  -F, --file ENTRY       a transparent file on the cards: [N/]FID[:SIZE][=CONTENT]
                         FID four hex digits, SIZE in bytes (decimal),
                         CONTENT hex:0011AABB | text:words | @path;
                         without N/ every card gets the file
  -x, --fault N:KIND     fault of token N: no-answer, one-byte, short-write,
                         delay=MS or none
  -l, --log FILE         append every command received to FILE, one line each
  -P, --vpcd PORT        also offer the tokens of --node, in ascending order,
                         as cards to the readers of vsmartcard's vpcd driver
                         for pcscd on 127.0.0.1 ports PORT, PORT+1, ... (the
                         driver's default readers "Virtual PCD 00 00" and
                         "Virtual PCD 00 01" listen on 35963 and 35964)
  -c, --config FILE      read options from FILE: one per line, "name value",
                         for example "file 0015:64=text:hello"; # comments
  -f, --foreground       stay in the foreground (default: go to the
                         background once the mount is ready)
  -d, --debug            print libfuse's request trace (implies -f)
  -h, --help             this text
  -V, --version          the version

While mounted, write commands to MOUNTPOINT/.control: "plug N", "unplug N",
"fault N KIND"; read it to see the state. With --vpcd, unplug and plug also
take a token's card out of its reader and insert it again (faults apply to
the nodes only). SIGINT or SIGTERM unmounts cleanly.
)";
}

}  // namespace qvk::vtoken
