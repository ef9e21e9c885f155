#include "common/directories.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace velno {

namespace {

constexpr mode_t kPrivateDirMode = 0700;

// The path without its last component ("" for a single relative component).
std::string parent_of(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return {};  // only slashes: the root has no parent
  const std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return {};
  const std::size_t keep = path.find_last_not_of('/', slash);
  return keep == std::string::npos ? std::string("/") : path.substr(0, keep + 1);
}

// mkdir, then the mode set exactly: a umask that masks owner bits would leave a
// directory its owner cannot enter or write. 0 when made; else errno.
int make_private_directory(const std::string& path) {
  if (::mkdir(path.c_str(), kPrivateDirMode) != 0) return errno;
  return ::chmod(path.c_str(), kPrivateDirMode) == 0 ? 0 : errno;
}

}  // namespace

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int create_private_directories(const std::string& path) {
  if (path.empty()) return 0;
  int err = make_private_directory(path);
  if (err == 0) return 0;
  if (err != ENOENT) return is_directory(path) ? 0 : err;
  if (int rc = create_private_directories(parent_of(path)); rc != 0) return rc;
  err = make_private_directory(path);
  return err == 0 || is_directory(path) ? 0 : err;
}

}  // namespace velno
