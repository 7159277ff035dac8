// SPDX-License-Identifier: BSD-3-Clause
// Which files a Flatpak or Snap sandbox can be relied on to open at the path
// the host gives them: those inside the sandbox's own tree below the home
// (~/.var/app/<id>, ~/snap/<name>), which it sees at the same path. Anything
// else it sees only where its permissions grant it (a Flatpak then under
// /run/host), or from its own runtime or base (a Snap's /usr is its base's).
#pragma once

#include <string>

// Whether file lies inside tree as the sandbox sees it: an absolute path
// below tree without "." or ".." among its components, naming a regular file
// that exists. A symbolic link on the way below tree is followed only when
// its target is relative and has no ".." (such as a Snap's "current", which
// names a revision beside it), so that the way never leaves the tree; any
// other link, and any error, gives false. Looked at with the caller's rights.
bool visibleInSandbox(const std::string &file, const std::string &tree);
