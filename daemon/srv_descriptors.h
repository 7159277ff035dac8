// SPDX-License-Identifier: BSD-3-Clause
// Descriptor set-up at start.
#pragma once

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// no device is ever opened on them: a family's descriptor 0 would read as
// "not opened", and a device on 1 or 2 would receive the daemon's messages.
void srv_open_standard_descriptors() noexcept;

// Raises the soft limit on open descriptors to the hard limit: every open
// handle of the kernel-driver family is a descriptor.
void srv_raise_descriptor_limit() noexcept;
