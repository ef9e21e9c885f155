// The one store of a wallet's records: a record map behind a poisoning reader-writer
// lock, mirrored in the wallet file and rewritten whole after every change.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/did_error.hpp"
#include "common/poison_lock.hpp"
#include "storage/undo_copy_file.hpp"
#include "storage/wallet_path.hpp"
#include "wallet/model/wallet_file_format.hpp"

namespace velno {

// Writers go first: a change of password waits for the shared holds in progress, never
// for a stream of new ones.
using RecordLock = PoisonRwLock<RecordMap, RwPreference::Writers>;

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
// the lock poisoned, unless the changes were put back first (put_back). Every record it
// handed out has its cached text renewed when the scan ends, so that the saves that
// follow write the record as it is then.
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

  // Keeps a copy of `record` (an item of this scan) as it is now, before the caller
  // changes it; put_back restores every record kept.
  void keep_for_undo(InternalStorageRecord& record);
  // Restores every kept record in place and forgets the copies. Allocates nothing and
  // cannot fail; afterwards the scan may end without marking the lock, whatever is
  // unwinding.
  void put_back() noexcept;
  // Forgets the kept copies: the changes stand.
  void forget_undo() noexcept { undo_.clear(); }

 private:
  RecordLock::WriteGuard guard_;
  RecordMap::iterator it_;
  // Records handed out, whose cached text the caller may have made stale.
  std::vector<InternalStorageRecord*> handed_out_;
  std::vector<std::pair<InternalStorageRecord*, InternalStorageRecord>> undo_;
  bool intact_ = false;
};

// Keeps a wallet's name in the process-wide list of open wallets while it lives, so
// that the storage can tell whether a file it is about to replace is another open
// wallet's.
class OpenWalletName {
 public:
  OpenWalletName() = default;
  explicit OpenWalletName(std::string name);
  OpenWalletName(OpenWalletName&& other) noexcept;
  OpenWalletName& operator=(OpenWalletName&& other) noexcept;
  OpenWalletName(const OpenWalletName&) = delete;
  OpenWalletName& operator=(const OpenWalletName&) = delete;
  ~OpenWalletName();

  static bool is_open(const std::string& name);

 private:
  void release() noexcept;
  std::optional<std::string> name_;
};

// The bound that an insertion keeps.
enum class Room {
  // kOpeningReserveBytes stay free below kMaxWalletFileBytes: a wallet that stores and
  // create_did filled still has room for the DID of its next opening.
  Ordinary,
  // The opening's own DID: may fill the file to kMaxWalletFileBytes.
  Opening,
};

// What add_records_if did.
enum class Insertion {
  Stored,  // inserted (and written, when the answer is not an error)
  Stale,   // still_valid answered false: nothing stored
  NoRoom,  // the records would take the file past the bound: nothing stored
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
  // add_records_if of one record, in the ordinary room; IO "File too large" (no_room)
  // when it does not fit.
  DidResult<void> add_record(InternalStorageRecord record) const;
  // Inserts `records` (each replacing a record under its key text), all of them or none,
  // under one exclusive hold, then writes the file once. Nothing is stored when
  // `still_valid`, asked under that hold, answers false (Stale), or when the file would
  // pass the bound of `room` and grow (NoRoom): the size is checked for all the records
  // together, under the same hold. When the write fails, the records stay in memory and
  // the next successful write carries them.
  DidResult<Insertion> add_records_if(std::vector<InternalStorageRecord> records, Room room,
                                      const std::function<bool()>& still_valid) const;
  // The answer to a write that the size bound refuses: IO "File too large".
  static DidError no_room();
  DidResult<std::unique_ptr<RecordIter>> iter() const;
  DidResult<std::unique_ptr<RecordIterMut>> iter_mut() const;
  DidResult<void> save() const;
  // Writes the wallet file from the records that `scan` holds, without ending its
  // exclusive hold, so that nothing can be stored between a change and its save.
  // `replaced`: as write_wallet_file tells it.
  DidResult<void> save(const RecordIterMut& scan, bool* replaced = nullptr) const;
  // Writes the undo file at the undo path of the home in force now, and answers what
  // removes it (UndoCopyFile). Refuses (IO, EEXIST) and touches nothing when what lies at
  // the undo path is not this wallet's copy: a wallet open in this process under that
  // name, a file holding a record this storage lacks (records are never deleted, so every
  // undo file this storage wrote holds only records it has), or anything that does not
  // read as a wallet file; its WARN names the path. IO when the undo path and the wallet
  // path name one file.
  DidResult<UndoCopyFile> save_undo() const;
  // Removes the copy that save_undo wrote, unless a wallet of the undo name was opened
  // in this process since (then it is that wallet's file). Allocates nothing but the
  // warning that a failure logs; cannot fail.
  void remove_undo(UndoCopyFile& copy) const noexcept;
  // Puts back, in memory, every record that `scan` kept for undo. The wallet file needs
  // nothing: whoever changes records through a scan writes them only by saving.
  void rollback(RecordIterMut& scan) const noexcept { scan.put_back(); }

  // Calls `look` with the records under a shared hold, making no log record.
  template <class F>
  DidResult<void> inspect(F&& look) const {
    auto held = records_->read();
    if (held.poisoned) return DidError::from_poison_error();
    std::forward<F>(look)(*held.guard);
    return {};
  }

  const std::string& file_name() const { return file_name_; }
  const std::string& undo_file_name() const { return undo_file_name_; }
  // For tests of the failure paths: marks the record lock poisoned.
  void poison_for_test() const { records_->poison(); }

 private:
  // The "Records length: " line, under a hold of its own, made only at Trace level.
  DidResult<void> log_record_count() const;
  // IO (EEXIST) when the undo path is another's: a wallet open in this process under the
  // undo name, or, at `copy`'s path, a file holding a record key that this wallet lacks
  // (the library never deletes a record, so a copy it wrote holds none) or one that does
  // not read as a wallet file at all (the library writes none such there).
  DidResult<void> check_undo_is_own(const UndoCopyFile& copy) const;

  std::unique_ptr<RecordLock> records_;
  std::string file_name_;
  std::string undo_file_name_;
  OpenWalletName open_name_;
};

}  // namespace velno
