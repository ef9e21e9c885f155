// Symbolic and hard links around the wallet files.
#include "storage/file_links.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/io_error.hpp"
#include "storage/wallet_path.hpp"

namespace velno {
namespace {

// Links followed from a wallet path before it counts as a loop, as the system counts.
#ifdef SYMLOOP_MAX
constexpr int kMaxLinks = SYMLOOP_MAX;
#else
constexpr int kMaxLinks = 40;
#endif

DidError one_file() {
  return DidError::from_io_error(
      IoError{IoError::Shape::Custom, 0, "InvalidInput", "the wallet file and its undo copy are one file"});
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

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

}  // namespace velno
