// SPDX-License-Identifier: BSD-3-Clause
#include "card_layout.h"

#include <charconv>
#include <fstream>
#include <stdexcept>
#include <string>

#include "hex_text.h"
#include "node_names.h"

namespace qvk::vtoken {

namespace {

[[noreturn]] void bad_spec(std::string_view text, const std::string &reason) {
    throw std::invalid_argument("bad file description '" + std::string(text) + "': " + reason);
}

template <class Number>
bool parse_number(std::string_view text, Number &value, int base) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

// Reads at most one byte more than a file can hold, so that an endless
// source given by mistake (@/dev/urandom) ends in an error instead of
// filling memory for ever.
Bytes read_content_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::invalid_argument("cannot read '" + path + "'");
    Bytes content(kMaxFileSize + 1);
    in.read(reinterpret_cast<char *>(content.data()), static_cast<std::streamsize>(content.size()));
    if (in.bad()) throw std::invalid_argument("cannot read '" + path + "'");
    content.resize(static_cast<std::size_t>(in.gcount()));
    if (content.size() > kMaxFileSize)
        throw std::invalid_argument("'" + path + "' holds more than a file can (" +
                                    std::to_string(kMaxFileSize) + " bytes)");
    return content;
}

Bytes parse_content(std::string_view content) {
    if (content.starts_with("hex:")) return from_hex(content.substr(4));
    if (content.starts_with("text:")) return Bytes(content.begin() + 5, content.end());
    if (content.starts_with("@")) return read_content_file(std::string(content.substr(1)));
    throw std::invalid_argument("content must start with hex:, text: or @");
}

}  // namespace

FileSpec parse_file_spec(std::string_view text) {
    FileSpec entry;
    std::string_view rest = text;

    if (const auto slash = rest.find('/'); slash != std::string_view::npos &&
                                           rest.find('=') > slash) {
        try {
            entry.node = parse_node_index(rest.substr(0, slash));
        } catch (const std::invalid_argument &error) {
            bad_spec(text, error.what());
        }
        rest.remove_prefix(slash + 1);
    }

    std::optional<std::string_view> content;
    if (const auto equals = rest.find('='); equals != std::string_view::npos) {
        content = rest.substr(equals + 1);
        rest = rest.substr(0, equals);
    }
    std::optional<std::string_view> size;
    if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
        size = rest.substr(colon + 1);
        rest = rest.substr(0, colon);
    }

    if (rest.size() != 4 || !parse_number(rest, entry.id, 16))
        bad_spec(text, "the file identifier must be four hex digits");
    if (content) {
        try {
            entry.content = parse_content(*content);
        } catch (const std::invalid_argument &error) {
            bad_spec(text, error.what());
        }
    }
    if (size) {
        if (!parse_number(*size, entry.size, 10) || entry.size > kMaxFileSize)
            bad_spec(text, "the size must be a decimal number of bytes up to " +
                               std::to_string(kMaxFileSize));
        if (entry.content.size() > entry.size)
            bad_spec(text, "the content (" + std::to_string(entry.content.size()) +
                               " bytes) is larger than the file");
    } else if (content) {
        entry.size = entry.content.size();
        if (entry.size > kMaxFileSize) bad_spec(text, "the content is larger than a file can be");
    } else {
        bad_spec(text, "give a size (FID:SIZE), a content (FID=CONTENT) or both");
    }
    return entry;
}

void install_files(Card &card, int index, std::span<const FileSpec> layout) {
    for (const FileSpec &entry : layout)
        if (!entry.node || *entry.node == index) card.add_file(entry.id, entry.size, entry.content);
}

}  // namespace qvk::vtoken
