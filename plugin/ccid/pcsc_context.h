// SPDX-License-Identifier: BSD-3-Clause
// The plug-in's PC/SC context for listing readers: established when first
// needed, and established again when pcscd went away and came back (a
// restarted pcscd knows nothing of the old context).
#pragma once

#include <winscard.h>

namespace qvk::ccid {

class PcscContext {
public:
    PcscContext() = default;
    ~PcscContext() { drop(); }
    PcscContext(const PcscContext &) = delete;
    PcscContext &operator=(const PcscContext &) = delete;

    // Runs call(context) on the context, establishing it first when there is
    // none. When the result says the service or the context is gone, the
    // context is established anew and call runs once more. Returns call's
    // result, or the failure of establishing the context.
    template <class Call>
    LONG run(Call call) {
        LONG result = establish();
        if (result != SCARD_S_SUCCESS) return result;
        result = call(context_);
        if (!context_lost(result)) return result;
        drop();
        const LONG again = establish();
        return again == SCARD_S_SUCCESS ? call(context_) : result;
    }

private:
    static bool service_gone(LONG result) {
        return result == SCARD_E_NO_SERVICE || result == SCARD_E_SERVICE_STOPPED;
    }
    static bool context_lost(LONG result) {
        return service_gone(result) || result == SCARD_E_INVALID_HANDLE ||
               result == SCARD_F_COMM_ERROR;
    }

    LONG establish();
    void drop();

    SCARDCONTEXT context_ = 0;
    bool established_ = false;
};

}  // namespace qvk::ccid
