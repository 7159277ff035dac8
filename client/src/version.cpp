// SPDX-License-Identifier: BSD-3-Clause
// The version of the library itself, as built from the header's numbers.
#include "qvkclient.h"

#define QVK_TEXT(x) #x
#define QVK_VERSION_TEXT(major, minor, patch) QVK_TEXT(major) "." QVK_TEXT(minor) "." QVK_TEXT(patch)

extern "C" QVK_CLIENT_API const char *qvk_version(void) {
    return QVK_VERSION_TEXT(QVK_CLIENT_VERSION_MAJOR, QVK_CLIENT_VERSION_MINOR, QVK_CLIENT_VERSION_PATCH);
}
