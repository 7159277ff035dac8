// SPDX-License-Identifier: BSD-3-Clause
// The environment that code run under a user's identity starts with: the
// one that user's login would give, with nothing of the caller's.
#pragma once

#include <pwd.h>
#include <sys/types.h>

// Replaces the process's environment with PATH (the default one of a login),
// HOME, USER, LOGNAME and SHELL of uid's passwd entry (entry; without one,
// null: the home being worked on, the number, "/bin/sh") and the system's LANG (from
// /etc/default/locale, else "C.UTF-8"). The block the process was started
// with, which /proc/self/environ shows and which a fork shares with its
// parent, is wiped as well, and /proc/self/environ is pointed at the new
// environment where the kernel allows it. Call it before giving up root's
// rights. False when the new environment could not be set up.
bool enterLoginEnvironment(uid_t uid, const passwd *entry, const char *home);
