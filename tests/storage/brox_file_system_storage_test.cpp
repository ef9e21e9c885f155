#include "storage/brox_file_system_storage.hpp"

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include "storage_fixture.hpp"

namespace velno::test {
namespace {

constexpr const char* kPoisoned = "Mutex lock failed, poisonous guard poisoned lock: another task failed inside";

// Every (key text, record) of the storage, through its shared scan.
RecordMap snapshot(const BroxFileSystemStorage& storage) {
  RecordMap out;
  auto it = storage.iter();
  EXPECT_TRUE(it.ok());
  if (!it.ok()) return out;
  while (auto item = (*it)->next()) out.emplace(item->key, item->record);
  return out;
}

RecordMap on_disk(const std::string& name) {
  auto read = read_wallet_file(name);
  EXPECT_TRUE(read.ok()) << read.error().raw_message();
  return read.ok() ? std::move(read).value() : RecordMap{};
}

class Storage : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    ASSERT_TRUE(storage_.open(kName).ok());
  }
  void add(const std::string& raw_key, nlohmann::json data) {
    ASSERT_TRUE(storage_.add_record(make_record(raw_key, std::move(data))).ok());
  }
  // The key texts in the map's order.
  std::vector<std::string> snapshot_keys() const {
    std::vector<std::string> keys;
    auto it = storage_.iter();
    if (it.ok())
      while (auto item = (*it)->next()) keys.push_back(item->key);
    return keys;
  }

  BroxFileSystemStorage storage_{kName};
};

TEST_F(StorageTest, NewTouchesNothingAndOpenCreatesAnEmptyWallet) {
  LogCapture& log = LogCapture::install();
  BroxFileSystemStorage storage(kName);
  EXPECT_EQ(storage.undo_file_name(), std::string(kName) + "-undo");
  EXPECT_FALSE(file_exists(wallet_dir()));
  EXPECT_TRUE(log.lines().empty());

  ASSERT_TRUE(storage.open(kName).ok());
  EXPECT_EQ(read_file(wallet_file()), "");
  EXPECT_TRUE(snapshot(storage).empty());
  EXPECT_TRUE(log.has("5 brox_fs::brox_fs::brox_file_system_storage Brox file system wallet created qxdwallet_t"));
  EXPECT_TRUE(log.has("5 brox_fs::brox_fs::brox_file_system_storage create empty brox wallet for file qxdwallet_t"));

  // Reopened, the file is read: empty, then with what was written.
  log.clear();
  ASSERT_TRUE(storage.open(kName).ok());
  EXPECT_TRUE(log.has("5 brox_fs::brox_fs::brox_file_system_storage open brox wallet for file qxdwallet_t"));
  EXPECT_TRUE(log.has("5 brox_fs::utils::wallet_path Wallet opened but emtpy"));
  ASSERT_TRUE(storage.add_record(make_record("a", 1)).ok());
  BroxFileSystemStorage again(kName);
  ASSERT_TRUE(again.open(kName).ok());
  EXPECT_EQ(snapshot(again), snapshot(storage));
  EXPECT_TRUE(log.has("5 brox_fs::utils::wallet_path Wallet contents deserialized"));
}

TEST_F(Storage, FailedOpenKeepsTheRecords) {
  add("a", 1);
  std::filesystem::create_directories(wallet_file("dir"));
  write_file(wallet_file("bad"), "{");
  for (const char* name : {"dir", "bad"}) {
    auto opened = storage_.open(name);
    ASSERT_FALSE(opened.ok()) << name;
    EXPECT_EQ(opened.error().kind(), std::string(name) == "dir" ? DidErrorKind::IO : DidErrorKind::JsonProcessing);
    EXPECT_EQ(snapshot(storage_).size(), 1u) << name;
  }
}

TEST_F(Storage, GetRecordCopiesAndMatchesExactly) {
  add("Did1", {{"list", {1, 2}}});
  auto got = storage_.get_record("Did1::Did");
  ASSERT_TRUE(got.ok());
  ASSERT_TRUE(got->has_value());
  (**got).record_object["list"].push_back(3);
  (**got).key.raw_key = "changed";
  EXPECT_EQ(storage_.get_record("Did1::Did")->value(), make_record("Did1", {{"list", {1, 2}}}));

  for (const char* other : {"did1::Did", "Did1::did", "Did1", ""}) {
    auto miss = storage_.get_record(other);
    ASSERT_TRUE(miss.ok());
    EXPECT_FALSE(miss->has_value()) << other;
  }
}

