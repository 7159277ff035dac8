// SPDX-License-Identifier: BSD-3-Clause
// Descriptor set-up at start.
#pragma once

// What the daemon does first of all: it ignores SIGPIPE (a message to a
// standard error whose reader has gone must not end it otherwise than its
// exit status says), closes every descriptor above 2 that it inherited
// (nothing of its starter's stays open in a daemon that runs for months),
// and opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so
// that no device is ever opened on them: a family's descriptor 0 would read
// as "not opened", and a device on 1 or 2 would receive the daemon's
// messages. False when /dev/null cannot be opened for a closed one (a
// message then goes to standard error, if that is open): the daemon must
// not start.
bool srv_settle_descriptors() noexcept;

// Raises the soft limit on open descriptors to the hard limit: every open
// handle of the kernel-driver family is a descriptor.
void srv_raise_descriptor_limit() noexcept;
