// Where wallet files lie, and reading and writing them whole.
#pragma once

#include <sys/types.h>

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
// the undo file can succeed (for the wallet, the file that links at its path finally
// name; for the undo copy, its own path, where a link is replaced, never followed: a
// directory the process may write, names and whole paths, the temporary file's
// included, within the file system's limits, and a regular file or nothing there, also
// through links), and that the two paths do not name one file, then removes the
// temporary files that writers of either, killed mid-write, left behind (a directory
// that cannot be listed is only logged). IO when a check fails; nothing is created.
DidResult<void> prepare_wallet_files(const std::string& name, const std::string& undo_name);

// The undo copy of one change of password, the library's own file. Its path is resolved
// once, in the home in force when the change starts (beside the wallet path of that
// moment), and its directory kept open; the copy is written as a new regular file
// renamed into place (a link at the path is replaced itself, its target untouched), and
// its device and inode are kept. Removing it allocates nothing and unlinks the path only
// while it still names that file. Ending the object removes a copy it wrote.
class UndoCopyFile {
 public:
  UndoCopyFile() = default;
  UndoCopyFile(UndoCopyFile&& other) noexcept;
  UndoCopyFile& operator=(UndoCopyFile&& other) noexcept;
  UndoCopyFile(const UndoCopyFile&) = delete;
  UndoCopyFile& operator=(const UndoCopyFile&) = delete;
  ~UndoCopyFile();

  // The undo path of `undo_name` beside the wallet path of `name`. IO when the directory
  // cannot be opened, or when both paths name one file (through links, or hard links).
  static DidResult<UndoCopyFile> locate(const std::string& name, const std::string& undo_name);
  // The records of the file at the path now (through links), or none when nothing is there.
  DidResult<std::optional<RecordMap>> read_existing() const;
  // Writes the serialised map crash-safely, as write_wallet_file does, at the path itself.
  // A copy renamed into place is removed by this object's end, also when the write then fails.
  DidResult<void> write(const RecordMap& records);
  // Unlinks the path if it still names the copy written; 0, or the errno of a failed check
  // or unlink (ESTALE when something else is at the path now). Allocates nothing; once
  // called, the object holds nothing.
  int remove() noexcept;
  // Leaves the file in place; the object then holds nothing.
  void keep() noexcept { release(); }
  const std::string& path() const { return path_; }

 private:
  void release() noexcept;

  int dir_fd_ = -1;
  std::string path_;
  std::size_t base_at_ = 0;   // where the file's own name begins in path_
  bool written_ = false;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

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

}  // namespace velno
