// SPDX-License-Identifier: BSD-3-Clause
// Who may use the daemon's IPC objects: every local user (mode 0777, the
// default), or, with --group, root and the members of one group (mode 0660,
// owned by that group). Objects are looked up first and created only when
// missing, so that one left by an earlier run is taken over whatever its
// mode, and then given the access of this run.
#pragma once

#include <sys/types.h>

// From now on the objects are for root and this group only.
void srv_access_limit_to(gid_t group) noexcept;

// The set of one semaphore under the key, taken over or created, with this
// run's access; -1 when it cannot be had, or when a limited access cannot be
// given to it (after a line on standard error). For the default access an
// object that cannot be changed is taken over as it is.
int srv_access_semaphore_set(key_t key) noexcept;

// The segment (SHM_KEY, SHM_SIZE) in the same way. Under a group, a segment
// that was open to others is replaced by a new one, since a process that
// attached it then would keep its mapping; -1 as above.
int srv_access_segment() noexcept;
