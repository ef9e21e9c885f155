// Durable whole-file reads and writes of wallet files.
#include "storage/durable_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/io_error.hpp"
#include "common/log.hpp"
#include "common/utf8.hpp"
#include "storage/file_links.hpp"
#include "storage/leftover_files.hpp"
#include "storage/wallet_path.hpp"

namespace velno {

bool Fd::close() {
  int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 || errno == EINTR;
}

void Fd::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int openat_retrying(int dir, const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(dir, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int open_retrying(const char* path, int flags, mode_t mode) { return openat_retrying(AT_FDCWD, path, flags, mode); }

DidResult<Fd> open_regular_file(const std::string& path, int flags, mode_t mode, int* refused, int dir) {
  Fd fd(openat_retrying(dir, path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode));
  const int err = fd.valid() ? 0 : errno;
  if (refused) *refused = err;
  // ENXIO: a FIFO without a reader, a socket, or a device that is not there.
  if (!fd.valid()) return err == ENXIO ? DidError::from_io_error(IoError::not_regular_file()) : os_error(err);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) {
    if (refused) *refused = ENXIO;
    return DidError::from_io_error(IoError::not_regular_file());
  }
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status == -1 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) == -1) return os_error(errno);
  return fd;
}

int read_all(int fd, std::string& content) {
  content.clear();
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    if (static_cast<uint64_t>(st.st_size) > kMaxWalletFileBytes) return EFBIG;
    content.reserve(static_cast<std::size_t>(st.st_size) + 1);
  }
  char chunk[16384];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (content.size() + static_cast<std::size_t>(n) > kMaxWalletFileBytes) return EFBIG;  // grew meanwhile
    content.append(chunk, static_cast<std::size_t>(n));
  }
}

namespace {

// Makes the rename durable. The new file is in place by then: a directory that cannot
// be opened (one without read permission) costs only the flush and is logged, while a
// flush that the system reports as failed fails the write. File systems that cannot
// flush a directory (EINVAL) have nothing more to offer.
DidResult<void> flush_directory(const std::string& dir) {
  Fd fd(open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    const int err = errno;
    VELNO_WARN(kTargetWalletPath, "Couldn't open directory ", dir, " to flush a rename in it: ",
               IoError::os(err).debug_text());
    return {};
  }
  if (flush_to_device(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) return os_error(errno);
  return {};
}

// Writes `text` to a fresh temporary file beside `path` and renames it over `path`.
DidResult<void> replace_file(const std::string& path, std::string_view text, bool* replaced) {
  const std::string dir = directory_of(path);
  const std::string temp = join_path(dir, temp_name_for(base_name(path)));
  Fd fd(open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kWalletFileMode));
  if (!fd.valid()) return os_error(errno);

  auto fail = [&](DidError e) -> DidResult<void> {
    ::unlink(temp.c_str());
    return e;
  };
  // The umask may have taken owner bits away: a wallet the owner could not read back.
  if (::fchmod(fd.get(), kWalletFileMode) != 0) return fail(os_error(errno));
  if (auto w = write_all(fd.get(), text); !w) return fail(std::move(w).error());
  if (flush_to_device(fd.get()) != 0) return fail(os_error(errno));
  if (!fd.close()) return fail(os_error(errno));
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(os_error(errno));
  if (replaced) *replaced = true;
  return flush_directory(dir);
}

}  // namespace

DidResult<RecordMap> read_records(Fd fd) {
  std::string content;
  if (const int err = read_all(fd.get(), content); err != 0) return os_error(err);
  fd.close();
  return parse_records(content);
}

DidResult<RecordMap> parse_records(std::string_view content) {
  if (check_utf8(content)) return DidError::from_io_error(IoError::invalid_utf8());
  if (content.empty()) {
    VELNO_TRACE(kTargetWalletPath, "Wallet opened but emtpy");
    return RecordMap{};
  }
  auto parsed = parse_wallet_text(content);
  if (!parsed) return DidError::from_json_error(parsed.error());
  VELNO_TRACE(kTargetWalletPath, "Wallet contents deserialized");
  return std::move(parsed).value();
}

DidResult<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return DidError::from_io_error(IoError::write_zero());
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// macOS's fsync stops at the drive's cache; F_FULLFSYNC goes further but some file
// systems refuse it.
int flush_to_device(int fd) {
#if defined(__APPLE__) && defined(F_FULLFSYNC)
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

DidResult<std::string> wallet_text(const RecordMap& records) {
  // The serialiser sizes the buffer ahead: one buffer, written with one call.
  std::string text = serialize_wallet(records);
  // The JSON writer puts U+FFFD in place of every sequence that is not UTF-8: the file
  // would not give back what it was given. Without U+FFFD in the text, nothing was replaced.
  if (text.find(kUtf8Replacement) != std::string::npos)
    for (const auto& [key, record] : records)
      if (auto fault = first_invalid_utf8(key, record)) return DidError::from_utf8_error(*fault);
  if (text.size() > kMaxWalletFileBytes) return os_error(EFBIG);
  return text;
}

DidResult<RecordMap> read_wallet_file(const std::string& name) {
  // Read and write access: a wallet we could not rewrite later is refused now.
  VELNO_TRY_ASSIGN(Fd fd, open_regular_file(resolve_wallet_path(name), O_RDWR));
  return read_records(std::move(fd));
}

DidResult<void> create_wallet_file(const std::string& name) {
  const std::string path = resolve_wallet_path(name);
  VELNO_DEBUG(kTargetWalletPath, "Try to create a file ", path);
  // Through a dangling link, the file made is the link's target.
  VELNO_TRY_ASSIGN(const std::string target, final_target(path));
  int err = 0;
  auto made = open_regular_file(target, O_WRONLY | O_CREAT | O_EXCL, kWalletFileMode, &err);
  if (made) {
    // Owner-only, and readable and writable by the owner, whatever the umask.
    if (::fchmod(made.value().get(), kWalletFileMode) != 0) {
      err = errno;
      ::unlink(target.c_str());
      return os_error(err);
    }
    return {};
  }
  if (err != EEXIST) return std::move(made).error();
  // Made meanwhile, or not a regular file: opened as it is.
  VELNO_TRY_ASSIGN(Fd fd, open_regular_file(target, O_WRONLY));
  return {};
}

DidResult<void> write_wallet_file(const RecordMap& records, const std::string& name, bool* replaced) {
  if (replaced) *replaced = false;
  VELNO_TRY_ASSIGN(const std::string text, wallet_text(records));
  VELNO_TRY_ASSIGN(const std::string path, final_target(resolve_wallet_path(name)));
  VELNO_TRACE(kTargetWalletPath, "Write wallet file ", path);
  return replace_file(path, text, replaced);
}

}  // namespace velno
