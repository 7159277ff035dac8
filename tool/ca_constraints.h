// SPDX-License-Identifier: BSD-3-Clause
// The check that lets only a plain CA certificate into every profile.
#pragma once

#include "certificate_file.h"

// The certificate that the import command hands to each profile, or why the
// file is refused.
struct CaCertificate {
    CertificateBytes der;            // when refusal is null: the one certificate, in DER
    const char *refusal = nullptr;  // otherwise: why, in a few words
};

// Accepts exactly one certificate, in DER or as one PEM "CERTIFICATE" block
// (decoded here, with nothing but white space around it), with nothing after
// it, that NSS decodes as an X.509 version 3 certificate carrying one basic
// constraints extension that decodes and says cA TRUE. Everything else is
// refused: a certificate without that extension, of version 1 or 2, with an
// extension that does not decode or says it is no CA, bytes after the
// certificate, several certificates, a certificate cut short, anything that
// is no certificate. Starts NSS without databases for the check and shuts it
// down again; nothing is stored anywhere.
CaCertificate checkCaCertificate(const CertificateBytes &file);
