// Where wallet files lie, and reading and writing them whole.
//
// The functions below are the storage's way to the disk. Their work is spread by
// concern: the paths and the limits they must keep (wallet_path.cpp), durable
// whole-file reads and writes (durable_file.cpp), the temporary files that killed
// writers leave (leftover_files.cpp), symbolic and hard links (file_links.cpp), and the
// undo copy of a change of password (undo_copy_file.cpp).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/did_error.hpp"
#include "common/io_error.hpp"
#include "wallet/model/wallet_file_format.hpp"

namespace velno {

// Joins two path parts: a second part starting with "/" replaces the first; otherwise one
// "/" goes between them unless the first is empty or ends with "/".
std::string join_path(const std::string& first, const std::string& second);

// <home>/brox-wallet/./<name>.json; creates the wallet directory (mode 0700) when missing
// (a failure is only logged). Never fails.
std::string resolve_wallet_path(const std::string& name);

// Before a wallet is opened: checks that every later rewrite of the wallet file and of
// the undo file can succeed (for the wallet, the file that links at its path finally
// name; for the undo copy, its own path, where a link is replaced, never followed: a
// directory the process may write, names and whole paths, the temporary file's
// included, within the file system's limits, and a regular file or nothing there, also
// through links), and that the two paths do not name one file, then removes the
// temporary files that writers of either, killed mid-write, left behind (a directory
// that cannot be listed is only logged). IO when a check fails; nothing is created.
DidResult<void> prepare_wallet_files(const std::string& name, const std::string& undo_name);

// Wallet files above this size are refused before they are read, and never written
// (IO, EFBIG): a DID takes under a kilobyte, so this is room for some 300,000 DIDs, and
// reading a larger file would only run the process out of memory.
inline constexpr std::size_t kMaxWalletFileBytes = std::size_t{256} << 20;
// The room below that bound that only an opening's own DID may take: a wallet that
// stores and create_did filled to the brim still opens without a seed. A DID made from
// the longest seed accepted takes 2.3 KiB, one without a seed under 1 KiB.
inline constexpr std::size_t kOpeningReserveBytes = std::size_t{16} << 10;

// Reads the wallet file of `name` (opened for reading and writing). 0 bytes: empty map;
// more than kMaxWalletFileBytes: IO. Anything but a regular file (after links) is
// refused with IO, without waiting.
DidResult<RecordMap> read_wallet_file(const std::string& name);

// Creates the wallet file of `name` when missing (mode 0600 whatever the umask; through
// a dangling link, its target), leaving an existing one as is; anything but a regular
// file at its path is refused with IO, without waiting.
DidResult<void> create_wallet_file(const std::string& name);

// Replaces the wallet file of `name` with the serialised map, crash-safely: a unique
// temporary file (mode 0600 whatever the umask) in the same directory, flushed to the
// device, renamed over the wallet file, then the directory flushed. A symbolic link at
// the path stays: the file it finally names is the one replaced. A text above
// kMaxWalletFileBytes is refused (IO, EFBIG) before any file work. On failure before the rename the old file stays as
// it was and the temporary file is removed; once the rename is done, a directory that
// cannot be opened for the flush is only logged, and `replaced`, when given, tells that
// the new file took the wallet file's place (a failed flush can still follow). A text
// that is not valid UTF-8 is refused (EncodingError) rather than written altered. The
// caller holds the record map throughout.
DidResult<void> write_wallet_file(const RecordMap& records, const std::string& name, bool* replaced = nullptr);

// ---- Parts of paths, shared by the storage's file work ----------------------------

// The IO error of a failed system call.
inline DidError os_error(int errnum) { return DidError::from_io_error(IoError::os(errnum)); }

// The wallet directory of the home in force now, created when missing.
std::string wallet_directory();
// The path of the wallet file `name` in the wallet directory `dir`.
std::string wallet_path_in(const std::string& dir, const std::string& name);

// Everything before the last "/" ("." without one, "/" for a file at the root).
std::string directory_of(const std::string& path);
// Everything after the last "/".
std::string_view base_name(std::string_view path);
// The longest file name, and the longest path, that the file system of `dir` takes.
std::size_t max_name_length(const std::string& dir);
std::size_t max_path_length(const std::string& dir);

}  // namespace velno
