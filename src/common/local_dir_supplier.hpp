// The home directory under which every wallet file lives.
#pragma once

#include <string>

#include "common/did_error.hpp"

namespace velno {

// The home directory in force: the one set by the host, else "<user home>/.olvek"
// (HOME, else the password database, else "./"). Never fails.
std::string supply_local_dir();

// Stores `dir` (exactly as given) as the home directory, creating it when missing.
DidResult<void> set_local_dir(std::string dir);

// For tests: leaves the stored directory's mutex poisoned, as a holder that failed would.
void poison_local_dir_for_test();

}  // namespace velno
