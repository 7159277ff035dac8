// SPDX-License-Identifier: BSD-3-Clause
#include "ca_constraints.h"

#include "nss_handles.h"

#include <certdb.h>

bool mayBeImportedAsCa(const CertificateBytes &certificate) {
    const NssSession nss = NssSession::startWithoutDatabases();
    if (!nss) return true;  // cannot tell: each profile's import decides
    SECItem item{siDERCertBuffer, certificate.data.get(),
                 static_cast<unsigned int>(certificate.length)};
    // A temporary certificate in memory only: nothing is stored anywhere.
    const CertificateRef decoded(
        CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
    if (!decoded) return true;
    SECItem extension{};
    if (CERT_FindCertExtension(decoded.get(), SEC_OID_X509_BASIC_CONSTRAINTS, &extension) !=
        SECSuccess)
        return true;
    CERTBasicConstraints constraints{};
    const SECStatus decodedConstraints = CERT_DecodeBasicConstraintValue(&constraints, &extension);
    SECITEM_FreeItem(&extension, PR_FALSE);
    return decodedConstraints != SECSuccess || constraints.isCA == PR_TRUE;
}
