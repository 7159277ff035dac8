// SPDX-License-Identifier: BSD-3-Clause
#include "certificate_file.h"

#include <climits>
#include <cstdio>
#include <new>

namespace {

struct FileClose {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileClose>;

}  // namespace

std::optional<CertificateBytes> loadCertificateFile(const char *path) {
    if (path == nullptr) return std::nullopt;
    const FileHandle file(std::fopen(path, "rb"));
    if (!file) return std::nullopt;

    if (std::fseek(file.get(), 0, SEEK_END) != 0) return std::nullopt;
    const long size = std::ftell(file.get());
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return std::nullopt;
    // The length handed to each profile is a signed 32-bit count.
    if (size <= 0 || size > INT_MAX) return std::nullopt;

    CertificateBytes certificate;
    certificate.data.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(size)]);
    if (!certificate.data) return std::nullopt;
    const std::size_t read =
        std::fread(certificate.data.get(), 1, static_cast<std::size_t>(size), file.get());
    if (read == 0) return std::nullopt;
    certificate.length = static_cast<int>(read);
    return certificate;
}
