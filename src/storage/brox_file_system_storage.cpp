#include "storage/brox_file_system_storage.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <type_traits>

#include "common/io_error.hpp"
#include "common/log.hpp"
#include "storage/wallet_path.hpp"

namespace velno {
namespace {

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The records of the wallet file of `name`, or none in a new empty wallet file.
DidResult<RecordMap> load_or_create(const std::string& name, const std::string& undo_name) {
  VELNO_TRY(prepare_wallet_files(name, undo_name));
  if (is_regular_file(resolve_wallet_path(name))) {
    VELNO_TRACE(kTargetStorage, "open brox wallet for file ", name);
    return read_wallet_file(name);
  }
  VELNO_TRACE(kTargetStorage, "create empty brox wallet for file ", name);
  VELNO_TRY(create_wallet_file(name));
  return RecordMap{};
}

// The names of the wallets open in this process; never destroyed, since storages may
// end while the process ends.
struct OpenNames {
  std::mutex mutex;
  std::multiset<std::string> names;
};
OpenNames& open_names() {
  static auto* names = new OpenNames;
  return *names;
}

DidError file_too_large() { return DidError::from_io_error(IoError::os(EFBIG)); }

}  // namespace

OpenWalletName::OpenWalletName(std::string name) {
  OpenNames& open = open_names();
  std::lock_guard<std::mutex> lock(open.mutex);
  open.names.insert(name);
  name_ = std::move(name);
}

OpenWalletName::OpenWalletName(OpenWalletName&& other) noexcept : name_(std::move(other.name_)) {
  other.name_.reset();
}

OpenWalletName& OpenWalletName::operator=(OpenWalletName&& other) noexcept {
  if (this != &other) {
    release();
    name_ = std::move(other.name_);
    other.name_.reset();
  }
  return *this;
}

OpenWalletName::~OpenWalletName() { release(); }

void OpenWalletName::release() noexcept {
  if (!name_) return;
  OpenNames& open = open_names();
  std::lock_guard<std::mutex> lock(open.mutex);
  if (auto it = open.names.find(*name_); it != open.names.end()) open.names.erase(it);
  name_.reset();
}

bool OpenWalletName::is_open(const std::string& name) {
  OpenNames& open = open_names();
  std::lock_guard<std::mutex> lock(open.mutex);
  return open.names.count(name) != 0;
}

RecordIter::RecordIter(RecordLock::ReadGuard guard) : guard_(std::move(guard)), it_(guard_->begin()) {}

std::optional<RecordRef> RecordIter::next() {
  if (it_ == guard_->end()) return std::nullopt;
  RecordRef item{it_->first, it_->second};
  ++it_;
  return item;
}

std::size_t RecordIter::advance_by(std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!next()) return n - i;
  return 0;
}

std::optional<RecordRef> RecordIter::nth(std::size_t n) {
  if (advance_by(n) != 0) return std::nullopt;
  return next();
}

RecordIterMut::RecordIterMut(RecordLock::WriteGuard guard) : guard_(std::move(guard)), it_(guard_->begin()) {}

// The hold is still exclusive here: the guard ends after this body.
RecordIterMut::~RecordIterMut() {
  for (InternalStorageRecord* record : handed_out_) {
    // Without memory for the text the record stays uncached: the writer serialises it.
    try {
      cache_record_text(*record);
    } catch (...) {
      record->cached_text.reset();
    }
  }
  if (intact_) guard_.unlock_intact();
}

std::optional<RecordMut> RecordIterMut::next() {
  if (it_ == guard_->end()) return std::nullopt;
  RecordMut item{it_->first, it_->second};
  // Listed first, so that a record is never handed out unlisted. The caller may change
  // it: its text is unknown until the scan ends.
  handed_out_.push_back(&item.record);
  item.record.cached_text.reset();
  ++it_;
  return item;
}

std::size_t RecordIterMut::advance_by(std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!next()) return n - i;
  return 0;
}

std::optional<RecordMut> RecordIterMut::nth(std::size_t n) {
  if (advance_by(n) != 0) return std::nullopt;
  return next();
}

static_assert(std::is_nothrow_swappable_v<InternalStorageRecord>, "put_back must not throw");

void RecordIterMut::keep_for_undo(InternalStorageRecord& record) {
  undo_.emplace_back(&record, record);
  intact_ = false;
}

