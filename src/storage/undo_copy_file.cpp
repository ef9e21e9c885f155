// The undo copy of a change of password: located once, written as the library's own
// file, and removed only while its path still names it.
#include "storage/undo_copy_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/io_error.hpp"
#include "common/log.hpp"
#include "storage/durable_file.hpp"
#include "storage/file_links.hpp"
#include "storage/leftover_files.hpp"
#include "storage/wallet_path.hpp"

namespace velno {

UndoCopyFile::UndoCopyFile(UndoCopyFile&& other) noexcept
    : dir_fd_(std::exchange(other.dir_fd_, -1)),
      copy_fd_(std::exchange(other.copy_fd_, -1)),
      path_(std::move(other.path_)),
      base_at_(other.base_at_),
      written_(std::exchange(other.written_, false)),
      dev_(other.dev_),
      ino_(other.ino_) {}

UndoCopyFile& UndoCopyFile::operator=(UndoCopyFile&& other) noexcept {
  if (this != &other) {
    (void)remove();
    dir_fd_ = std::exchange(other.dir_fd_, -1);
    copy_fd_ = std::exchange(other.copy_fd_, -1);
    path_ = std::move(other.path_);
    base_at_ = other.base_at_;
    written_ = std::exchange(other.written_, false);
    dev_ = other.dev_;
    ino_ = other.ino_;
  }
  return *this;
}

UndoCopyFile::~UndoCopyFile() { (void)remove(); }

DidResult<UndoCopyFile> UndoCopyFile::locate(const std::string& name, const std::string& undo_name) {
  const std::string dir = wallet_directory();
  UndoCopyFile copy;
  copy.path_ = wallet_path_in(dir, undo_name);
  copy.base_at_ = copy.path_.size() - base_name(copy.path_).size();
  const std::string copy_dir = directory_of(copy.path_);
  copy.dir_fd_ = open_retrying(copy_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
  // A directory without read permission can still take the rename; only its flush is lost.
  if (copy.dir_fd_ < 0 && errno == EACCES) copy.dir_fd_ = open_retrying(copy_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
  if (copy.dir_fd_ < 0) return os_error(errno);
  VELNO_TRY_ASSIGN(const std::string wallet_target, final_target(wallet_path_in(dir, name)));
  VELNO_TRY(check_apart(wallet_target, copy.path_));
  return copy;
}

DidResult<UndoCopyFile::Found> UndoCopyFile::read_existing() const {
  int refused = 0;
  auto fd = open_regular_file(path_.substr(base_at_), O_RDONLY, 0, &refused, dir_fd_);
  if (!fd) {
    if (refused == ENOENT) return Found{};
    // Not a regular file, or one the process may not read: neither is a copy this
    // library wrote.
    if (refused == ENXIO || refused == EACCES || refused == EPERM)
      return Found{Found::Kind::Foreign, {}};
    return std::move(fd).error();
  }
  std::string content;
  if (const int err = read_all(fd.value().get(), content); err != 0)
    return err == EFBIG ? DidResult<Found>(Found{Found::Kind::Foreign, {}}) : DidResult<Found>(os_error(err));
  fd.value().reset();
  // A text that is not a wallet's is no failure here: it tells whose the file is.
  auto records = parse_records(content);
  if (!records) return Found{Found::Kind::Foreign, {}};
  return Found{Found::Kind::Wallet, std::move(records).value()};
}

DidResult<void> UndoCopyFile::write(const RecordMap& records) {
  VELNO_TRY_ASSIGN(const std::string text, wallet_text(records));
  VELNO_TRACE(kTargetWalletPath, "Write wallet file ", path_);
  const char* base = path_.c_str() + base_at_;
  const std::string temp = temp_name_for(base);
  Fd fd(openat_retrying(dir_fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kWalletFileMode));
  if (!fd.valid()) return os_error(errno);
  auto fail = [&](DidError e) -> DidResult<void> {
    ::unlinkat(dir_fd_, temp.c_str(), 0);
    return e;
  };
  if (::fchmod(fd.get(), kWalletFileMode) != 0) return fail(os_error(errno));
  if (auto w = write_all(fd.get(), text); !w) return fail(std::move(w).error());
  if (flush_to_device(fd.get()) != 0) return fail(os_error(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail(os_error(errno));
  // Held from before the rename to the removal. A second descriptor of the same open
  // file, so that the one written to is closed here, where a failed close still fails
  // the write.
  Fd held(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!held.valid()) return fail(os_error(errno));
  if (!fd.close()) return fail(os_error(errno));
  // Replaces whatever entry is at the path, a link included, never what a link names.
  if (::renameat(dir_fd_, temp.c_str(), dir_fd_, base) != 0) return fail(os_error(errno));
  written_ = true;
  copy_fd_ = held.release();
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  if (flush_to_device(dir_fd_) != 0) {
    const int err = errno;
    // EBADF: a directory opened without read permission, which cannot be flushed.
    if (err == EBADF) {
      VELNO_WARN(kTargetWalletPath, "Couldn't flush directory of ", path_, " after a rename in it: ",
                 IoError::os(err).debug_text());
    } else if (err != EINVAL && err != ENOTSUP) {
      return os_error(err);
    }
  }
  return {};
}

int UndoCopyFile::remove() noexcept {
  int err = 0;
  if (written_ && dir_fd_ >= 0) {
    const char* base = path_.c_str() + base_at_;
    struct stat st;
    // Right before the unlink: a copy that another file has replaced stays unremoved,
    // and so does that file. The descriptor held keeps the copy's inode number its own,
    // so a file made at the path after the copy was deleted never matches.
    if (::fstatat(dir_fd_, base, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      err = errno == ENOENT ? 0 : errno;
    } else if (st.st_dev != dev_ || st.st_ino != ino_) {
      err = ESTALE;
    } else if (::unlinkat(dir_fd_, base, 0) != 0 && errno != ENOENT) {
      err = errno;
    }
  }
  release();
  return err;
}

void UndoCopyFile::release() noexcept {
  if (copy_fd_ >= 0) ::close(copy_fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
  copy_fd_ = -1;
  dir_fd_ = -1;
  written_ = false;
}

}  // namespace velno
