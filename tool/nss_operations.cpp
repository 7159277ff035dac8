// SPDX-License-Identifier: BSD-3-Clause
#include "nss_operations.h"

#include "nss_handles.h"
#include "profile_dir.h"

#include <certdb.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

// Module database name handed to NSS_Initialize by the module operations, and
// by the import (which names the certificate database there). With the SQL
// databases of today's profiles NSS keeps its module list in pkcs11.txt
// whatever name is given.
constexpr const char *kModuleDatabase = "secmod.db";
constexpr const char *kImportModuleDatabase = "cert8.db";

static_assert(sizeof(CERTCertTrust) == 12, "NSS's trust record: three 32-bit flag words");

// Gives the imported certificate CA_TRUST_STRING. Nothing here changes the
// outcome of the import: a certificate that cannot be found or a record that
// cannot be allocated only skips the trust change.
void trustImportedCa(CERTCertDBHandle *handle, SECItem &item) {
    CertificateRef certificate(CERT_FindCertByDERCert(handle, &item));
    if (!certificate) return;
    PortBuffer<CERTCertTrust> trust(
        static_cast<CERTCertTrust *>(PORT_ZAlloc(sizeof(CERTCertTrust))));
    if (!trust) return;
    CERT_DecodeTrustString(trust.get(), CA_TRUST_STRING);
    CERT_ChangeCertTrust(handle, certificate.get(), trust.get());
    certificate.reset();
    trust.reset();
}

// A key database that NSS has just created needs a password before the
// token takes anything that is to be trusted; the browsers give it an empty
// one on their first start, and so does the import. A database that has one
// already is left alone.
void initialiseFreshKeyDatabase() {
    const SlotRef slot(PK11_GetInternalKeySlot());
    if (slot && PK11_NeedUserInit(slot.get())) PK11_InitPin(slot.get(), "", "");
}

bool profileDirectory(const char *home, ProfileApp app, const char *checkedDirectory,
                      ProfileDirBuffer &out) {
    if (checkedDirectory == nullptr) return findProfileDir(home, app, out) == 1;
    out.fill('\0');
    const std::size_t length = std::strlen(checkedDirectory);
    if (length == 0 || length >= out.size()) return false;
    std::memcpy(out.data(), checkedDirectory, length);
    return true;
}

}  // namespace

int addModuleToProfile(const char *moduleName, const char *moduleFilePath, const char *home,
                       ProfileApp app, const char *checkedDirectory) {
    if (moduleFilePath == nullptr || moduleName == nullptr || home == nullptr) return 0;
    ProfileDirBuffer directory{};
    if (!profileDirectory(home, app, checkedDirectory, directory)) return 0;

    const NssSession nss = NssSession::startAllowingReadOnly(directory.data(), kModuleDatabase,
                                                               NssDatabases::ModulesOnly);
    if (!nss) return 0;
    {
        const ModuleRef registered(SECMOD_FindModule(moduleName));
        if (registered) return 1;
    }
    return SECMOD_AddNewModule(moduleName, moduleFilePath, 0, 0) == SECSuccess ? 1 : 0;
}

int deleteModuleFromProfile(const char *moduleName, const char *home, ProfileApp app,
                            const char *checkedDirectory) {
    if (home == nullptr || moduleName == nullptr) return 0;
    ProfileDirBuffer directory{};
    if (!profileDirectory(home, app, checkedDirectory, directory)) return 0;

    const NssSession nss =
        NssSession::startReadWrite(directory.data(), kModuleDatabase, NssDatabases::ModulesOnly);
    if (!nss) return 0;
    int moduleType = 0;  // written back by NSS, not used
    return SECMOD_DeleteModule(moduleName, &moduleType) == SECSuccess ? 1 : 0;
}

int importCertToProfile(const unsigned char *bytes, int length, const char *home, ProfileApp app,
                        const char *checkedDirectory) {
    // An item without data must never reach NSS.
    if (home == nullptr || bytes == nullptr || length <= 0) return 0;
    SECItem item{};
    ProfileDirBuffer directory{};
    if (!profileDirectory(home, app, checkedDirectory, directory)) return 0;

    // The attempt's own copy of the certificate is made before NSS starts: an
    // attempt that cannot have it ends without touching the profile. The copy
    // outlives the session, so it is released after the shutdown.
    const std::unique_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[length]);
    if (!copy) return 0;
    std::memcpy(copy.get(), bytes, static_cast<std::size_t>(length));

    const NssSession nss = NssSession::startReadWrite(directory.data(), kImportModuleDatabase,
                                                        NssDatabases::All);
    if (!nss) return 0;
    CERTCertDBHandle *handle = CERT_GetDefaultCertDB();
    initialiseFreshKeyDatabase();

    item.len = static_cast<unsigned int>(length);
    item.type = siDERCertBuffer;
    item.data = copy.get();
    if (CERT_ImportCAChainTrusted(&item, 1, certUsageSSLCA) == SECFailure) return 0;
    if (handle != nullptr) trustImportedCa(handle, item);
    return 1;
}
