// SPDX-License-Identifier: BSD-3-Clause
// Registering a PKCS#11 module in 200 homes with a Firefox and a Thunderbird
// profile each: Keyrill's sweep against a shell loop that runs
// `modutil -add ... -force` on the same 400 profiles.
//
// Run as root: the program moves itself into private mount and IPC namespaces
// and puts tmpfs over /root and /home before it builds the homes, so the
// host's real homes are never touched. Both sides start every iteration from
// the same databases, restored outside the timed part. Besides the wall time
// each benchmark reports child_cpu_ms, the CPU time of the processes it ran.
//
//   cmake -S . -B build -DQVK_BUILD_BENCH=ON && cmake --build build -j2
//   build/bench/tool/keyrill_sweep_bench --benchmark_repetitions=3
//       --benchmark_enable_random_interleaving=true   (one command line)
#include <benchmark/benchmark.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int kHomes = 200;
constexpr uid_t kFirstUid = 20000;
constexpr const char *kModule = "bench-module";
constexpr const char *kLibrary = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char *kWork = "/root/bench";  // template database, softhsm configuration

struct Profile {
    std::string directory;
    uid_t owner;
};
std::vector<Profile> g_profiles;
std::string g_pristineModules;  // pkcs11.txt of a fresh profile

void run(const std::string &command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

void writeOwned(const std::string &path, const std::string &text, uid_t owner) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    if (chown(path.c_str(), owner, owner) != 0) std::exit(1);
}

// Private namespaces, tmpfs over /root and /home, 200 homes with two profiles
// each (copies of one database made by certutil), SoftHSM configured privately
// (also bound over /etc/softhsm).
void buildHomes() {
    if (geteuid() != 0 || unshare(CLONE_NEWNS | CLONE_NEWIPC) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/root", "tmpfs", 0, "mode=0700") != 0 ||
        mount("tmpfs", "/home", "tmpfs", 0, "mode=0755") != 0) {
        std::fprintf(
            stderr, "keyrill_sweep_bench must run as root (private mounts over /root and /home)\n");
        std::exit(1);
    }
    run(std::string("mkdir -p ") + kWork + "/db " + kWork + "/tokens && chmod 0755 " + kWork +
        " && certutil -N -d sql:" + kWork + "/db --empty-password");
    writeOwned(
        std::string(kWork) + "/softhsm2.conf",
        std::string("directories.tokendir = ") + kWork + "/tokens\nobjectstore.backend = file\n",
        0);
    setenv("SOFTHSM2_CONF", (std::string(kWork) + "/softhsm2.conf").c_str(), 1);
    // Keyrill gives each owner's attempt a login's environment without
    // SOFTHSM2_CONF: SoftHSM then reads its configuration from /etc/softhsm.
    if (mount(kWork, "/etc/softhsm", nullptr, MS_BIND, nullptr) != 0) {
        std::fprintf(stderr, "keyrill_sweep_bench: cannot bind %s over /etc/softhsm\n", kWork);
        std::exit(1);
    }
    chmod("/root", 0755);  // the owners' children read the SoftHSM configuration

    std::ifstream pristine(std::string(kWork) + "/db/pkcs11.txt");
    g_pristineModules.assign(std::istreambuf_iterator<char>(pristine), {});
    for (int i = 0; i < kHomes; ++i) {
        const uid_t owner = kFirstUid + static_cast<uid_t>(i);
        const std::string home = "/home/user" + std::to_string(i);
        for (const char *app : {"/.mozilla/firefox", "/.thunderbird"}) {
            const std::string profile = home + app + "/p.default";
            run("mkdir -p " + profile + " && cp " + kWork + "/db/* " + profile + "/ && chown -R " +
                std::to_string(owner) + ":" + std::to_string(owner) + " " + home);
            writeOwned(home + app + "/profiles.ini",
                       "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\n", owner);
            g_profiles.push_back({profile, owner});
        }
    }
}

// Every profile back to its module list without the module.
void restoreProfiles() {
    for (const Profile &profile : g_profiles)
        writeOwned(profile.directory + "/pkcs11.txt", g_pristineModules, profile.owner);
}

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs command once per iteration from restored profiles; besides the wall
// time, reports the CPU time that the command's processes used, which a busy
// machine disturbs less.
void timeRuns(benchmark::State &state, const std::string &command) {
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        restoreProfiles();
        const double before = childrenCpuSeconds();
        state.ResumeTiming();
        run(command);
        state.PauseTiming();
        cpu += childrenCpuSeconds() - before;
        state.ResumeTiming();
    }
    state.counters["child_cpu_ms"] =
        benchmark::Counter(cpu * 1e3 / static_cast<double>(state.iterations()));
    state.counters["profiles"] = static_cast<double>(g_profiles.size());
}

// After a timed run, every profile must list the module.
void checkRegistered(benchmark::State &state) {
    for (const Profile &profile : g_profiles) {
        std::ifstream in(profile.directory + "/pkcs11.txt");
        const std::string modules(std::istreambuf_iterator<char>(in), {});
        if (modules.find(std::string("name=") + kModule) == std::string::npos) {
            state.SkipWithError(("module missing in " + profile.directory).c_str());
            return;
        }
    }
}

void BM_KeyrillSweep(benchmark::State &state) {
    timeRuns(state,
             std::string(KEYRILL_PATH) + " -add " + kModule + " " + kLibrary + " >/dev/null");
    checkRegistered(state);
}

void BM_ModutilShellLoop(benchmark::State &state) {
    std::string command = "for d in";
    for (const Profile &profile : g_profiles) command += " " + profile.directory;
    command += std::string("; do modutil -add ") + kModule + " -libfile " + kLibrary +
               " -dbdir sql:$d -force >/dev/null || exit 1; done";
    timeRuns(state, command);
    checkRegistered(state);
}

BENCHMARK(BM_KeyrillSweep)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ModutilShellLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char **argv) {
    buildHomes();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