TEST_F(Storage, AddRecordReplacesAndRewritesTheFile) {
  add("a", "old");
  add("a", "new");
  EXPECT_EQ(storage_.get_record("a::Did")->value().record_object, "new");
  EXPECT_EQ(on_disk(kName), (RecordMap{{"a::Did", make_record("a", "new")}}));
}

TEST_F(Storage, AddRecordWhoseWriteFailsStaysInMemory) {
  TempDir blocked;
  write_file(blocked.path() + "/brox-wallet", "");
  ASSERT_TRUE(set_local_dir(blocked.path()).ok());
  auto added = storage_.add_record(make_record("a", 1));
  ASSERT_FALSE(added.ok());
  EXPECT_EQ(added.error().kind(), DidErrorKind::IO);
  EXPECT_TRUE(storage_.get_record("a::Did")->has_value());

  // The next successful write carries it.
  ASSERT_TRUE(set_local_dir(home_.path()).ok());
  ASSERT_TRUE(storage_.save().ok());
  EXPECT_EQ(on_disk(kName).count("a::Did"), 1u);
}

// A text the file could not hold unaltered is refused before it reaches memory, where
// it would fail every later write of the wallet.
TEST_F(Storage, AddRecordRefusesTextsThatAreNotUtf8) {
  add("a", 1);
  const std::string before = read_file(wallet_file());
  InternalStorageRecord tagged = make_record("t", 1);
  tagged.tags = Tags{{"t", "v\xff"}};
  for (const InternalStorageRecord& bad : {make_record("k\xff", 1), tagged, make_record("d", {{"x", "v\xfe"}})}) {
    const std::string key = bad.key.to_string();
    auto added = storage_.add_record(bad);
    ASSERT_FALSE(added.ok()) << key;
    EXPECT_EQ(added.error().kind(), DidErrorKind::EncodingError) << key;
    EXPECT_FALSE(storage_.get_record(key)->has_value()) << key;
    EXPECT_EQ(read_file(wallet_file()), before) << key;
  }
  add("b", 2);   // later writes go on
  EXPECT_EQ(on_disk(kName).size(), 2u);
}

TEST_F(Storage, IteratorsCountAndSkip) {
  {
    auto empty = storage_.iter();
    ASSERT_TRUE(empty.ok());
    EXPECT_FALSE((*empty)->next());
  }
  add("a", 1);
  add("b", 2);
  add("c", 3);
  struct Case {
    std::size_t skip;
    std::size_t left;     // advance_by's answer
    bool nth_found;
  } cases[] = {{0, 0, true}, {2, 0, true}, {3, 0, false}, {5, 2, false}};
  for (const Case& c : cases) {
    {
      auto it = storage_.iter();
      ASSERT_TRUE(it.ok());
      EXPECT_EQ((*it)->advance_by(c.skip), c.left) << c.skip;
    }
    {
      auto it = storage_.iter();
      EXPECT_EQ((*it)->nth(c.skip).has_value(), c.nth_found) << c.skip;
    }
    auto mut = storage_.iter_mut();
    ASSERT_TRUE(mut.ok());
    EXPECT_EQ((*mut)->nth(c.skip).has_value(), c.nth_found) << c.skip;
  }
  auto it = storage_.iter();
  EXPECT_EQ((*it)->size_hint(), (std::pair<std::size_t, std::optional<std::size_t>>{0, std::nullopt}));
}

TEST_F(Storage, ChangesThroughIterMutReachTheFileWithTheNextSave) {
  add("a", 1);
  {
    auto it = storage_.iter_mut();
    ASSERT_TRUE(it.ok());
    while (auto item = (*it)->next()) item->record.record_object = "changed";
  }
  EXPECT_EQ(on_disk(kName).at("a::Did").record_object, 1);
  ASSERT_TRUE(storage_.save().ok());
  EXPECT_EQ(on_disk(kName).at("a::Did").record_object, "changed");
}

