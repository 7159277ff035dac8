// SPDX-License-Identifier: BSD-3-Clause
// Owners for the NSS state that one profile attempt holds: the library's
// start and shutdown, module and certificate references, and PORT allocations.
// Declare the session first in a scope: everything declared after it is
// released before NSS_Shutdown runs, as the shutdown fails while any
// reference is still held.
#pragma once

#include <cert.h>
#include <nss.h>
#include <pk11pub.h>
#include <secmod.h>

#include <memory>

// What an attempt needs NSS to open in a profile: its module list alone (to
// add or remove a module), or its certificate and key databases as well.
// Neither looks for the root certificates module: no attempt needs it.
enum class NssDatabases {
    ModulesOnly,
    All,
};

constexpr PRUint32 nssStartFlags(NssDatabases databases) {
    return databases == NssDatabases::ModulesOnly ? NSS_INIT_NOCERTDB | NSS_INIT_NOROOTINIT
                                                  : NSS_INIT_NOROOTINIT;
}

// NSS started on one profile directory; shut down once when it goes out of scope.
class NssSession {
public:
    // Starts NSS read-write on directory (empty prefixes); a start that fails
    // leaves NSS down and the session empty.
    static NssSession startReadWrite(const char *directory, const char *moduleDatabase,
                                     NssDatabases databases) {
        return NssSession(NSS_Initialize(directory, "", "", moduleDatabase,
                                         nssStartFlags(databases)) == SECSuccess);
    }

    // Tries the read-write start and then NSS_Init on the same directory, which
    // returns at once when NSS is already up and otherwise starts NSS read only,
    // so that a profile whose databases can only be read still gets its turn.
    static NssSession startAllowingReadOnly(const char *directory, const char *moduleDatabase,
                                            NssDatabases databases) {
        NSS_Initialize(directory, "", "", moduleDatabase, nssStartFlags(databases));
        return NssSession(NSS_Init(directory) != SECFailure);
    }

    // Starts NSS without any database, for work on certificates alone.
    static NssSession startWithoutDatabases() {
        return NssSession(NSS_NoDB_Init(nullptr) == SECSuccess);
    }

    NssSession(const NssSession &) = delete;
    NssSession &operator=(const NssSession &) = delete;
    ~NssSession() {
        if (started_) NSS_Shutdown();
    }

    explicit operator bool() const { return started_; }

private:
    explicit NssSession(bool started) : started_(started) {}
    bool started_;
};

struct ModuleRelease {
    void operator()(SECMODModule *module) const { SECMOD_DestroyModule(module); }
};
using ModuleRef = std::unique_ptr<SECMODModule, ModuleRelease>;

struct CertificateRelease {
    void operator()(CERTCertificate *certificate) const { CERT_DestroyCertificate(certificate); }
};
using CertificateRef = std::unique_ptr<CERTCertificate, CertificateRelease>;

struct SlotRelease {
    void operator()(PK11SlotInfo *slot) const { PK11_FreeSlot(slot); }
};
using SlotRef = std::unique_ptr<PK11SlotInfo, SlotRelease>;

struct PortRelease {
    void operator()(void *memory) const { PORT_Free(memory); }
};
template <class T>
using PortBuffer = std::unique_ptr<T, PortRelease>;
