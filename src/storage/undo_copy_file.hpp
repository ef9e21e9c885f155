// The undo copy of one change of password: the library's own file, from its write to
// its removal.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "common/did_error.hpp"
#include "wallet/model/wallet_file_format.hpp"

namespace velno {

// The undo copy of one change of password, the library's own file. Its path is resolved
// once, in the home in force when the change starts (beside the wallet path of that
// moment), and its directory kept open; the copy is written as a new regular file
// renamed into place (a link at the path is replaced itself, its target untouched).
// A descriptor of the copy stays open from before the rename to the removal: while one
// is open, the copy's inode number cannot be given to another file, so its device and
// inode, kept, name it alone even when something else deletes it and makes a file at
// its path meanwhile. Removing it allocates nothing and unlinks the path only while it
// still names the file that descriptor holds. Ending the object removes a copy it wrote.
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
  // What lies at the undo path now, read through links.
  struct Found {
    enum class Kind {
      Nothing,  // no file (a dangling link included)
      Wallet,   // a wallet file, whose records are `records`
      Foreign,  // something that does not read as a wallet file: not a regular file,
                // one the process may not read, above the size bound, not UTF-8, or not
                // a wallet's JSON
    };
    Kind kind = Kind::Nothing;
    RecordMap records;
  };
  // IO only when the file cannot be opened or read (a failure of the system, not of
  // what the file holds).
  DidResult<Found> read_existing() const;
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
  int copy_fd_ = -1;          // the copy written, held open until its removal
  std::string path_;
  std::size_t base_at_ = 0;   // where the file's own name begins in path_
  bool written_ = false;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

}  // namespace velno
