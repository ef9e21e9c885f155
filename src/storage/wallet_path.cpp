#include "storage/wallet_path.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <sodium.h>

#include "common/directories.hpp"
#include "common/io_error.hpp"
#include "common/local_dir_supplier.hpp"
#include "common/log.hpp"
#include "common/utf8.hpp"

namespace velno {
namespace {

constexpr const char* kWalletDirName = "brox-wallet";
// Wallet, undo and temporary files hold key material, even if encrypted: owner only.
constexpr mode_t kWalletFileMode = 0600;

// A temporary file's name: the prefix, then three fields of 16 hexadecimal digits joined
// by "-": a digest of the name of the file it will replace, the writing process's tag and
// a serial number. Its fixed length keeps every wallet whose own name fits the file
// system writable; the digest lets the opening of a wallet find what writers of that
// wallet, killed mid-write, left behind.
constexpr std::string_view kTempPrefix = ".velno-tmp-";
constexpr std::size_t kHexField = 16;
constexpr std::size_t kTempNameSize = kTempPrefix.size() + 3 * kHexField + 2;

DidError os_error(int errnum) { return DidError::from_io_error(IoError::os(errnum)); }

// Closes the descriptor when the scope ends (on failure paths; success closes explicitly
// to check the result).
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; false with errno set when the close reported a failure. An EINTR from
  // close leaves the descriptor released (Linux, macOS), and the data was flushed before.
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 || errno == EINTR;
  }

 private:
  int fd_;
};

int openat_retrying(int dir, const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(dir, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int open_retrying(const char* path, int flags, mode_t mode = 0) { return openat_retrying(AT_FDCWD, path, flags, mode); }

// Opens a wallet or undo file only when it is a regular file, and never waits: opening a
// FIFO for writing would block until a reader came, with the registry held and every
// agent call of the process waiting behind it.
// `open_errno`, when given, tells the errno of an open that failed (0 otherwise).
// `dir`: the directory a relative path counts from.
DidResult<Fd> open_regular_file(const std::string& path, int flags, mode_t mode = 0, int* open_errno = nullptr,
                                int dir = AT_FDCWD) {
  Fd fd(openat_retrying(dir, path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode));
  const int err = fd.valid() ? 0 : errno;
  if (open_errno) *open_errno = err;
  // ENXIO: a FIFO without a reader, a socket, or a device that is not there.
  if (!fd.valid()) return err == ENXIO ? DidError::from_io_error(IoError::not_regular_file()) : os_error(err);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) return DidError::from_io_error(IoError::not_regular_file());
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status == -1 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) == -1) return os_error(errno);
  return fd;
}

DidResult<std::string> read_all(int fd) {
  std::string content;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    if (static_cast<uint64_t>(st.st_size) > kMaxWalletFileBytes) return os_error(EFBIG);
    content.reserve(static_cast<std::size_t>(st.st_size) + 1);
  }
  char chunk[16384];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return content;
    if (content.size() + static_cast<std::size_t>(n) > kMaxWalletFileBytes) return os_error(EFBIG);  // grew meanwhile
    content.append(chunk, static_cast<std::size_t>(n));
  }
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

// Asks the device to keep what was written. macOS's fsync stops at the drive's cache;
// F_FULLFSYNC goes further but some file systems refuse it.
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

void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  (void)ready;
}

std::string hex_field(uint64_t v) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(kHexField, '0');
  for (std::size_t i = kHexField; i-- > 0; v >>= 4) out[i] = kHex[v & 0xF];
  return out;
}

bool is_hex_field(std::string_view s) {
  if (s.size() != kHexField) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// The first 8 bytes of BLAKE2b of a file's name.
std::string name_digest(std::string_view file_name) {
  ensure_sodium();
  unsigned char hash[crypto_generichash_BYTES_MIN];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(file_name.data()), file_name.size(),
                     nullptr, 0);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | hash[i];
  return hex_field(v);
}

// Tells this process's temporary files from those of others: a number drawn once per
// load, and the pid, which a child made by fork does not share with its parent.
std::string process_tag() {
  static const uint32_t drawn = [] {
    ensure_sodium();
    return randombytes_random();
  }();
  return hex_field(uint64_t{drawn} << 32 | static_cast<uint32_t>(::getpid()));
}

// Unique per write: concurrent writers of one storage share a directory.
std::string temp_name_for(std::string_view file_name) {
  static std::atomic<uint64_t> serial{0};
  std::string name(kTempPrefix);
  name.append(name_digest(file_name)).append(1, '-').append(process_tag()).append(1, '-');
  name.append(hex_field(serial.fetch_add(1, std::memory_order_relaxed)));
  return name;
}

