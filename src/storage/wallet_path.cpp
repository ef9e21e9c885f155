// Paths of the wallet files and the limits they must keep.
#include "storage/wallet_path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/directories.hpp"
#include "common/local_dir_supplier.hpp"
#include "common/log.hpp"
#include "storage/file_links.hpp"
#include "storage/leftover_files.hpp"

namespace velno {
namespace {

constexpr const char* kWalletDirName = "brox-wallet";

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

std::string resolve_wallet_path(const std::string& name) { return wallet_path_in(wallet_directory(), name); }

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

std::size_t max_path_length(const std::string& dir) {
  const long max = ::pathconf(dir.c_str(), _PC_PATH_MAX);
  return max > 0 ? static_cast<std::size_t>(max) : PATH_MAX;
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

}  // namespace velno
