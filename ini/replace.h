// SPDX-License-Identifier: BSD-3-Clause
// Replacing a file in one step (see replace.cpp).
#pragma once

#include <cstdio>
#include <string>

class FileReplacement {
public:
    // Creates the new file beside path; stream() is NULL when that fails.
    explicit FileReplacement(const char *path);
    // Removes the new file unless commit() ran.
    ~FileReplacement();
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    FILE *stream() const { return stream_; }
    // Puts the written content in place of the old file; false (old file
    // untouched) when any step fails.
    bool commit();

private:
    std::string target_;
    std::string temporary_;
    FILE *stream_ = nullptr;
};