bool is_decimal(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Whether `entry` names a temporary file that a writer of `file_name` left behind:
// another process's (one of this process may be in the middle of its write), or one
// named as earlier versions named them: the file's name, then ".<pid>.<serial>.<random>.tmp".
bool is_leftover_of(std::string_view entry, std::string_view file_name, std::string_view digest,
                    std::string_view own_tag) {
  if (entry.size() == kTempNameSize && entry.starts_with(kTempPrefix)) {
    const std::string_view rest = entry.substr(kTempPrefix.size());
    const std::string_view tag = rest.substr(kHexField + 1, kHexField);
    return rest.substr(0, kHexField) == digest && rest[kHexField] == '-' && is_hex_field(tag) &&
           rest[2 * kHexField + 1] == '-' && is_hex_field(rest.substr(2 * kHexField + 2)) && tag != own_tag;
  }
  if (!entry.starts_with(file_name) || !entry.ends_with(".tmp")) return false;
  std::string_view fields = entry.substr(file_name.size(), entry.size() - file_name.size() - 4);
  for (int i = 0; i < 3; ++i) {
    if (fields.empty() || fields.front() != '.') return false;
    fields.remove_prefix(1);
    const std::size_t end = i < 2 ? fields.find('.') : fields.size();
    if (end == std::string_view::npos || !is_decimal(fields.substr(0, end))) return false;
    fields.remove_prefix(end);
  }
  return true;
}

std::string directory_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string_view base_name(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::size_t max_name_length(const std::string& dir) {
  const long max = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  return max > 0 ? static_cast<std::size_t>(max) : NAME_MAX;
}

// Removes the files that writers of `path`, killed while rewriting it, left beside it:
// each a whole copy of the wallet of its day. Files only: a link is never followed.
void remove_leftovers_of(const std::string& path) {
  const std::string dir = directory_of(path);
  const std::string_view file_name = base_name(path);
  const std::string digest = name_digest(file_name);
  const std::string own_tag = process_tag();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    const int err = errno;
    VELNO_WARN(kTargetWalletPath, "Couldn't list directory ", dir, " to remove left-over temporary files: ",
               IoError::os(err).debug_text());
    return;
  }
  std::vector<std::string> found;
  while (const dirent* e = ::readdir(d)) {
    struct stat st;
    if (is_leftover_of(e->d_name, file_name, digest, own_tag) &&
        ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      found.emplace_back(e->d_name);
  }
  for (const std::string& name : found) {
    const std::string leftover = join_path(dir, name);
    if (::unlinkat(::dirfd(d), name.c_str(), 0) == 0) {
      VELNO_INFO(kTargetWalletPath, "Removed left-over temporary file ", leftover);
    } else {
      const int err = errno;
      VELNO_WARN(kTargetWalletPath, "Couldn't remove left-over temporary file ", leftover, ": ",
                 IoError::os(err).debug_text());
    }
  }
  ::closedir(d);
}


// Links followed from a wallet path before it counts as a loop, as the system counts.
#ifdef SYMLOOP_MAX
constexpr int kMaxLinks = SYMLOOP_MAX;
#else
constexpr int kMaxLinks = 40;
#endif

// The file that `path` finally names: each symbolic link at the end of the path is
// followed (a relative target counts from the link's directory) until something that
// is not a link, or nothing, is there. Writes go to that file, so that a link the host
// made keeps pointing at the wallet it chose.
DidResult<std::string> final_target(std::string path) {
  for (int followed = 0;; ++followed) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return path;
      return os_error(errno);
    }
    if (!S_ISLNK(st.st_mode)) return path;
    if (followed == kMaxLinks) return os_error(ELOOP);
    std::string target(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return os_error(errno);
    // Filled up: longer than any path, or than the link was a moment ago.
    if (static_cast<std::size_t>(n) == target.size()) return os_error(ENAMETOOLONG);
    target.resize(static_cast<std::size_t>(n));
    path = join_path(directory_of(path), target);
  }
}

std::size_t max_path_length(const std::string& dir) {
  const long max = ::pathconf(dir.c_str(), _PC_PATH_MAX);
  return max > 0 ? static_cast<std::size_t>(max) : PATH_MAX;
}

// The text a wallet or undo file is written with: the serialised map, refused when the
// reader would refuse it.
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

DidError one_file() {
  return DidError::from_io_error(
      IoError{IoError::Shape::Custom, 0, "InvalidInput", "the wallet file and its undo copy are one file"});
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// IO when the wallet's file and the undo path name one file: the same file through
// links or hard links, or, where nothing is yet, the same name in the same directory
// (a dangling link of one to the other). Writing the copy there, or removing it, would
// cost the wallet.
DidResult<void> check_apart(const std::string& wallet_target, const std::string& undo) {
  VELNO_TRY_ASSIGN(const std::string undo_target, final_target(undo));
  struct stat w, u;
  const bool wallet_there = ::stat(wallet_target.c_str(), &w) == 0;
  const bool undo_there = ::stat(undo_target.c_str(), &u) == 0;
  if (wallet_there && undo_there) return same_file(w, u) ? one_file() : DidResult<void>{};
  if (wallet_there || undo_there || base_name(wallet_target) != base_name(undo_target)) return {};
  struct stat wd, ud;
  if (::stat(directory_of(wallet_target).c_str(), &wd) == 0 && ::stat(directory_of(undo_target).c_str(), &ud) == 0 &&
      same_file(wd, ud))
    return one_file();
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

std::string join_path(const std::string& first, const std::string& second) {
  if (!second.empty() && second.front() == '/') return second;
  if (first.empty() || first.back() == '/') return first + second;
  std::string out;
  out.reserve(first.size() + 1 + second.size());
  out.append(first).push_back('/');
  out.append(second);
  return out;
}

namespace {

// The wallet directory of the home in force now, created when missing.
std::string wallet_directory() {
  std::string dir = join_path(supply_local_dir(), kWalletDirName);
  if (!is_directory(dir)) {
    VELNO_TRACE(kTargetWalletPath, "Directory ", dir, " does not exist. Create it");
    // The file operation that follows reports its own failure.
    if (create_private_directories(dir) != 0) VELNO_ERROR(kTargetWalletPath, "Couldn't create dir ", dir);
  }
  VELNO_TRACE(kTargetWalletPath, "Constructed path: ", dir);
  return dir;
}

std::string wallet_path_in(const std::string& dir, const std::string& name) {
  return join_path(dir, "./" + name + ".json");
}

}  // namespace

std::string resolve_wallet_path(const std::string& name) { return wallet_path_in(wallet_directory(), name); }

namespace {

DidResult<RecordMap> read_records(Fd fd) {
  VELNO_TRY_ASSIGN(std::string content, read_all(fd.get()));
  fd.close();

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

}  // namespace

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

DidResult<void> prepare_wallet_files(const std::string& name, const std::string& undo_name) {
  const std::string dir = wallet_directory();
  const std::string wallet = wallet_path_in(dir, name);
  const std::string undo = wallet_path_in(dir, undo_name);
  VELNO_TRY_ASSIGN(const std::string wallet_target, final_target(wallet));
  // Rewrites replace the file that links at the wallet path finally name, and the undo
  // path itself.
  for (const std::string* written : {&wallet_target, &undo}) {
    const std::string& path = *written;
    const std::string path_dir = directory_of(path);
    // A rewrite renames a new file into the directory, whatever the file's own mode.
    if (::faccessat(AT_FDCWD, path_dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return os_error(errno);
    if (base_name(path).size() > max_name_length(path_dir)) return os_error(ENAMETOOLONG);
    // The file itself and the temporary file beside it: every later rewrite names both.
    const std::size_t longest = std::max(path.size(), join_path(path_dir, std::string(kTempNameSize, 'x')).size());
    if (longest >= max_path_length(path_dir)) return os_error(ENAMETOOLONG);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
      if (!S_ISREG(st.st_mode)) return DidError::from_io_error(IoError::not_regular_file());
    }
  }
  VELNO_TRY(check_apart(wallet_target, undo));
  for (const std::string* path : {&wallet_target, &undo}) remove_leftovers_of(*path);
  return {};
}

DidResult<void> write_wallet_file(const RecordMap& records, const std::string& name, bool* replaced) {
  if (replaced) *replaced = false;
  VELNO_TRY_ASSIGN(const std::string text, wallet_text(records));
  VELNO_TRY_ASSIGN(const std::string path, final_target(resolve_wallet_path(name)));
  VELNO_TRACE(kTargetWalletPath, "Write wallet file ", path);
  return replace_file(path, text, replaced);
}

UndoCopyFile::UndoCopyFile(UndoCopyFile&& other) noexcept
    : dir_fd_(std::exchange(other.dir_fd_, -1)),
      path_(std::move(other.path_)),
      base_at_(other.base_at_),
      written_(std::exchange(other.written_, false)),
      dev_(other.dev_),
      ino_(other.ino_) {}

UndoCopyFile& UndoCopyFile::operator=(UndoCopyFile&& other) noexcept {
  if (this != &other) {
    (void)remove();
    dir_fd_ = std::exchange(other.dir_fd_, -1);
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

DidResult<std::optional<RecordMap>> UndoCopyFile::read_existing() const {
  int err = 0;
  auto fd = open_regular_file(path_.substr(base_at_), O_RDONLY, 0, &err, dir_fd_);
  if (!fd) {
    if (err == ENOENT) return std::optional<RecordMap>{};
    return std::move(fd).error();
  }
  VELNO_TRY_ASSIGN(RecordMap records, read_records(std::move(fd).value()));
  return std::optional<RecordMap>{std::move(records)};
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
  if (!fd.close()) return fail(os_error(errno));
  // Replaces whatever entry is at the path, a link included, never what a link names.
  if (::renameat(dir_fd_, temp.c_str(), dir_fd_, base) != 0) return fail(os_error(errno));
  written_ = true;
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
    // and so does that file.
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
  if (dir_fd_ >= 0) ::close(dir_fd_);
  dir_fd_ = -1;
  written_ = false;
}

}  // namespace velno