void RecordIterMut::put_back() noexcept {
  // Latest first, so that a record kept twice ends as it was first kept.
  for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) std::swap(*it->first, it->second);
  undo_.clear();
  intact_ = true;
}

BroxFileSystemStorage::BroxFileSystemStorage(std::string file_name)
    : records_(std::make_unique<RecordLock>()),
      file_name_(std::move(file_name)),
      undo_file_name_(file_name_ + "-undo") {}

DidResult<void> BroxFileSystemStorage::open(const std::string& name) {
  file_name_ = name;
  VELNO_TRACE(kTargetStorage, "Brox file system wallet created ", name);
  auto loaded = load_or_create(name, undo_file_name_);
  if (!loaded) return std::move(loaded).error();
  // Filled before the map is shared: writes run under a shared hold and never fill it.
  for (auto& [key, record] : loaded.value()) cache_record_text(record);
  auto records = std::make_unique<RecordLock>(std::move(loaded).value());
  open_name_ = OpenWalletName(name);
  records_ = std::move(records);
  return {};
}

DidResult<std::optional<InternalStorageRecord>> BroxFileSystemStorage::get_record(const std::string& key) const {
  auto held = records_->read();
  if (held.poisoned) return DidError::with_static_message(DidErrorKind::InvalidState, "Cannot lock the wallet for read");
  auto found = held.guard->find(key);
  if (found == held.guard->end()) return std::optional<InternalStorageRecord>{};
  // The caller may change its copy: the text cached for the stored record is not its.
  std::optional<InternalStorageRecord> copy{found->second};
  copy->cached_text.reset();
  return copy;
}

DidResult<void> BroxFileSystemStorage::add_record(InternalStorageRecord record) const {
  std::vector<InternalStorageRecord> records;
  records.push_back(std::move(record));
  VELNO_TRY_ASSIGN(const Insertion done, add_records_if(std::move(records), Room::Ordinary, [] { return true; }));
  if (done == Insertion::NoRoom) return no_room();
  return {};
}

DidError BroxFileSystemStorage::no_room() { return file_too_large(); }

DidResult<Insertion> BroxFileSystemStorage::add_records_if(std::vector<InternalStorageRecord> records, Room room,
                                                          const std::function<bool()>& still_valid) const {
  // What allocates is done before the hold: the key texts, the cached texts (so that
  // the exclusive hold lasts no longer than one insertion did), and the map nodes.
  std::vector<RecordMap::node_type> nodes;
  {
    RecordMap incoming;
    for (InternalStorageRecord& record : records) {
      std::string key = record.key.to_string();
      // A text the file cannot hold as it is stays out of memory too: kept there, it
      // would fail every later write of the wallet.
      if (auto fault = first_invalid_utf8(key, record)) return DidError::from_utf8_error(*fault);
      cache_record_text(record);
      incoming.insert_or_assign(std::move(key), std::move(record));
    }
    nodes.reserve(incoming.size());
    while (!incoming.empty()) nodes.push_back(incoming.extract(incoming.begin()));
  }
  std::vector<RecordMap::iterator> linked;
  linked.reserve(nodes.size());
  const std::size_t bound =
      room == Room::Opening ? kMaxWalletFileBytes : kMaxWalletFileBytes - kOpeningReserveBytes;
  {
    auto held = records_->write();
    if (held.poisoned) return DidError::from_poison_error();
    if (!still_valid()) return Insertion::Stale;
    RecordMap& map = *held.guard;
    try {
      // Records that take the file past what an opening reads are refused here: kept
      // in memory, they would fail every later write.
      const std::size_t before = wallet_text_size(map);
      std::size_t size = before;
      std::size_t members = map.size();
      for (auto& node : nodes) {
        if (auto found = map.find(node.key()); found != map.end()) {
          size -= wallet_member_size(found->first, found->second);
        } else if (members++ != 0) {
          ++size;  // its comma
        }
        size += wallet_member_size(node.key(), node.mapped());
      }
      // Only the opening's own DID may take the reserve; a write that does not grow the
      // file leaves it as it was.
      if (size > kMaxWalletFileBytes || (size > bound && size > before)) return Insertion::NoRoom;
      // New keys first: linking a node in may need a larger bucket array, and a link
      // that fails for want of it changes nothing.
      for (auto& node : nodes)
        if (map.find(node.key()) == map.end()) linked.push_back(map.insert(std::move(node)).position);
    } catch (...) {
      // All or nothing: the nodes linked before the failure go again (without
      // allocating), and a cached text that could not be made is no part of a record's
      // value.
      for (auto it : linked) map.erase(it);
      held.guard.unlock_intact();
      throw;
    }
    // Then the replacements, which cannot fail: the replaced record leaves with the node.
    for (auto& node : nodes)
      if (!node.empty()) std::swap(map.find(node.key())->second, node.mapped());
  }
  // The records stay in memory when the write fails: the next successful write carries them.
  VELNO_TRY(save());
  return Insertion::Stored;
}

