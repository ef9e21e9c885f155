// Where wallet files lie, and reading and writing them whole.
#pragma once

#include <cstddef>
#include <string>

#include "common/did_error.hpp"
#include "wallet/model/wallet_file_format.hpp"

namespace velno {

// Joins two path parts: a second part starting with "/" replaces the first; otherwise one
// "/" goes between them unless the first is empty or ends with "/".
std::string join_path(const std::string& first, const std::string& second);

// <home>/brox-wallet/./<name>.json; creates the wallet directory when missing (a failure
// is only logged). Never fails.
std::string resolve_wallet_path(const std::string& name);

// Wallet files above this size are refused before they are read (IO, EFBIG): a DID
// takes under a kilobyte, so this is room for some 300,000 DIDs, and reading a larger
// file would only run the process out of memory.
inline constexpr std::size_t kMaxWalletFileBytes = std::size_t{256} << 20;

// Reads the wallet file of `name` (opened for reading and writing). 0 bytes: empty map;
// more than kMaxWalletFileBytes: IO.
DidResult<RecordMap> read_wallet_file(const std::string& name);

// Creates the wallet file of `name` when missing (mode 0600), leaving an existing one as is.
DidResult<void> create_wallet_file(const std::string& name);

// Replaces the wallet file of `name` with the serialised map, crash-safely: a unique
// temporary file in the same directory, flushed to the device, renamed over the wallet
// file, then the directory flushed. On failure the old file stays as it was and the
// temporary file is removed. The caller holds the record map (shared) throughout.
DidResult<void> write_wallet_file(const RecordMap& records, const std::string& name);

}  // namespace velno
