// SPDX-License-Identifier: BSD-3-Clause
#include "exit_status.h"

#include <cstdio>

namespace qvkctl {

ExitStatus exit_status_for(qvk_result result) {
    switch (result) {
    case QVK_OK:
        return EXIT_OK;
    case QVK_ERR_NOT_RUNNING:
        return EXIT_NOT_RUNNING;
    case QVK_ERR_TIMEOUT:
        return EXIT_TIMEOUT;
    case QVK_ERR_MALFORMED_RESPONSE:
        return EXIT_MALFORMED;
    case QVK_ERR_NOT_OPENED:
        return EXIT_NO_DEVICE;
    case QVK_ERR_HANDLE_NOT_OPEN:
    case QVK_ERR_NO_ANSWER:
    case QVK_ERR_BUFFER_TOO_SMALL:
    case QVK_ERR_CLOSE_REFUSED:
    case QVK_ERR_REQUEST_LOST:
    case QVK_ERR_EXCLUSIVE_LOST:
        return EXIT_TOKEN_ERROR;
    case QVK_ERR_ACCESS_DENIED:
        return EXIT_ACCESS_DENIED;
    case QVK_ERR_INVALID_ARGUMENT:
        return EXIT_USAGE;
    case QVK_ERR_SYSTEM:
    case QVK_ERR_OUT_OF_MEMORY:
        break;
    }
    return EXIT_FAILED;
}

int report_failure(const char *what, qvk_result result) {
    std::fprintf(stderr, "qvkctl: %s: %s\n", what, qvk_result_text(result));
    return exit_status_for(result);
}

}  // namespace qvkctl
