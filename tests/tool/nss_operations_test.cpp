// SPDX-License-Identifier: BSD-3-Clause
// The operations on one profile, on real NSS databases, with the profile
// directory resolved by a stand-in: <home>/ff and <home>/tb, and none for a
// home whose path contains "unresolved".
#include "certificate_file.h"
#include "keyrill_fixture.h"
#include "nss_operations.h"
#include "profile_dir.h"

#include <nss.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace qvk::test;

int findProfileDir(const char *home, ProfileApp app, ProfileDirBuffer &out) {
    const std::string directory = std::string(home) + (app == ProfileApp::Firefox ? "/ff" : "/tb");
    if (directory.find("unresolved") != std::string::npos) return 0;
    out.fill('\0');
    directory.copy(out.data(), out.size() - 1);
    return 1;
}

namespace {

constexpr const char *kModule = "keyrill-test";

class KeyrillNss : public testing::Test {
protected:
    void SetUp() override {
        create_nss_database(home / "ff", 0, 0);
        create_nss_database(home / "tb", 0, 0);
    }
    std::string modules(const char *app) { return list_modules(home / app, 0, 0); }
    std::string certificates(const char *app) { return list_certificates(home / app, 0, 0); }

    SoftHsm softHsm;
    TempDir home;
};

}  // namespace

TEST_F(KeyrillNss, ModuleIsAddedOnceAndRemovedAgain) {
    const char *h = home.path().c_str();
    EXPECT_EQ(addModuleToProfile(kModule, kSoftHsmLibrary, h, ProfileApp::Firefox), 1);
    EXPECT_FALSE(NSS_IsInitialized());
    EXPECT_NE(modules("ff").find(std::string("library name: ") + kSoftHsmLibrary),
              std::string::npos);
    // Present already: success, and the registered library stays.
    EXPECT_EQ(addModuleToProfile(kModule, "/nowhere/other.so", h, ProfileApp::Firefox), 1);
    EXPECT_EQ(modules("ff").find("/nowhere/other.so"), std::string::npos);
    // The next profile in the same process gets its own change.
    EXPECT_EQ(modules("tb").find(kModule), std::string::npos);
    EXPECT_EQ(addModuleToProfile(kModule, kSoftHsmLibrary, h, ProfileApp::Thunderbird), 1);
    EXPECT_NE(modules("tb").find(kModule), std::string::npos);

    EXPECT_EQ(deleteModuleFromProfile(kModule, h, ProfileApp::Firefox), 1);
    EXPECT_FALSE(NSS_IsInitialized());
    EXPECT_EQ(modules("ff").find(kModule), std::string::npos);
    EXPECT_EQ(deleteModuleFromProfile(kModule, h, ProfileApp::Firefox), 0);
    EXPECT_NE(modules("tb").find(kModule), std::string::npos);

    const std::string unresolved = home / "unresolved", missing = home / "missing";
    for (const std::string &other : {unresolved, missing}) {
        EXPECT_EQ(addModuleToProfile(kModule, kSoftHsmLibrary, other.c_str(), ProfileApp::Firefox),
                  0);
        EXPECT_EQ(deleteModuleFromProfile(kModule, other.c_str(), ProfileApp::Firefox), 0);
    }
    EXPECT_EQ(addModuleToProfile(kModule, nullptr, h, ProfileApp::Firefox), 0);
    EXPECT_EQ(deleteModuleFromProfile(nullptr, h, ProfileApp::Thunderbird), 0);
    EXPECT_FALSE(NSS_IsInitialized());
    EXPECT_NE(modules("tb").find(kModule), std::string::npos);
}

