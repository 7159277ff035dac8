// SPDX-License-Identifier: BSD-3-Clause
// Plain-words texts of the results, for messages to people.
#include "qvkclient.h"

extern "C" QVK_CLIENT_API const char *qvk_result_text(qvk_result result) {
    switch (result) {
    case QVK_OK:
        return "success";
    case QVK_ERR_NOT_RUNNING:
        return "qvkserver is not running (its shared memory segment or semaphores are missing, "
               "or no daemon has them attached)";
    case QVK_ERR_ACCESS_DENIED:
        return "permission denied on qvkserver's shared memory segment or semaphores";
    case QVK_ERR_TIMEOUT:
        return "qvkserver did not answer in time (it may be busy, stopped or hung)";
    case QVK_ERR_MALFORMED_RESPONSE:
        return "qvkserver's answer was malformed (a length, count or field did not fit the request)";
    case QVK_ERR_INVALID_ARGUMENT:
        return "invalid argument (missing buffer, path over 127 characters, or APDU over 512 bytes)";
    case QVK_ERR_NOT_OPENED:
        return "the device was not opened (not listed by the latest enumeration, or its family "
               "could not open it)";
    case QVK_ERR_HANDLE_NOT_OPEN:
        return "the handle is not open in qvkserver";
    case QVK_ERR_NO_ANSWER:
        return "the token gave no answer (or qvkserver refused the exchange)";
    case QVK_ERR_CLOSE_REFUSED:
        return "the device family did not close the handle";
    case QVK_ERR_REQUEST_LOST:
        return "qvkserver restarted during the request, which was lost";
    case QVK_ERR_SYSTEM:
        return "a system call failed unexpectedly";
    case QVK_ERR_OUT_OF_MEMORY:
        return "out of memory";
    case QVK_ERR_BUFFER_TOO_SMALL:
        return "the token's answer had more data than the room given for it; the rest was cut";
    case QVK_ERR_EXCLUSIVE_LOST:
        return "the exclusive sequence lost its turn (no call for over 5 s, taken away, or qvkserver "
               "restarted); nothing was sent: end the sequence and begin it again";
    }
    return "unknown result code";
}