TEST_F(Storage, MutableScanEndingInAnExceptionPoisonsTheLock) {
  add("a", 1);
  try {
    auto scan = storage_.iter();
    throw std::runtime_error("shared scan");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(storage_.get_record("a::Did").ok());

  try {
    auto scan = storage_.iter_mut();
    throw std::runtime_error("mutable scan");
  } catch (const std::runtime_error&) {
  }
  auto read = storage_.get_record("a::Did");
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), DidErrorKind::InvalidState);
  EXPECT_EQ(read.error().raw_message(), "Cannot lock the wallet for read");

  const std::string before = read_file(wallet_file());
  std::vector<DidError> errors;
  if (auto r = storage_.add_record(make_record("b", 2)); !r) errors.push_back(std::move(r).error());
  if (auto r = storage_.iter(); !r) errors.push_back(std::move(r).error());
  if (auto r = storage_.iter_mut(); !r) errors.push_back(std::move(r).error());
  if (auto r = storage_.save(); !r) errors.push_back(std::move(r).error());
  if (auto r = storage_.save_undo(); !r) errors.push_back(std::move(r).error());
  ASSERT_EQ(errors.size(), 5u);
  for (const DidError& e : errors) {
    EXPECT_EQ(e.kind(), DidErrorKind::SyncError);
    EXPECT_EQ(e.raw_message(), kPoisoned);
  }
  EXPECT_EQ(read_file(wallet_file()), before);
}

TEST_F(Storage, SaveUndoWritesWhatSaveWould) {
  add("a", 1);
  add("b", {{"x", "y"}});
  auto copy = storage_.save_undo();
  ASSERT_TRUE(copy.ok());
  ASSERT_TRUE(storage_.save().ok());
  const std::string undo = wallet_file(std::string(kName) + "-undo");
  EXPECT_EQ(read_file(undo), read_file(wallet_file()));
  EXPECT_EQ(on_disk(std::string(kName) + "-undo").size(), 2u);
  // Removed when the change ends, and only then.
  storage_.remove_undo(copy.value());
  EXPECT_FALSE(std::filesystem::exists(undo));
}

// The removal unlinks the copy it wrote and nothing else: a file that took the copy's
// place stays (renamed over it, or made after the copy was deleted, when the file
// system would hand the new file the copy's freed inode number), and so does the copy
// when a wallet of its name was opened since.
TEST_F(Storage, TheUndoCopyIsRemovedOnlyWhileItsPathNamesTheCopyWritten) {
  LogCapture& log = LogCapture::install();
  add("a", 1);
  const std::string undo_name = std::string(kName) + "-undo";
  const std::string undo = wallet_file(undo_name);
  const std::string prefix = "2 brox_fs::brox_fs::brox_file_system_storage ";
  const std::function<void()> replacements[] = {
      [&] {
        write_file(undo + ".other", "other");
        std::filesystem::rename(undo + ".other", undo);
      },
      [&] {
        std::filesystem::remove(undo);
        write_file(undo, "other");
      },
  };
  for (const auto& replace : replacements)
    for (int attempt = 0; attempt < 5; ++attempt) {
      auto copy = storage_.save_undo();
      ASSERT_TRUE(copy.ok());
      replace();
      log.clear();
      storage_.remove_undo(copy.value());
      EXPECT_EQ(read_file(undo), "other");
      EXPECT_TRUE(log.has(prefix + "Couldn't remove " + undo + ": another file is at its path now"));
      std::filesystem::remove(undo);
    }
  {
    auto copy = storage_.save_undo();
    ASSERT_TRUE(copy.ok());
    BroxFileSystemStorage other(undo_name);
    ASSERT_TRUE(other.open(undo_name).ok());
    storage_.remove_undo(copy.value());
    EXPECT_TRUE(file_exists(undo));
    EXPECT_TRUE(log.has(prefix + "Leaving " + undo + " alone: a wallet of that name is open"));
  }
  EXPECT_TRUE(file_exists(undo));
}

