// The temporary files that whole-file writes rename into place, their names, and the
// removal of those that writers killed mid-write left behind.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velno {

// A temporary file's name: the prefix, then three fields of 16 hexadecimal digits joined
// by "-": a digest of the name of the file it will replace, the writing process's tag and
// a serial number. Its fixed length keeps every wallet whose own name fits the file
// system writable; the digest lets the opening of a wallet find what writers of that
// wallet, killed mid-write, left behind.
inline constexpr std::string_view kTempPrefix = ".velno-tmp-";
inline constexpr std::size_t kTempHexField = 16;
inline constexpr std::size_t kTempNameSize = kTempPrefix.size() + 3 * kTempHexField + 2;

// A new temporary name for a rewrite of the file named `file_name` (a base name),
// unique per write: concurrent writers of one storage share a directory.
std::string temp_name_for(std::string_view file_name);

// Removes the files that writers of `path`, killed while rewriting it, left beside it:
// each a whole copy of the wallet of its day. Files only: a link is never followed. A
// directory that cannot be listed, or a file that cannot be removed, is only logged.
void remove_leftovers_of(const std::string& path);

}  // namespace velno
