// SPDX-License-Identifier: BSD-3-Clause
// Registering a PKCS#11 module in 200 homes with a Firefox and a Thunderbird
// profile each: Keyrill's sweep against a shell loop that runs
// `modutil -add ... -force` on the same 400 profiles. Besides, Keyrill's
// sweeps over 200 homes that each hold all five kinds of store (Firefox in
// ~/.mozilla and in ~/.config, Thunderbird, Chrome's ~/.pki/nssdb and a
// Flatpak Firefox): adding the host's module (which the Flatpak store is
// refused) and importing a CA (which every store takes).
//
// Run as root: the program moves itself into private mount and IPC namespaces
// and puts tmpfs over /root and /home before it builds the homes, so the
// host's real homes are never touched; each benchmark binds its set of homes
// over /home. Every iteration starts from the same databases, restored
// outside the timed part. Besides the wall time each benchmark reports
// child_cpu_ms, the CPU time of the processes it ran.
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
    std::string directory;  // as the sweep sees it, below /home
    uid_t owner;
    bool sandboxed;  // refused the host's module
};
struct HomeSet {
    std::string directory;  // bound over /home while a benchmark runs
    std::vector<Profile> profiles;
};
HomeSet g_twoProfiles{std::string(kWork) + "/two", {}};
HomeSet g_fiveStores{std::string(kWork) + "/five", {}};
// The databases of a fresh profile: pkcs11.txt, cert9.db, key4.db.
constexpr const char *kDatabaseFiles[] = {"pkcs11.txt", "cert9.db", "key4.db"};
std::vector<std::string> g_pristine;

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

// The homes' owners as users of this host, as on a real fleet: the host's
// passwd and group files with one entry each added, bound over the originals
// (an owner without an entry costs every look-up all the sources of passwd).
void listUsers() {
    for (const char *database : {"passwd", "group"}) {
        const std::string copy = std::string(kWork) + "/" + database;
        run(std::string("cp /etc/") + database + " " + copy);
        std::ofstream entries(copy, std::ios::app);
        for (int i = 0; i < kHomes; ++i) {
            const std::string id = std::to_string(kFirstUid + static_cast<uid_t>(i));
            const std::string name = "user" + std::to_string(i);
            if (std::string(database) == "passwd")
                entries << name << ":x:" << id << ":" << id << "::/home/" << name << ":/bin/sh\n";
            else
                entries << name << ":x:" << id << ":\n";
        }
        entries.close();
        if (mount(copy.c_str(), (std::string("/etc/") + database).c_str(), nullptr, MS_BIND, nullptr) != 0) {
            std::fprintf(stderr, "keyrill_sweep_bench: cannot bind %s over /etc/%s\n", copy.c_str(), database);
            std::exit(1);
        }
    }
}

// Private namespaces, tmpfs over /root and /home, two sets of 200 homes (two
// profiles each, five stores each) whose databases are copies of one made by
// certutil, SoftHSM configured privately (also bound over /etc/softhsm).
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

    for (const char *file : kDatabaseFiles) {
        std::ifstream pristine(std::string(kWork) + "/db/" + file, std::ios::binary);
        g_pristine.emplace_back(std::istreambuf_iterator<char>(pristine), std::istreambuf_iterator<char>());
    }
    const std::string ini = "[Profile0]\nName=default\nIsRelative=1\nPath=p.default\n";
    struct Store {
        const char *directory;  // below the home
        bool list;              // a profile list's directory, else the database itself
        bool sandboxed;
    };
    const Store two[] = {{"/.mozilla/firefox", true, false}, {"/.thunderbird", true, false}};
    const Store five[] = {{"/.mozilla/firefox", true, false},
                          {"/.config/mozilla/firefox", true, false},
                          {"/.thunderbird", true, false},
                          {"/.pki/nssdb", false, false},
                          {"/.var/app/org.mozilla.firefox/.mozilla/firefox", true, true}};
    const auto build = [&](HomeSet &set, const Store *stores, std::size_t count) {
        for (int i = 0; i < kHomes; ++i) {
            const uid_t owner = kFirstUid + static_cast<uid_t>(i);
            const std::string name = "/user" + std::to_string(i);
            const std::string home = set.directory + name;
            for (std::size_t s = 0; s < count; ++s) {
                const std::string directory =
                    std::string(stores[s].directory) + (stores[s].list ? "/p.default" : "");
                run("mkdir -p " + home + directory + " && cp " + kWork + "/db/* " + home + directory + "/");
                if (stores[s].list)
                    writeOwned(home + stores[s].directory + "/profiles.ini", ini, owner);
                set.profiles.push_back({"/home" + name + directory, owner, stores[s].sandboxed});
            }
            run("chown -R " + std::to_string(owner) + ":" + std::to_string(owner) + " " + home);
        }
    };
    run("mkdir -p " + g_twoProfiles.directory + " " + g_fiveStores.directory);
    build(g_twoProfiles, two, std::size(two));
    build(g_fiveStores, five, std::size(five));
    listUsers();
}

