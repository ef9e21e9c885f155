// Symbolic and hard links around the wallet files: which file a path finally names,
// and whether the wallet file and its undo copy are one.
#pragma once

#include <string>

#include "common/did_error.hpp"

namespace velno {

// The file that `path` finally names: each symbolic link at the end of the path is
// followed (a relative target counts from the link's directory) until something that
// is not a link, or nothing, is there. Writes go to that file, so that a link the host
// made keeps pointing at the wallet it chose. IO for a loop, or a link that cannot be read.
DidResult<std::string> final_target(std::string path);

// IO ("the wallet file and its undo copy are one file") when the wallet's file and the
// undo path name one file: the same file through links or hard links, or, where nothing
// is yet, the same name in the same directory (a dangling link of one to the other).
// Writing the copy there, or removing it, would cost the wallet.
DidResult<void> check_apart(const std::string& wallet_target, const std::string& undo);

}  // namespace velno
