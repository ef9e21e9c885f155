// Temporary files of whole-file writes: their names, and the sweep of those left behind.
#include "storage/leftover_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <vector>

#include <sodium.h>

#include "common/io_error.hpp"
#include "common/log.hpp"
#include "storage/wallet_path.hpp"

namespace velno {
namespace {

constexpr std::size_t kHexField = kTempHexField;

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

}  // namespace

std::string temp_name_for(std::string_view file_name) {
  static std::atomic<uint64_t> serial{0};
  std::string name(kTempPrefix);
  name.append(name_digest(file_name)).append(1, '-').append(process_tag()).append(1, '-');
  name.append(hex_field(serial.fetch_add(1, std::memory_order_relaxed)));
  return name;
}

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

}  // namespace velno
