// SPDX-License-Identifier: BSD-3-Clause
// Fixtures of the Keyrill tests: running programs (as a given owner), real NSS
// profile databases made with certutil, a SoftHSM module with its own
// configuration, and a DER CA certificate.
#pragma once

#include "sandbox.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qvk::test {

inline constexpr const char *kSoftHsmLibrary = "/usr/lib/softhsm/libsofthsm2.so";

// The start of Keyrill's line for a home on standard output; the user's name
// and " succeed." follow.
inline const std::string kAddLine = "        Add PKCS#11 module for ";
inline const std::string kRegLine = "        Add certificate(s) for ";
inline const std::string kDelLine = "        Delete PKCS#11 module for ";

// Empty private homes: tmpfs over /root (mode 0700) and over /home.
void mount_empty_homes();

struct ProcessResult {
    int exitStatus = -1;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs body in a child process with standard input from /dev/null and
// collects what it writes; the child ends when body returns.
ProcessResult run_child(const std::function<void()> &body);

// Runs a program (searched in PATH) in a child.
ProcessResult run_program(const std::vector<std::string> &argv);

// The same program line, run through setpriv with the given user and group
// and no supplementary groups.
std::vector<std::string> as_owner(uid_t uid, gid_t gid, std::vector<std::string> argv);

inline std::string capture_stdout(const std::function<void()> &body) { return run_child(body).out; }

// Creates the directories of relative below base, owned by uid:gid.
void make_owned_directories(const std::string &base, const std::string &relative, uid_t uid,
                            gid_t gid);

// Creates an empty SQL NSS database (cert9.db, key4.db, pkcs11.txt) in
// directory (created if missing; its parent must exist), as uid:gid, the way
// Firefox profiles hold them today.
void create_nss_database(const std::string &directory, uid_t uid, gid_t gid);

// Writes <home>/<appDir>/profiles.ini and, unless profile is empty, an NSS
// database <home>/<appDir>/<profile>, all owned by uid (group the same
// number). Returns the profile directory, or "" without one.
std::string make_profile(const std::string &home, const std::string &appDir,
                         const std::string &ini, const std::string &profile, uid_t uid);

// A profiles.ini whose Profile0 names path, relative to the application's directory.
std::string profiles_ini(const std::string &path);

// The line of each named home, in the order in which /home lists them.
std::string in_listing_order(const std::map<std::string, std::string> &lines);

// Output of `modutil -list` and `certutil -L` on a database, run as its owner.
// The three NSS database files of a profile directory, read whole, to tell
// whether anything in them changed.
std::string database_contents(const std::string &directory);

std::string list_modules(const std::string &directory, uid_t uid, gid_t gid);
std::string list_certificates(const std::string &directory, uid_t uid, gid_t gid);

// Names of the files in directory that uid does not own (empty: all its own).
std::vector<std::string> files_not_owned_by(const std::string &directory, uid_t uid);

// A SoftHSM configuration of its own, readable by every user, put in
// SOFTHSM2_CONF for this process and the programs it starts and, in private
// namespaces, bound over /etc/softhsm, where SoftHSM looks without it.
class SoftHsm {
public:
    SoftHsm();
    ~SoftHsm();
    SoftHsm(const SoftHsm &) = delete;
    SoftHsm &operator=(const SoftHsm &) = delete;

private:
    TempDir dir_;
    bool bound_ = false;
};

// The DER CA certificate "Keyrill Test CA" (O "Kestrane Tests").
std::string test_ca_path();

// A FUSE file system that user uid:gid mounted over their own directory
// (with or without allow_other): it shows the directory's content, passed
// through with the user's rights, but reports every file as root's and
// writable by neither group nor others. Unmounted when the owner goes.
class LyingMount {
public:
    LyingMount(const std::string &directory, uid_t uid, gid_t gid, bool allowOther);
    ~LyingMount();
    LyingMount(const LyingMount &) = delete;
    LyingMount &operator=(const LyingMount &) = delete;

private:
    std::string directory_;
    pid_t daemon_ = -1;
};

}  // namespace qvk::test
