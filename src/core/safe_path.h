// SPDX-License-Identifier: Apache-2.0
// Finding a board file without being led astray. Folders such as /opt/.lxc_ipconfig are seen
// by containers, and anyone who can plant a symlink there could make a root daemon write
// wherever the link points. So a path is walked one component at a time and a symlink is
// followed only when root (or the daemon's own user) made it, as the kernel's
// protected-symlinks rule does for links in shared folders.
#pragma once

#include <string>

#include "core/unique_fd.h"

struct ResolvedPath {
    UniqueFd dir;      // the folder that holds `name` (an O_PATH descriptor)
    std::string name;  // the final name: missing, or anything but a symlink
};

// Resolves `path`, following trusted symlinks, a final one included. False, with `error`
// saying why, when a component is missing, is not a folder, or is a symlink that someone
// other than root made.
bool resolvePath(const std::string& path, ResolvedPath& out, std::string& error);

// The folder `path` names, resolved as above, as an O_PATH descriptor.
bool openFolder(const std::string& path, UniqueFd& out, std::string& error);
