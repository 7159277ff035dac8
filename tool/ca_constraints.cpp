// SPDX-License-Identifier: BSD-3-Clause
#include "ca_constraints.h"

#include "nss_handles.h"
#include "pem_certificate.h"

#include <certdb.h>
#include <secder.h>
#include <secoid.h>

#include <cstring>
#include <new>
#include <span>

namespace {

// The length of the DER element that starts bytes (tag, length, content),
// or 0 when its header is no definite length that fits.
std::size_t derElementLength(std::span<const unsigned char> bytes) {
    if (bytes.size() < 2) return 0;
    std::size_t header = 2, length = bytes[1];
    if ((length & 0x80) != 0) {
        const std::size_t count = length & 0x7f;
        if (count == 0 || count > 4 || bytes.size() < 2 + count) return 0;
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = (length << 8) | bytes[2 + i];
        header += count;
    }
    return header + length;
}

bool isSequence(std::span<const unsigned char> bytes) {
    return !bytes.empty() && bytes[0] == 0x30;
}

// The checks on one whole DER certificate.
const char *refusalOfDer(std::span<const unsigned char> der) {
    const NssSession nss = NssSession::startWithoutDatabases();
    if (!nss) return "the certificate could not be examined (NSS did not start)";
    SECItem item{siDERCertBuffer, const_cast<unsigned char *>(der.data()),
                 static_cast<unsigned int>(der.size())};
    // A temporary certificate in memory only: nothing is stored anywhere.
    const CertificateRef certificate(
        CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
    if (!certificate) return "it is no X.509 certificate that can be decoded";
    unsigned long version = SEC_CERTIFICATE_VERSION_1;  // the default when none is given
    if (certificate->version.len != 0) version = DER_GetUInteger(&certificate->version);
    if (version != SEC_CERTIFICATE_VERSION_3)
        return "it is an X.509 version 1 or 2 certificate, which cannot say that it is a CA";

    const SECItem *constraints = nullptr;
    for (CERTCertExtension **extension = certificate->extensions;
         extension != nullptr && *extension != nullptr; ++extension) {
        if (SECOID_FindOIDTag(&(*extension)->id) != SEC_OID_X509_BASIC_CONSTRAINTS) continue;
        if (constraints != nullptr) return "it carries its basic constraints more than once";
        constraints = &(*extension)->value;
    }
    if (constraints == nullptr) return "it has no basic constraints, so it is no CA certificate";
    CERTBasicConstraints decoded{};
    if (CERT_DecodeBasicConstraintValue(&decoded, constraints) != SECSuccess)
        return "its basic constraints cannot be decoded";
    if (decoded.isCA != PR_TRUE) return "its basic constraints say that it is no CA";
    return nullptr;
}

CaCertificate refused(const char *why) {
    CaCertificate result;
    result.refusal = why;
    return result;
}

}  // namespace

CaCertificate checkCaCertificate(const CertificateBytes &file) {
    std::span<const unsigned char> der(file.data.get(), static_cast<std::size_t>(file.length));
    const PemCertificate pem = decodePemCertificate(der);
    switch (pem.kind) {
        case PemCertificate::Kind::NotPem:
            break;
        case PemCertificate::Kind::One:
            der = pem.der;
            break;
        case PemCertificate::Kind::Several:
            return refused("it holds more than one certificate; give the CA certificate alone");
        case PemCertificate::Kind::Malformed:
            return refused("it is no PEM file with one CERTIFICATE block that can be decoded");
    }

    const std::size_t length = derElementLength(der);
    if (!isSequence(der) || length == 0)
        return refused("it is neither a DER certificate nor a PEM CERTIFICATE block");
    if (length > der.size()) return refused("the certificate is cut short");
    if (length < der.size()) {
        if (isSequence(der.subspan(length)))
            return refused("it holds more than one certificate; give the CA certificate alone");
        return refused("other bytes follow the certificate");
    }
    if (const char *why = refusalOfDer(der)) return refused(why);

    CaCertificate accepted;
    accepted.der.data.reset(new (std::nothrow) unsigned char[der.size()]);
    if (!accepted.der.data) return refused("there is not enough memory to hold it");
    std::memcpy(accepted.der.data.get(), der.data(), der.size());
    accepted.der.length = static_cast<int>(der.size());
    return accepted;
}
