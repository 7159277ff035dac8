// SPDX-License-Identifier: BSD-3-Clause
// The INI engine on a generated 8 MiB file of a few thousand headings and
// many short keys, against inih on the same file in the same run: opening
// (parsing and indexing), reading every value, and rewriting after one change.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ini.h"
#include "inih_baseline.h"

namespace {

struct BenchFile {
    std::string directory;
    std::string path;
    std::vector<std::string> headings;
    std::vector<std::string> keys;
    std::size_t bytes = 0;

    BenchFile() {
        char pattern[] = "/tmp/ini_bench.XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        directory = pattern;
        path = directory + "/bench.ini";
        for (int k = 0; k < 100; ++k) keys.push_back("key" + std::to_string(k));
        std::string text;
        unsigned seed = 12345;
        for (int h = 0; text.size() < (8u << 20); ++h) {
            headings.push_back("section " + std::to_string(h));
            text += "[" + headings.back() + "]\n";
            if (h % 10 == 0) text += "; section " + std::to_string(h) + " starts a group\n";
            for (const std::string &key : keys) {
                seed = seed * 1103515245u + 12345u;
                text += key + " = value " + std::to_string((seed >> 8) % 100000) + "\n";
            }
        }
        bytes = text.size();
        std::ofstream(path, std::ios::binary) << text;
    }
    ~BenchFile() {
        for (const char *name : {"/bench.ini", "/bench.in~", "/rewrite.ini", "/rewrite.in~"})
            std::remove((directory + name).c_str());
        rmdir(directory.c_str());
    }
};

const BenchFile &benchFile() {
    static const BenchFile file;
    return file;
}

void BM_IniOpen(benchmark::State &state) {
    const BenchFile &file = benchFile();
    for (auto _ : state) {
        ini_t *ini = ini_open(file.path.c_str(), "r", ";");
        if (!ini) state.SkipWithError("ini_open failed");
        ini_close(ini);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes));
}

void BM_InihParse(benchmark::State &state) {
    const BenchFile &file = benchFile();
    for (auto _ : state) {
        const long keys = inih_countKeys(file.path.c_str());
        if (keys != static_cast<long>(file.headings.size() * file.keys.size())) state.SkipWithError("inih failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes));
}

void BM_IniReadEveryValue(benchmark::State &state) {
    const BenchFile &file = benchFile();
    long values = 0;
    for (auto _ : state) {
        ini_t *ini = ini_open(file.path.c_str(), "r", ";");
        char buffer[256];
        values = 0;
        for (const std::string &heading : file.headings) {
            ini_selectHeading(ini, heading.c_str());
            for (const std::string &key : file.keys) {
                ini_selectKey(ini, key.c_str());
                values += ini_readText(ini, buffer, sizeof buffer) > 0;
            }
        }
        ini_close(ini);
        benchmark::DoNotOptimize(buffer);
    }
    if (values != static_cast<long>(file.headings.size() * file.keys.size())) state.SkipWithError("values missing");
    state.counters["values"] = static_cast<double>(values);
}

void BM_InihReadEveryValue(benchmark::State &state) {
    const BenchFile &file = benchFile();
    long values = 0;
    for (auto _ : state) values = inih_copyValues(file.path.c_str());
    if (values != static_cast<long>(file.headings.size() * file.keys.size())) state.SkipWithError("values missing");
    state.counters["values"] = static_cast<double>(values);
}

// One changed value, then a flush: the whole file is rewritten, reaches the
// disk and replaces the old one.
void BM_IniRewriteAfterOneChange(benchmark::State &state) {
    const BenchFile &file = benchFile();
    const std::string path = file.directory + "/rewrite.ini";
    {
        std::ifstream in(file.path, std::ios::binary);
        std::ofstream(path, std::ios::binary) << in.rdbuf();
    }
    ini_t *ini = ini_open(path.c_str(), "a", ";");
    if (!ini) {
        state.SkipWithError("ini_open failed");
        return;
    }
    long round = 0;
    for (auto _ : state) {
        ini_selectHeading(ini, file.headings[file.headings.size() / 2].c_str());
        ini_selectKey(ini, "key50");
        if (ini_writeLong(ini, ++round) != 0 || ini_flush(ini) != 0) state.SkipWithError("rewrite failed");
    }
    ini_close(ini);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes));
}

}  // namespace

BENCHMARK(BM_IniOpen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InihParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IniReadEveryValue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InihReadEveryValue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IniRewriteAfterOneChange)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
