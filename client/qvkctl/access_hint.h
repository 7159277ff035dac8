// SPDX-License-Identifier: BSD-3-Clause
// Why qvkserver's objects may not be used, as far as every user can tell.
#pragma once

namespace qvkctl {

// When the segment's mode admits only its owner and its group (qvkserver
// --group), prints which group that is: /proc/sysvipc/shm shows every user
// the mode and group of every segment, also one that may not be used.
void print_access_hint();

}  // namespace qvkctl
