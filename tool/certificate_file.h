// SPDX-License-Identifier: BSD-3-Clause
// Loading the certificate file of the import command: all its bytes, unchanged.
#pragma once

#include <memory>
#include <optional>

struct CertificateBytes {
    std::unique_ptr<unsigned char[]> data;
    int length = 0;  // bytes actually read, at least 1
};

// Reads the whole file in binary mode. Nothing when the path is null, the file
// cannot be opened or measured, is empty, does not fit a signed 32-bit count,
// cannot be held in memory, or yields no bytes.
std::optional<CertificateBytes> loadCertificateFile(const char *path);
