// SPDX-License-Identifier: BSD-3-Clause
// SingleDES and TripleDES of libqvkmgrudk against OpenSSL's DES in ECB mode,
// each over the same 64 KiB with the key schedule set up once per pass (as
// the plug-in does on every call). The plug-in's results are checked
// against OpenSSL's before anything is timed.
//
// Run: build/bench/bench_des --benchmark_min_time=0.5
// Target: SingleDES and TripleDES at most 3 times OpenSSL's time.

// OpenSSL 3 marks the low-level DES interface deprecated; it is still the
// plainest baseline for the same work. (Its block type is not const, hence
// the casts.)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "qvkmgrudk.h"

namespace {

constexpr int kLength = 64 * 1024;
constexpr std::array<uint8_t, 16> kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                          0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

std::vector<uint8_t> random_data() {
    std::vector<uint8_t> data(kLength);
    std::mt19937 random(42);
    for (auto &byte : data) byte = static_cast<uint8_t>(random());
    return data;
}

int openssl_mode(uint8_t mode) { return mode == 1 ? DES_ENCRYPT : DES_DECRYPT; }

DES_key_schedule openssl_schedule(const uint8_t *key) {
    DES_cblock block;
    std::memcpy(block, key, sizeof block);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&block, &schedule);
    return schedule;
}

void openssl_single(uint8_t mode, const uint8_t *in, uint8_t *out) {
    DES_key_schedule k1 = openssl_schedule(kKey.data());
    for (int at = 0; at < kLength; at += 8)
        DES_ecb_encrypt(reinterpret_cast<const_DES_cblock *>(const_cast<uint8_t *>(in + at)),
                        reinterpret_cast<DES_cblock *>(out + at), &k1, openssl_mode(mode));
}

void openssl_triple(uint8_t mode, const uint8_t *in, uint8_t *out) {
    DES_key_schedule k1 = openssl_schedule(kKey.data());
    DES_key_schedule k2 = openssl_schedule(kKey.data() + 8);
    for (int at = 0; at < kLength; at += 8)
        DES_ecb3_encrypt(reinterpret_cast<const_DES_cblock *>(const_cast<uint8_t *>(in + at)),
                         reinterpret_cast<DES_cblock *>(out + at), &k1, &k2, &k1,
                         openssl_mode(mode));
}

// The same work must give the same bytes, or the timing means nothing.
void check_same_results() {
    for (uint8_t mode : {1, 2}) {
        const std::vector<uint8_t> data = random_data();
        std::vector<uint8_t> input = data, ours(kLength), theirs(kLength);
        if (SingleDES(mode, kKey.data(), kLength, input.data(), ours.data()) != kLength) std::abort();
        openssl_single(mode, data.data(), theirs.data());
        if (ours != theirs) {
            std::fprintf(stderr, "SingleDES differs from OpenSSL (mode %d)\n", mode);
            std::exit(1);
        }
        input = data;
        if (TripleDES(mode, kKey.data(), kLength, input.data(), ours.data()) != kLength) std::abort();
        openssl_triple(mode, data.data(), theirs.data());
        if (ours != theirs) {
            std::fprintf(stderr, "TripleDES differs from OpenSSL (mode %d)\n", mode);
            std::exit(1);
        }
    }
}

template <class Pass>
void run(benchmark::State &state, Pass pass) {
    const auto mode = static_cast<uint8_t>(state.range(0));
    std::vector<uint8_t> input = random_data(), output(kLength);
    for (auto _ : state) {
        pass(mode, input.data(), output.data());
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kLength);
    state.SetLabel(mode == 1 ? "encrypt" : "decrypt");
}

void BM_SingleDES(benchmark::State &state) {
    run(state, [](uint8_t mode, uint8_t *in, uint8_t *out) {
        SingleDES(mode, kKey.data(), kLength, in, out);
    });
}

void BM_OpenSSL_DES_ecb(benchmark::State &state) { run(state, openssl_single); }

void BM_TripleDES(benchmark::State &state) {
    // TripleDES leaves its middle pass in the input: the data changes from
    // pass to pass, the work does not.
    run(state, [](uint8_t mode, uint8_t *in, uint8_t *out) {
        TripleDES(mode, kKey.data(), kLength, in, out);
    });
}

void BM_OpenSSL_DES_ecb3(benchmark::State &state) { run(state, openssl_triple); }

BENCHMARK(BM_SingleDES)->Arg(1)->Arg(2);
BENCHMARK(BM_OpenSSL_DES_ecb)->Arg(1)->Arg(2);
BENCHMARK(BM_TripleDES)->Arg(1)->Arg(2);
BENCHMARK(BM_OpenSSL_DES_ecb3)->Arg(1)->Arg(2);

}  // namespace

int main(int argc, char **argv) {
    check_same_results();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
