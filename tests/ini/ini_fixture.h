// SPDX-License-Identifier: BSD-3-Clause
// Shared helpers of the INI engine's tests: a file in a fresh directory,
// handles that close themselves, and a dump of the whole index.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ini.h"
#include "ini_internal.h"
#include "sandbox.h"

namespace ini_test {

inline bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The names in a directory, "." and ".." left out.
inline std::vector<std::string> entries(const std::string &directory) {
    std::vector<std::string> names;
    DIR *listing = opendir(directory.c_str());
    while (const dirent *entry = listing ? readdir(listing) : nullptr)
        if (std::string(".") != entry->d_name && std::string("..") != entry->d_name) names.emplace_back(entry->d_name);
    if (listing) closedir(listing);
    return names;
}

struct Closer {
    void operator()(ini_t *ini) const { ini_close(ini); }
};
using Handle = std::unique_ptr<ini_t, Closer>;

// The trimmed value of heading/key as ini_readText gives it; nullopt when
// either is missing.
inline std::optional<std::string> value(ini_t *ini, const char *heading, const char *key) {
    char buffer[512];
    if (ini_selectHeading(ini, heading) != 0 || ini_selectKey(ini, key) != 0 ||
        ini_readText(ini, buffer, sizeof buffer) < 0)
        return std::nullopt;
    return std::string(buffer);
}

// Every heading and key in index order, each key with its raw value:
// "[S]\nk={ raw }\n".
inline std::string dump(ini_t *ini) {
    std::string out;
    for (const section_tag *heading = ini->firstHeading; heading; heading = heading->next) {
        out.append("[").append(heading->name).append("]\n");
        for (const key_tag *key = heading->firstKey; key; key = key->next) {
            std::string raw(key->valueLength, '?');
            if (!__ini_readWork(ini, key->valueOffset, raw.data(), raw.size())) raw = "<unreadable>";
            out += std::string(key->name) + "={" + raw + "}\n";
        }
    }
    return out;
}

class IniTest : public ::testing::Test {
protected:
    qvk::test::TempDir dir;
    const std::string path = dir / "test.ini";
    const std::string workPath = dir / "test.in~";

    // Writes content to the test file and opens it.
    Handle open(const std::string &content, const char *mode = "r", const char *marker = nullptr) {
        qvk::test::write_file(path, content);
        return Handle(ini_open(path.c_str(), mode, marker));
    }
    // The index that content gives.
    std::string parsed(const std::string &content, const char *marker = nullptr, const char *mode = "r") {
        Handle ini = open(content, mode, marker);
        return ini ? dump(ini.get()) : "<open failed>";
    }
    // The file's bytes after content was opened in mode "a", edited and closed.
    template <typename Edit>
    std::string rewritten(const std::string &content, Edit edit, const char *mode = "a") {
        ini_t *ini = open(content, mode).release();
        EXPECT_NE(ini, nullptr);
        if (!ini) return "<open failed>";
        edit(ini);
        EXPECT_EQ(ini_close(ini), 0);
        return exists(path) ? read_file(path) : "<deleted>";
    }
};

}  // namespace ini_test
