// The one store of a wallet's records: a record map behind a poisoning reader-writer
// lock, mirrored in the wallet file and rewritten whole after every change.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/did_error.hpp"
#include "common/poison_lock.hpp"
#include "wallet/model/wallet_file_format.hpp"

namespace velno {

using RecordLock = PoisonRwLock<RecordMap>;

// Items of the record iterators.
struct RecordRef {
  const std::string& key;
  const InternalStorageRecord& record;
};
struct RecordMut {
  const std::string& key;
  InternalStorageRecord& record;
};

// A scan over every record, holding the record lock shared for its whole life.
class RecordIter {
 public:
  explicit RecordIter(RecordLock::ReadGuard guard);
  std::optional<RecordRef> next();
  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const { return {0, std::nullopt}; }
  std::size_t advance_by(std::size_t n);   // 0 when n items were skipped, else how many were not
  std::optional<RecordRef> nth(std::size_t n);

 private:
  RecordLock::ReadGuard guard_;
  RecordMap::const_iterator it_;
};

// A scan that may change records in place, holding the record lock exclusively for its
// whole life. Ending it while an exception that began during its life propagates marks
// the lock poisoned. The cached text of a record it hands out is renewed when the scan
// moves on or ends, so that the saves that follow need not serialise it again.
class RecordIterMut {
 public:
  explicit RecordIterMut(RecordLock::WriteGuard guard);
  ~RecordIterMut();
  RecordIterMut(const RecordIterMut&) = delete;
  RecordIterMut& operator=(const RecordIterMut&) = delete;
  std::optional<RecordMut> next();
  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const { return {0, std::nullopt}; }
  std::size_t advance_by(std::size_t n);
  std::optional<RecordMut> nth(std::size_t n);
  // Every record, as held by this scan.
  const RecordMap& records() const { return *guard_; }

 private:
  // Re-serialises the record handed out last, which the caller may have changed.
  void recache_handed_out() noexcept;

  RecordLock::WriteGuard guard_;
  RecordMap::iterator it_;
  InternalStorageRecord* handed_out_ = nullptr;
};

class BroxFileSystemStorage {
 public:
  // BroxFileSystemStorage::new: an empty storage for `file_name`; touches no file.
  explicit BroxFileSystemStorage(std::string file_name);
  BroxFileSystemStorage(BroxFileSystemStorage&&) noexcept = default;
  BroxFileSystemStorage& operator=(BroxFileSystemStorage&&) noexcept = default;

  // Reads the wallet file of `name`, or creates it empty. Called before the storage is shared.
  DidResult<void> open(const std::string& name);

  DidResult<std::optional<InternalStorageRecord>> get_record(const std::string& key) const;
  DidResult<void> add_record(InternalStorageRecord record) const;
  DidResult<std::unique_ptr<RecordIter>> iter() const;
  DidResult<std::unique_ptr<RecordIterMut>> iter_mut() const;
  DidResult<void> save() const;
  // Writes the undo file and remembers the records of this moment as the undo point.
  DidResult<void> save_undo() const;
  // Puts back every record of the undo point exactly as it was, keeps records added
  // since, rewrites the wallet file when anything was put back, and forgets the undo
  // point. Without an undo point there is nothing to do.
  DidResult<void> rollback() const;
  // Takes the records held by `scan` as the undo point instead of those of save_undo, so
  // that records added since then are put back too.
  void refresh_undo_point(const RecordIterMut& scan) const;

  const std::string& file_name() const { return file_name_; }
  const std::string& undo_file_name() const { return undo_file_name_; }
  // For tests of the failure paths: marks the record lock poisoned.
  void poison_for_test() const { records_->poison(); }

 private:
  // The "Records length: " line, under a hold of its own, made only at Trace level.
  DidResult<void> log_record_count() const;

  std::unique_ptr<RecordLock> records_;
  std::string file_name_;
  std::string undo_file_name_;
  // The undo point of a password change in progress.
  std::unique_ptr<std::mutex> undo_mutex_;
  std::unique_ptr<std::optional<RecordMap>> undo_point_;
};

}  // namespace velno
