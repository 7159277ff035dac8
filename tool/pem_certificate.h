// SPDX-License-Identifier: BSD-3-Clause
// A certificate file in PEM form: one "CERTIFICATE" block, decoded here.
#pragma once

#include <span>
#include <vector>

struct PemCertificate {
    enum class Kind {
        NotPem,     // the text does not start (after white space) with "-----BEGIN "
        One,        // one "CERTIFICATE" block, nothing but white space around it
        Several,    // more than one block
        Malformed,  // another label, bad Base64, no end line, or text after the block
    };
    Kind kind = Kind::NotPem;
    std::vector<unsigned char> der;  // One: the decoded block
};

PemCertificate decodePemCertificate(std::span<const unsigned char> text);