DidResult<std::unique_ptr<RecordIter>> BroxFileSystemStorage::iter() const {
  VELNO_TRACE(kTargetStorage, "Brox wallet open iterator");
  VELNO_TRY(log_record_count());
  auto held = records_->read();
  if (held.poisoned) return DidError::from_poison_error();
  return std::make_unique<RecordIter>(std::move(held.guard));
}

DidResult<std::unique_ptr<RecordIterMut>> BroxFileSystemStorage::iter_mut() const {
  VELNO_TRACE(kTargetStorage, "Brox wallet open mutable iterator");
  VELNO_TRY(log_record_count());
  auto held = records_->write();
  if (held.poisoned) return DidError::from_poison_error();
  try {
    return std::make_unique<RecordIterMut>(std::move(held.guard));
  } catch (...) {
    // No memory for the scan: nothing was changed, the hold ends unmarked.
    held.guard.unlock_intact();
    throw;
  }
}

DidResult<void> BroxFileSystemStorage::log_record_count() const {
  if (!log_enabled(LogLevel::Trace)) return {};
  auto held = records_->read();
  if (held.poisoned) return DidError::from_poison_error();
  VELNO_TRACE(kTargetStorage, "Records length: ", held.guard->size());
  return {};
}

DidResult<void> BroxFileSystemStorage::save() const {
  auto held = records_->read();
  if (held.poisoned) return DidError::from_poison_error();
  return write_wallet_file(*held.guard, file_name_);
}

DidResult<void> BroxFileSystemStorage::save(const RecordIterMut& scan, bool* replaced) const {
  return write_wallet_file(scan.records(), file_name_, replaced);
}

DidResult<UndoCopyFile> BroxFileSystemStorage::save_undo() const {
  VELNO_TRY_ASSIGN(UndoCopyFile copy, UndoCopyFile::locate(file_name_, undo_file_name_));
  VELNO_TRY(check_undo_is_own(copy));
  auto held = records_->read();
  if (held.poisoned) return DidError::from_poison_error();
  // A copy renamed into place before a failure is removed by `copy`'s end.
  VELNO_TRY(copy.write(*held.guard));
  return copy;
}

void BroxFileSystemStorage::remove_undo(UndoCopyFile& copy) const noexcept {
  // The copy at the path is the one this change wrote, unless a wallet of that name has
  // been opened in this process since, reading it as its own.
  if (OpenWalletName::is_open(undo_file_name_)) {
    VELNO_WARN(kTargetStorage, "Leaving ", copy.path(), " alone: a wallet of that name is open");
    copy.keep();
    return;
  }
  if (const int err = copy.remove(); err != 0)
    VELNO_WARN(kTargetStorage, "Couldn't remove ", copy.path(), ": ",
               err == ESTALE ? std::string("another file is at its path now") : IoError::os(err).debug_text());
}

DidResult<void> BroxFileSystemStorage::check_undo_is_own(const UndoCopyFile& copy) const {
  auto refuse = [&copy](const char* why) -> DidError {
    VELNO_WARN(kTargetStorage, "Leaving ", copy.path(), " alone: ", why,
               "; a change of password needs that path for its undo copy");
    return DidError::from_io_error(IoError::os(EEXIST));
  };
  if (OpenWalletName::is_open(undo_file_name_)) return refuse("a wallet of that name is open");
  // Read before the hold: other calls need not wait for the file.
  VELNO_TRY_ASSIGN(const UndoCopyFile::Found found, copy.read_existing());
  using Kind = UndoCopyFile::Found::Kind;
  if (found.kind == Kind::Nothing) return {};
  if (found.kind == Kind::Foreign) return refuse("it does not read as a copy of this wallet");
  auto held = records_->read();
  if (held.poisoned) return DidError::from_poison_error();
  for (const auto& [key, record] : found.records)
    if (held.guard->find(key) == held.guard->end()) return refuse("it holds records of another wallet");
  return {};
}

}  // namespace velno
