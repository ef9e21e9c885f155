// Where wallet files lie, and reading and writing them whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/did_error.hpp"
#include "wallet/model/wallet_file_format.hpp"

namespace velno {

// Joins two path parts: a second part starting with "/" replaces the first; otherwise one
// "/" goes between them unless the first is empty or ends with "/".
std::string join_path(const std::string& first, const std::string& second);

// <home>/brox-wallet/./<name>.json; creates the wallet directory (mode 0700) when missing
// (a failure is only logged). Never fails.
std::string resolve_wallet_path(const std::string& name);

// Before a wallet is opened: checks that every later rewrite of the wallet file and of
// the undo file can succeed (for each, the file that links at its path finally name:
// a directory the process may write, names and whole paths, the temporary file's
// included, within the file system's limits, and a regular file or nothing there),
// then removes the temporary files that writers of either, killed mid-write, left
// behind (a directory that cannot be listed is only logged). IO when a check fails;
// nothing is created.
DidResult<void> prepare_wallet_files(const std::string& name, const std::string& undo_name);

// Removes the file that the wallet path of `name` finally names (through links, which
// stay); none there is no failure.
DidResult<void> remove_wallet_file(const std::string& name);

// Wallet files above this size are refused before they are read, and never written
// (IO, EFBIG): a DID takes under a kilobyte, so this is room for some 300,000 DIDs, and
// reading a larger file would only run the process out of memory.
inline constexpr std::size_t kMaxWalletFileBytes = std::size_t{256} << 20;

// Reads the wallet file of `name` (opened for reading and writing). 0 bytes: empty map;
// more than kMaxWalletFileBytes: IO. Anything but a regular file (after links) is
// refused with IO, without waiting.
DidResult<RecordMap> read_wallet_file(const std::string& name);
// As read_wallet_file, opened for reading only; none when nothing is at the path.
DidResult<std::optional<RecordMap>> read_wallet_file_if_any(const std::string& name);

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

}  // namespace velno
