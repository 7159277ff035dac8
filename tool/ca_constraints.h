// SPDX-License-Identifier: BSD-3-Clause
// The check that keeps a certificate that is no CA out of every profile.
#pragma once

#include "certificate_file.h"

// False when the bytes are a certificate whose basic constraints say that it
// is not a CA; true otherwise, also when they are no certificate at all
// (NSS then refuses them in each profile) or carry no basic constraints.
// Starts NSS without databases for the check and shuts it down again.
bool mayBeImportedAsCa(const CertificateBytes &certificate);
