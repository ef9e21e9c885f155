#include "storage/wallet_path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include <sodium.h>

#include "common/io_error.hpp"
#include "common/local_dir_supplier.hpp"
#include "common/log.hpp"
#include "common/utf8.hpp"

namespace velno {
namespace {

constexpr const char* kWalletDirName = "brox-wallet";
// Wallet, undo and temporary files hold key material, even if encrypted: owner only.
constexpr mode_t kWalletFileMode = 0600;

DidError os_error(int errnum) { return DidError::from_io_error(IoError::os(errnum)); }

// Closes the descriptor when the scope ends (on failure paths; success closes explicitly
// to check the result).
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
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

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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

// Makes the rename durable. File systems that cannot flush a directory (EINVAL) have
// nothing more to offer, which is no failure of the write.
DidResult<void> flush_directory(const std::string& dir) {
  Fd fd(open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return os_error(errno);
  if (flush_to_device(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) return os_error(errno);
  return {};
}

// Unique per write: concurrent writers of one storage share a directory, and a file left
// by a killed process (whose pid may come back) must not collide.
std::string temp_path_for(const std::string& path) {
  static std::atomic<uint64_t> counter{0};
  static const bool sodium_ready = sodium_init() >= 0;
  (void)sodium_ready;
  return log_concat(path, '.', static_cast<long long>(::getpid()), '.',
                    counter.fetch_add(1, std::memory_order_relaxed), '.', randombytes_random(), ".tmp");
}

std::string directory_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Writes `text` to a fresh temporary file beside `path` and renames it over `path`.
DidResult<void> replace_file(const std::string& path, std::string_view text) {
  const std::string temp = temp_path_for(path);
  Fd fd(open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kWalletFileMode));
  if (!fd.valid()) return os_error(errno);

  auto fail = [&](DidError e) -> DidResult<void> {
    ::unlink(temp.c_str());
    return e;
  };
  if (auto w = write_all(fd.get(), text); !w) return fail(std::move(w).error());
  if (flush_to_device(fd.get()) != 0) return fail(os_error(errno));
  if (!fd.close()) return fail(os_error(errno));
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(os_error(errno));
  return flush_directory(directory_of(path));
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

std::string resolve_wallet_path(const std::string& name) {
  std::string file_part = "./" + name + ".json";
  std::string dir = join_path(supply_local_dir(), kWalletDirName);
  if (!is_directory(dir)) {
    VELNO_TRACE(kTargetWalletPath, "Directory ", dir, " does not exist. Create it");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // The file operation that follows reports its own failure.
    if (ec) VELNO_ERROR(kTargetWalletPath, "Couldn't create dir ", dir);
  }
  VELNO_TRACE(kTargetWalletPath, "Constructed path: ", dir);
  return join_path(dir, file_part);
}

DidResult<RecordMap> read_wallet_file(const std::string& name) {
  const std::string path = resolve_wallet_path(name);
  // Read and write access: a wallet we could not rewrite later is refused now.
  Fd fd(open_retrying(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd.valid()) return os_error(errno);
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

DidResult<void> create_wallet_file(const std::string& name) {
  const std::string path = resolve_wallet_path(name);
  VELNO_DEBUG(kTargetWalletPath, "Try to create a file ", path);
  Fd fd(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kWalletFileMode));
  if (!fd.valid()) return os_error(errno);
  return {};
}

DidResult<void> write_wallet_file(const RecordMap& records, const std::string& name) {
  // The serialiser sizes the buffer ahead: one buffer, written with one call.
  const std::string text = serialize_wallet(records);
  const std::string path = resolve_wallet_path(name);
  VELNO_TRACE(kTargetWalletPath, "Write wallet file ", path);
  return replace_file(path, text);
}

}  // namespace velno
