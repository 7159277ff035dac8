// SPDX-License-Identifier: BSD-3-Clause
// Detaching from the starter.
#pragma once

// Forks. The parent exits with status 0 at once; the child leaves the
// starter's session and clears its file-creation mask, then gets 0. -1 when
// the fork fails. The working directory and the standard streams are kept.
int daemonize() noexcept;
