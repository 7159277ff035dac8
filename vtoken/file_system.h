// SPDX-License-Identifier: BSD-3-Clause
// The FUSE file system of qvkvtoken: the mount's root holds one regular file
// QVUsbKey<N> per plugged token and the control file ".control".
//
// A token file behaves like the driver's node: every open starts a session
// with its own card state; one write is one command (accepted whole, or
// failed: at most 2038 bytes); the next read returns the whole answer in one
// piece, or 0 bytes when no answer is waiting; close ends the session. Files
// use direct I/O so every read and write reaches the program unsplit and
// uncached. Once a token is unplugged, the sessions opened on it fail with
// ENODEV. poll reports every file ready at once, as for the node of a driver
// that does not support poll.
//
// Unlike a character device, a FUSE file has a file position, which every
// read and write advances (this libfuse cannot open files as streams). It is
// never used here, but a 32-bit program that opened a node without
// O_LARGEFILE sees its writes fail with EFBIG after 2 GiB of traffic on one
// descriptor.
#pragma once

#include <functional>

#include "command_log.h"
#include "options.h"
#include "token_table.h"

namespace qvk::vtoken {

// Mounts options.mountpoint, goes to the background unless asked not to,
// calls `ready` (in the process that serves, so threads it starts live on),
// serves until SIGINT, SIGTERM or SIGHUP, then unmounts. Returns the exit status.
int serve(const Options &options, TokenTable &table, const CommandLog &log,
          const std::function<void()> &ready = {});

}  // namespace qvk::vtoken