TEST_F(Storage, RollbackPutsBackWhatTheScanKeptAndNothingElse) {
  add("a", "a0");
  add("b", "b0");
  add("c", "c0");
  const std::string file_before = read_file(wallet_file());
  {
    auto it = storage_.iter_mut();
    ASSERT_TRUE(it.ok());
    while (auto item = (*it)->next()) {
      if (item->key == "c::Did") continue;
      (*it)->keep_for_undo(item->record);
      item->record.record_object = "changed";
      if (item->key == "a::Did") {
        (*it)->keep_for_undo(item->record);  // kept twice: put back as first kept
        item->record.record_object = "changed twice";
      }
    }
    storage_.rollback(**it);
  }
  const RecordMap expected{{"a::Did", make_record("a", "a0")},
                           {"b::Did", make_record("b", "b0")},
                           {"c::Did", make_record("c", "c0")}};
  EXPECT_EQ(snapshot(storage_), expected);
  EXPECT_EQ(read_file(wallet_file()), file_before);  // a rollback writes nothing

  // Forgotten copies are not put back: the changes stand.
  {
    auto it = storage_.iter_mut();
    ASSERT_TRUE(it.ok());
    auto item = (*it)->next();
    ASSERT_TRUE(item.has_value());
    (*it)->keep_for_undo(item->record);
    item->record.record_object = "kept";
    ASSERT_TRUE(storage_.save(**it).ok());   // under the scan's own hold
    (*it)->forget_undo();
    storage_.rollback(**it);
  }
  EXPECT_EQ(on_disk(kName), snapshot(storage_));
  EXPECT_EQ(snapshot(storage_).size(), 3u);
}

