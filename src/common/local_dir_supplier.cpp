#include "common/local_dir_supplier.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/directories.hpp"
#include "common/io_error.hpp"
#include "common/log.hpp"
#include "common/poison_lock.hpp"

namespace velno {

namespace {

// The directory set by the host; none until the first successful set_local_dir.
// Created once on first use and never destroyed, since any thread may still ask
// for it while the process ends. Held by a shared pointer, so that a hold only
// copies or swaps pointers: nothing that can throw runs under it, and a failed
// allocation never marks the lock failed.
using SuppliedDir = std::shared_ptr<const std::string>;
PoisonMutex<SuppliedDir>& init_externally_supplied_dir() {
  static auto* EXTERNALLY_SUPPLIED_DIR = new PoisonMutex<SuppliedDir>();
  return *EXTERNALLY_SUPPLIED_DIR;
}

std::string password_database_home() {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
  while (true) {
    struct passwd pw;
    struct passwd* found = nullptr;
    const int rc = getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return {};
    return found->pw_dir;
  }
}

std::string default_local_dir() {
  std::string base;
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') base = home;
  if (base.empty()) base = password_database_home();
  if (base.empty()) base = "./";
  if (base.back() != '/') base.push_back('/');
  base.append(".olvek");
  return base;
}

}  // namespace

std::string supply_local_dir() {
  VELNO_TRACE(kTargetLocalDir, "Resolve olvek home path. Check Externally configured path first");
  SuppliedDir supplied;
  bool poisoned = false;
  {
    auto held = init_externally_supplied_dir().lock();
    poisoned = held.poisoned;
    if (!poisoned) supplied = *held.guard;
  }
  // Copied and logged once the hold has ended.
  if (poisoned) {
    VELNO_WARN(kTargetLocalDir, "Couldn't obtain mutex for EXTERNALLY_SUPPLIED_DIR. Going default way");
  } else if (supplied) {
    return *supplied;
  }
  VELNO_DEBUG(kTargetLocalDir, "EXTERNALLY_SUPPLIED_DIR not set. Going default way.");
  return default_local_dir();
}

DidResult<void> set_local_dir(std::string dir) {
  if (dir.empty()) {
    VELNO_ERROR(kTargetLocalDir, "Provided local dir is empty");
    return DidError::with_static_message(DidErrorKind::InvalidState, "Please provide a valid path");
  }
  if (!is_directory(dir)) {
    VELNO_TRACE(kTargetLocalDir, dir, " does not exist. try to create it");
    if (int err = create_private_directories(dir); err != 0) return DidError::from_io_error(IoError::os(err));
  }
  VELNO_TRACE(kTargetLocalDir, "Update internal mutex");
  SuppliedDir replacement = std::make_shared<const std::string>(std::move(dir));
  {
    auto [guard, poisoned] = init_externally_supplied_dir().lock();
    if (poisoned) return DidError::from_poison_error();
    guard->swap(replacement);
  }
  // The directory replaced is released here, after the hold.
  return {};
}

void poison_local_dir_for_test() {
  try {
    auto held = init_externally_supplied_dir().lock();
    throw std::runtime_error("holder failed");
  } catch (const std::runtime_error&) {
  }
}

}  // namespace velno
