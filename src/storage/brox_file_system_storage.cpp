#include "storage/brox_file_system_storage.hpp"

#include <sys/stat.h>

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

}  // namespace

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
RecordIterMut::~RecordIterMut() { recache_handed_out(); }

void RecordIterMut::recache_handed_out() noexcept {
  if (!handed_out_) return;
  InternalStorageRecord& record = *handed_out_;
  handed_out_ = nullptr;
  // Without memory for the text the record stays uncached: the writer serialises it.
  try {
    cache_record_text(record);
  } catch (...) {
    record.cached_text.reset();
  }
}

std::optional<RecordMut> RecordIterMut::next() {
  recache_handed_out();
  if (it_ == guard_->end()) return std::nullopt;
  RecordMut item{it_->first, it_->second};
  // The caller may change the record: its text is unknown until the scan moves on.
  item.record.cached_text.reset();
  handed_out_ = &item.record;
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

BroxFileSystemStorage::BroxFileSystemStorage(std::string file_name)
    : records_(std::make_unique<RecordLock>()),
      file_name_(std::move(file_name)),
      undo_file_name_(file_name_ + "-undo"),
      undo_mutex_(std::make_unique<std::mutex>()),
      undo_point_(std::make_unique<std::optional<RecordMap>>()) {}

DidResult<void> BroxFileSystemStorage::open(const std::string& name) {
  file_name_ = name;
  VELNO_TRACE(kTargetStorage, "Brox file system wallet created ", name);
  auto loaded = load_or_create(name, undo_file_name_);
  if (!loaded) return std::move(loaded).error();
  // Filled before the map is shared: writes run under a shared hold and never fill it.
  for (auto& [key, record] : loaded.value()) cache_record_text(record);
  records_ = std::make_unique<RecordLock>(std::move(loaded).value());
  undo_point_->reset();
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
  std::string key = record.key.to_string();
  // Serialised before the hold, so that the exclusive hold lasts no longer than before.
  cache_record_text(record);
  {
    auto held = records_->write();
    if (held.poisoned) return DidError::from_poison_error();
    held.guard->insert_or_assign(std::move(key), std::move(record));
  }
  // The record stays in memory when the write fails: the next successful write carries it.
  return save();
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
  return std::make_unique<RecordIterMut>(std::move(held.guard));
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

DidResult<void> BroxFileSystemStorage::save_undo() const {
  auto held = records_->read();
  if (held.poisoned) return DidError::from_poison_error();
  auto written = write_wallet_file(*held.guard, undo_file_name_);
  std::lock_guard undo(*undo_mutex_);
  if (written)
    *undo_point_ = *held.guard;
  else
    undo_point_->reset();
  return written;
}

void BroxFileSystemStorage::refresh_undo_point(const RecordIterMut& scan) const {
  std::lock_guard undo(*undo_mutex_);
  if (*undo_point_) *undo_point_ = scan.records();
}

DidResult<void> BroxFileSystemStorage::rollback() const {
  std::optional<RecordMap> point;
  {
    std::lock_guard undo(*undo_mutex_);
    point.swap(*undo_point_);
  }
  if (!point) return {};
  // Records copied while a scan had them out come back without text: serialised here,
  // before the exclusive hold.
  for (auto& [key, record] : *point)
    if (!record.cached_text) cache_record_text(record);

  bool changed = false;
  {
    auto held = records_->write();
    if (held.poisoned) return DidError::from_poison_error();
    for (auto& [key, record] : *point) {
      auto [entry, inserted] = held.guard->try_emplace(key);
      if (inserted || !(entry->second == record)) {
        entry->second = std::move(record);
        changed = true;
      }
    }
  }
  // The change writes the wallet file only in its commit: with nothing put back, the
  // file agrees with memory already.
  if (!changed) return {};
  return save();
}

}  // namespace velno
