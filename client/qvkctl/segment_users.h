// SPDX-License-Identifier: BSD-3-Clause
// Who has qvkserver's segment attached, as far as this process can tell.
#pragma once

#include <sys/types.h>

namespace qvkctl {

struct SegmentUsers {
    long attachments = -1;  // processes attached; -1 when it could not be read
    pid_t daemon = 0;       // the daemon among them; 0 when not known
};

// The daemon is recognised as a running process named "qvkserver" that the
// IPC objects name: the last process to operate on the server set (the
// daemon, whenever it waits idle), the segment's last attacher or its
// creator. A daemon in another PID namespace, or one hidden by /proc's
// mount options, is not known.
SegmentUsers segment_users();

}  // namespace qvkctl
