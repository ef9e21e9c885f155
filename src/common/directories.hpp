// Directories of the home path and of the wallets: testing for them and creating them.
#pragma once

#include <string>

namespace velno {

// True when `path` names a directory, following symbolic links; a path whose status
// cannot be read is no directory.
bool is_directory(const std::string& path);

// Creates `path` with every missing parent, each with mode 0700 whatever the umask:
// beside the wallets, only their owner may list, add, remove or swap files, and the
// owner always can. Directories that exist already (or that someone else creates
// meanwhile) are left as they are. 0, or the errno of the failure.
int create_private_directories(const std::string& path);

}  // namespace velno