TEST_F(Storage, ScanEndsUnmarkedWhileUnwindingOnlyWhenItsChangesWerePutBack) {
  add("a", "a0");
  try {
    auto it = storage_.iter_mut();
    auto item = (*it)->next();
    (*it)->keep_for_undo(item->record);
    item->record.record_object = "half-changed";
    storage_.rollback(**it);
    throw std::runtime_error("after putting back");
  } catch (const std::runtime_error&) {
  }
  auto read = storage_.get_record("a::Did");
  ASSERT_TRUE(read.ok() && read.value());
  EXPECT_EQ(read.value()->record_object, "a0");

  try {
    auto it = storage_.iter_mut();
    auto item = (*it)->next();
    (*it)->keep_for_undo(item->record);
    item->record.record_object = "half-changed";
    throw std::runtime_error("without putting back");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(storage_.get_record("a::Did").error().raw_message(), "Cannot lock the wallet for read");
}

// The storage writes cached record texts: after every kind of change the file must be
// what a fresh serialisation of the same records writes, and the cache must not leak out.
TEST_F(Storage, RewrittenFileMatchesAFreshSerialisationAfterEveryKindOfChange) {
  // The wallet text of the storage's records in its map's order, each serialised anew.
  auto fresh_text = [](const BroxFileSystemStorage& s) {
    JsonWriter w;
    w.raw('{');
    auto it = s.iter();
    EXPECT_TRUE(it.ok());
    bool first = true;
    while (auto item = it.ok() ? (*it)->next() : std::nullopt) {
      if (!first) w.raw(',');
      first = false;
      w.key(item->key);
      serialize(w, item->record);
    }
    w.raw('}');
    return w.take();
  };
  auto edit_through_scan = [](const BroxFileSystemStorage& s, const std::string& key, nlohmann::json data) {
    auto it = s.iter_mut();
    ASSERT_TRUE(it.ok());
    while (auto item = (*it)->next())
      if (item->key == key) {
        item->record.record_object = std::move(data);
        item->record.record_security = RecordSecurity{"k", "s", "n1", "n2"};
      }
  };
  struct Step {
    const char* what;
    std::function<void()> change;
    bool save_after;  // a scan's changes reach the file only with the next save
  };
  const std::vector<Step> steps = {
      {"add", [&] { add("c", {{"n", 1}}); }, false},
      {"replace", [&] { add("a", "a-replaced"); }, false},
      {"edit through a scan, last record handed out",
       [&] { edit_through_scan(storage_, snapshot_keys().back(), "last-edited"); }, true},
      {"edit through a scan, first record handed out",
       [&] { edit_through_scan(storage_, snapshot_keys().front(), {{"first", true}}); }, true},
      {"edit every record through a scan, then stop early",
       [&] {
         auto it = storage_.iter_mut();
         ASSERT_TRUE(it.ok());
         while (auto item = (*it)->next()) item->record.date += 1;
         ASSERT_FALSE((*it)->nth(3).has_value());
       },
       true},
      {"skip through a scan", [&] {
         auto it = storage_.iter_mut();
         ASSERT_TRUE(it.ok());
         auto item = (*it)->nth(1);
         ASSERT_TRUE(item.has_value());
         item->record.tags = Tags{{"t", "v"}};
       }, true},
      {"change a record after the scan moved past it",
       [&] {
         auto it = storage_.iter_mut();
         ASSERT_TRUE(it.ok());
         auto first = (*it)->next();
         ASSERT_TRUE(first.has_value());
         ASSERT_TRUE((*it)->next().has_value());
         first->record.record_object = "changed-after-moving-on";
       },
       true},
      {"rollback of a password-change-like edit",
       [&] {
         auto it = storage_.iter_mut();
         ASSERT_TRUE(it.ok());
         while (auto item = (*it)->next()) {
           (*it)->keep_for_undo(item->record);
           item->record.record_object = "sealed-anew";
         }
         storage_.rollback(**it);
       },
       true},
      {"save under the scan, then more changes",
       [&] {
         auto it = storage_.iter_mut();
         ASSERT_TRUE(it.ok());
         auto first = (*it)->next();
         ASSERT_TRUE(first.has_value());
         first->record.record_object = "saved-under-the-scan";
         ASSERT_TRUE(storage_.save(**it).ok());
         first->record.record_object = "changed-after-that-save";
       },
       true},
  };
  add("a", "a0");
  add("b", {{"x", "y"}});
  add("e", nullptr);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    if (step.save_after) {
      ASSERT_TRUE(storage_.save().ok());
    }
    EXPECT_EQ(read_file(wallet_file()), fresh_text(storage_));
    // A reopened storage holds the same records and writes them as a fresh serialisation.
    BroxFileSystemStorage reopened(kName);
    ASSERT_TRUE(reopened.open(kName).ok());
    EXPECT_EQ(snapshot(reopened), snapshot(storage_));
    ASSERT_TRUE(reopened.save().ok());
    EXPECT_EQ(read_file(wallet_file()), fresh_text(reopened));
    // A copy handed out carries no text that a change of the copy would leave stale.
    auto copy = storage_.get_record("a::Did");
    ASSERT_TRUE(copy.ok() && copy.value());
    EXPECT_EQ(copy.value()->cached_text, nullptr);
  }
}

TEST_F(Storage, TraceCountsRecordsWhenAScanStarts) {
  add("a", 1);
  LogCapture& log = LogCapture::install();
  { auto it = storage_.iter(); }
  { auto it = storage_.iter_mut(); }
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "5 brox_fs::brox_fs::brox_file_system_storage Brox wallet open iterator",
                             "5 brox_fs::brox_fs::brox_file_system_storage Records length: 1",
                             "5 brox_fs::brox_fs::brox_file_system_storage Brox wallet open mutable iterator",
                             "5 brox_fs::brox_fs::brox_file_system_storage Records length: 1",
                         }));
}

// Writers, readers and scans of one storage at once: every record ends up in the file.
using StorageConcurrency = Storage;
TEST_F(StorageConcurrency, WritersReadersAndScans) {
  constexpr int kThreads = 4, kPerThread = 8;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string raw = "t" + std::to_string(t) + "-" + std::to_string(i);
        EXPECT_TRUE(storage_.add_record(make_record(raw, i)).ok());
        EXPECT_TRUE(storage_.get_record(raw + "::Did")->has_value());
        EXPECT_TRUE(storage_.save().ok());
        auto it = storage_.iter();
        ASSERT_TRUE(it.ok());
        while ((*it)->next()) {
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(on_disk(kName).size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(dir_entries(wallet_dir()), std::vector<std::string>{std::string(kName) + ".json"});
}

}  // namespace
}  // namespace velno::test
