// SPDX-License-Identifier: BSD-3-Clause
#include "pcsc_context.h"

namespace qvk::ccid {

LONG PcscContext::establish() {
    if (established_) return SCARD_S_SUCCESS;
    SCARDCONTEXT context = 0;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (result != SCARD_S_SUCCESS) return result;
    context_ = context;
    established_ = true;
    return SCARD_S_SUCCESS;
}

void PcscContext::drop() {
    if (!established_) return;
    // Also frees the library's record of a context whose service is gone.
    SCardReleaseContext(context_);
    established_ = false;
    context_ = 0;
}

}  // namespace qvk::ccid
