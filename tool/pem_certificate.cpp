// SPDX-License-Identifier: BSD-3-Clause
#include "pem_certificate.h"

#include <string_view>

namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kBeginCertificate = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndCertificate = "-----END CERTIFICATE-----";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmedFront(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    return text;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Base64 with white space anywhere and "=" padding only at the end.
bool decodeBase64(std::string_view text, std::vector<unsigned char> &out) {
    unsigned bits = 0;
    int held = 0, padding = 0, symbols = 0;
    for (const char c : text) {
        if (isSpace(c)) continue;
        ++symbols;
        if (c == '=') {
            if (++padding > 2) return false;
            continue;
        }
        const int value = base64Value(c);
        if (value < 0 || padding > 0) return false;
        bits = (bits << 6) | static_cast<unsigned>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<unsigned char>((bits >> held) & 0xff));
        }
    }
    return symbols % 4 == 0 && !out.empty();
}

}  // namespace

PemCertificate decodePemCertificate(std::span<const unsigned char> bytes) {
    using Kind = PemCertificate::Kind;
    const std::string_view text = trimmedFront(
        std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
    if (text.substr(0, kBegin.size()) != kBegin) return {};
    if (text.substr(0, kBeginCertificate.size()) != kBeginCertificate) return {Kind::Malformed, {}};
    const std::string_view body = text.substr(kBeginCertificate.size());
    const std::size_t end = body.find(kEndCertificate);
    if (end == std::string_view::npos) return {Kind::Malformed, {}};

    const std::string_view after = trimmedFront(body.substr(end + kEndCertificate.size()));
    if (after.substr(0, kBegin.size()) == kBegin) return {Kind::Several, {}};
    if (!after.empty()) return {Kind::Malformed, {}};
    PemCertificate decoded{Kind::One, {}};
    if (!decodeBase64(body.substr(0, end), decoded.der)) return {Kind::Malformed, {}};
    return decoded;
}
