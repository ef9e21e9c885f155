// Durable whole-file reads and writes of wallet files: descriptors that close
// themselves, opening only regular files without waiting, reading a file whole under
// the size bound, and replacing a file through a flushed temporary renamed into place.
#pragma once

#include <sys/types.h>

#include <fcntl.h>

#include <string>
#include <string_view>
#include <utility>

#include "common/did_error.hpp"
#include "wallet/model/wallet_file_format.hpp"

namespace velno {

// Wallet, undo and temporary files hold key material, even if encrypted: owner only.
inline constexpr mode_t kWalletFileMode = 0600;

// Closes the descriptor when the scope ends (on failure paths; success closes explicitly
// to check the result).
class Fd {
 public:
  Fd() : fd_(-1) {}
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; false with errno set when the close reported a failure. An EINTR from
  // close leaves the descriptor released (Linux, macOS), and the data was flushed before.
  bool close();
  // Closes now, whatever the close reports.
  void reset() noexcept;
  // Gives the descriptor up to the caller, who closes it.
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// open/openat, repeated while interrupted by a signal.
int openat_retrying(int dir, const char* path, int flags, mode_t mode = 0);
int open_retrying(const char* path, int flags, mode_t mode = 0);

// Opens a wallet or undo file only when it is a regular file, and never waits: opening a
// FIFO for writing would block until a reader came, with the registry held and every
// agent call of the process waiting behind it.
// `refused`, when given, tells why it refused: the errno of an open that failed, ENXIO
// also for anything opened that is not a regular file; 0 when it opened, or when a
// later step failed.
// `dir`: the directory a relative path counts from.
DidResult<Fd> open_regular_file(const std::string& path, int flags, mode_t mode = 0, int* refused = nullptr,
                                int dir = AT_FDCWD);

// Reads an open file whole into `content`: 0, or the errno of a failed read, EFBIG for
// a file above kMaxWalletFileBytes.
int read_all(int fd, std::string& content);

// The records of a wallet text: an empty text is an empty map; not UTF-8 IO
// (InvalidData); not a wallet JsonProcessing. Fails for nothing but the text itself.
DidResult<RecordMap> parse_records(std::string_view content);

// The records of an open wallet file, read whole and closed (read_all, parse_records).
DidResult<RecordMap> read_records(Fd fd);

// Writes every byte, repeating short and interrupted writes.
DidResult<void> write_all(int fd, std::string_view bytes);

// Asks the device to keep what was written (0, or -1 with errno).
int flush_to_device(int fd);

// The text a wallet or undo file is written with: the serialised map, refused when the
// reader would refuse it (above the size bound, or not UTF-8).
DidResult<std::string> wallet_text(const RecordMap& records);

}  // namespace velno