TEST_F(KeyrillNss, ReadOnlyProfileCountsARegisteredModuleOnly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a profile that its user can only read";
    const char *h = home.path().c_str();
    ASSERT_EQ(addModuleToProfile(kModule, kSoftHsmLibrary, h, ProfileApp::Firefox), 1);
    chmod(h, 0755);
    for (const char *app : {"ff", "tb"}) {
        run_program({"chown", "-R", "12345:12345", home / app});
        run_program({"chmod", "-R", "a-w", home / app});
    }
    // The read-write start fails for the owner; the read-only start still
    // finds the module in one profile and cannot add it to the other.
    const ProcessResult owner = run_child([&] {
        if (setgid(12345) != 0 || setuid(12345) != 0) _exit(9);
        _exit(addModuleToProfile(kModule, kSoftHsmLibrary, h, ProfileApp::Firefox) +
              2 * addModuleToProfile(kModule, kSoftHsmLibrary, h, ProfileApp::Thunderbird));
    });
    EXPECT_EQ(owner.exitStatus, 1);
    EXPECT_EQ(modules("tb").find(kModule), std::string::npos);
}

TEST_F(KeyrillNss, CaIsImportedWithItsTrustIntoEachProfile) {
    const std::optional<CertificateBytes> ca = loadCertificateFile(test_ca_path().c_str());
    ASSERT_TRUE(ca.has_value());
    const char *h = home.path().c_str();
    for (const char *app : {"ff", "tb"}) {
        EXPECT_EQ(
            importCertToProfile(ca->data.get(), ca->length, h,
                                app[0] == 'f' ? ProfileApp::Firefox : ProfileApp::Thunderbird),
            1);
        EXPECT_FALSE(NSS_IsInitialized());
        EXPECT_NE(certificates(app).find("Keyrill Test CA - Kestrane Tests"), std::string::npos);
        EXPECT_NE(certificates(app).find("CT,C,C"), std::string::npos) << certificates(app);
    }
    // The bytes go to NSS unconverted: a PEM text is no DER certificate.
    const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    const auto *text = reinterpret_cast<const unsigned char *>(pem.data());
    EXPECT_EQ(importCertToProfile(text, static_cast<int>(pem.size()), h, ProfileApp::Firefox), 0);
    EXPECT_EQ(importCertToProfile(text, 0, h, ProfileApp::Firefox), 0);
    EXPECT_EQ(importCertToProfile(nullptr, 10, h, ProfileApp::Firefox), 0);
    EXPECT_FALSE(NSS_IsInitialized());
}

TEST(KeyrillNssImport, CopyThatCannotBeAllocatedLeavesTheProfileAlone) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address-space limit that makes the copy fail also starves the "
                    "sanitizer's own allocator; runs in the plain build";
#endif
    TempDir home;
    make_directories(home / "ff");  // an empty profile: a start would create databases
    const ProcessResult attempt = run_child([&] {
        constexpr int kLength = 256 << 20;
        void *source = mmap(nullptr, kLength, PROT_READ,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        std::ifstream statm("/proc/self/statm");
        unsigned long pages = 0;
        statm >> pages;
        const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (32 << 20);
        const rlimit cap{limit, limit};
        if (source == MAP_FAILED || setrlimit(RLIMIT_AS, &cap) != 0) _exit(2);
        _exit(importCertToProfile(static_cast<const unsigned char *>(source), kLength,
                                  home.path().c_str(), ProfileApp::Firefox));
    });
    EXPECT_EQ(attempt.exitStatus, 0);
    const ProcessResult listing = run_program({"ls", "-A", home / "ff"});
    EXPECT_EQ(listing.out, "");
}

TEST(KeyrillCertificateFile, WholeFileUnchangedOrNothing) {
    TempDir dir;
    const std::string bytes("\x30\x82\x00\r\n\x00\xff-----BEGIN", 15);
    write_file(dir / "ca.bin", bytes);
    const std::optional<CertificateBytes> loaded = loadCertificateFile((dir / "ca.bin").c_str());
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(loaded->data.get()),
                          static_cast<std::size_t>(loaded->length)),
              bytes);

    write_file(dir / "empty", "");
    EXPECT_FALSE(loadCertificateFile((dir / "empty").c_str()).has_value());
    EXPECT_FALSE(loadCertificateFile((dir / "missing").c_str()).has_value());
    EXPECT_FALSE(loadCertificateFile(dir.path().c_str()).has_value());  // a directory reads nothing
    EXPECT_FALSE(loadCertificateFile(nullptr).has_value());
}