// The set's homes over /home.
void useHomes(const HomeSet &set) {
    umount2("/home", MNT_DETACH);
    if (mount(set.directory.c_str(), "/home", nullptr, MS_BIND, nullptr) != 0) {
        std::fprintf(stderr, "keyrill_sweep_bench: cannot bind %s over /home\n", set.directory.c_str());
        std::exit(1);
    }
}

// Every profile back to its databases without the module or the CA.
void restoreProfiles(const HomeSet &set) {
    for (const Profile &profile : set.profiles)
        for (std::size_t f = 0; f < std::size(kDatabaseFiles); ++f)
            writeOwned(profile.directory + "/" + kDatabaseFiles[f], g_pristine[f], profile.owner);
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
void timeRuns(benchmark::State &state, const HomeSet &set, const std::string &command) {
    useHomes(set);
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        restoreProfiles(set);
        const double before = childrenCpuSeconds();
        state.ResumeTiming();
        run(command);
        state.PauseTiming();
        cpu += childrenCpuSeconds() - before;
        state.ResumeTiming();
    }
    state.counters["child_cpu_ms"] =
        benchmark::Counter(cpu * 1e3 / static_cast<double>(state.iterations()));
    state.counters["profiles"] = static_cast<double>(set.profiles.size());
}

std::string contentOf(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// After a timed run, every profile outside a sandbox must list the module,
// and no sandboxed one.
void checkRegistered(benchmark::State &state, const HomeSet &set) {
    for (const Profile &profile : set.profiles) {
        const bool registered = contentOf(profile.directory + "/pkcs11.txt")
                                    .find(std::string("name=") + kModule) != std::string::npos;
        if (registered == profile.sandboxed) {
            state.SkipWithError(("wrong module list in " + profile.directory).c_str());
            return;
        }
    }
}

// After a timed import, every certificate database must have changed.
void checkImported(benchmark::State &state, const HomeSet &set) {
    for (const Profile &profile : set.profiles) {
        if (contentOf(profile.directory + "/cert9.db") == g_pristine[1]) {
            state.SkipWithError(("no CA in " + profile.directory).c_str());
            return;
        }
    }
}

void BM_KeyrillSweep(benchmark::State &state) {
    timeRuns(state, g_twoProfiles,
             std::string(KEYRILL_PATH) + " -add " + kModule + " " + kLibrary + " >/dev/null");
    checkRegistered(state, g_twoProfiles);
}

void BM_ModutilShellLoop(benchmark::State &state) {
    std::string command = "for d in";
    for (const Profile &profile : g_twoProfiles.profiles) command += " " + profile.directory;
    command += std::string("; do modutil -add ") + kModule + " -libfile " + kLibrary +
               " -dbdir sql:$d -force >/dev/null || exit 1; done";
    timeRuns(state, g_twoProfiles, command);
    checkRegistered(state, g_twoProfiles);
}

void BM_KeyrillSweepFiveStores(benchmark::State &state) {
    // The Flatpak store's refusal goes to standard error, once per home.
    timeRuns(state, g_fiveStores,
             std::string(KEYRILL_PATH) + " -add " + kModule + " " + kLibrary + " >/dev/null 2>&1");
    checkRegistered(state, g_fiveStores);
}

void BM_KeyrillImportFiveStores(benchmark::State &state) {
    timeRuns(state, g_fiveStores,
             std::string(KEYRILL_PATH) + " -reg " + KEYRILL_TEST_CA + " >/dev/null");
    checkImported(state, g_fiveStores);
}

BENCHMARK(BM_KeyrillSweep)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ModutilShellLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_KeyrillSweepFiveStores)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_KeyrillImportFiveStores)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char **argv) {
    buildHomes();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
