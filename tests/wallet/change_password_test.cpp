// Changing the password: re-encryption, the undo file, the guard's rollback.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "wallet/record_encryption.hpp"
#include "wallet/wallet_fixture.hpp"

namespace velno {
namespace {

using test::b58;
using test::bytes_of;
using test::plain_record;

class ChangePassword : public test::WalletFixture {
 protected:
  // A callable answering one password and counting its calls; given `undo`, it keeps the
  // undo file's text as the change sees it (written before the passwords are asked).
  static PasswordFn answering(const std::string& password, int& calls, std::string* undo = nullptr) {
    return [&password, &calls, undo] {
      ++calls;
      if (undo) *undo = test::read_file(resolve_wallet_path(std::string(kName) + "-undo"));
      return SecretBytes(std::string_view(password));
    };
  }
  RecordMap read_back(const std::string& text) const {
    auto map = parse_wallet_text(text);
    EXPECT_TRUE(map.ok()) << (map.ok() ? "" : map.error().text());
    return map.ok() ? std::move(map).value() : RecordMap{};
  }
  // Opens an encrypted record with `password`.
  DidResult<SecretBytes> open(const InternalStorageRecord& record, const std::string& password) const {
    VELNO_TRY_ASSIGN(auto key, derive_key(bytes_of(password), b58(record.record_security->salt)));
    return decrypt_record_data(key, record);
  }
  // Makes the wallet file unwritable from the next write on: its home directory moves
  // to one where "brox-wallet" is a file.
  void block_wallet_writes() {
    test::write_file(blocked_.path() + "/brox-wallet", "not a directory");
    ASSERT_TRUE(set_local_dir(blocked_.path()).ok());
  }
  test::TempDir blocked_;
};

TEST_F(ChangePassword, EqualPasswordsSucceedWithoutTouchingRecords) {
  create(std::string(32, 'E'));
  const RecordMap before = snapshot();
  const std::string file = wallet_text();
  auto& capture = test::LogCapture::install(LogLevel::Debug);
  int new_calls = 0;
  password_calls_ = 0;
  std::string undo;
  ASSERT_TRUE(wallet_->change_password(answering(test::kPasswordA, new_calls, &undo)).ok());
  EXPECT_EQ(password_calls_, 1);
  EXPECT_EQ(new_calls, 1);
  EXPECT_EQ(capture.wallet_lines(),
            (std::vector<std::string>{"4 Old password and new password are the same. Skipping"}));
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(read_back(wallet_text()), before);
  EXPECT_EQ(read_back(undo), read_back(file));
  EXPECT_FALSE(undo_exists());
}

// The empty text is a password: a wallet made under it can get a real one. Only an
// empty new password is refused, after both are asked.
TEST_F(ChangePassword, OnlyAnEmptyNewPasswordIsRefused) {
  password_ = &test::kEmptyPassword;
  const DIDInfo did = create(std::string(32, 'e'));
  struct Case {
    const std::string* old_password;
    const std::string* new_password;
  };
  for (const Case c : {Case{&test::kPasswordA, &test::kEmptyPassword}, Case{&test::kEmptyPassword, &test::kEmptyPassword}}) {
    password_ = c.old_password;
    password_calls_ = 0;
    int new_calls = 0;
    std::string undo;
    EXPECT_DID_ERROR(wallet_->change_password(answering(*c.new_password, new_calls, &undo)), DidErrorKind::Crypto,
                     "Please provide a valid password");
    EXPECT_EQ(password_calls_, 1);
    EXPECT_EQ(new_calls, 1);
    EXPECT_EQ(read_back(undo), snapshot());
    EXPECT_FALSE(undo_exists());
  }
  password_ = &test::kEmptyPassword;
  int new_calls = 0;
  ASSERT_TRUE(wallet_->change_password(answering(test::kPasswordB, new_calls)).ok());
  EXPECT_TRUE(open(stored(did.id + "::KeyPair"), test::kPasswordB).ok());
  EXPECT_EQ(read_back(wallet_text()), snapshot());
}

TEST_F(ChangePassword, ReencryptsEveryEncryptedRecordAndKeepsTheRest) {
  create(std::string(32, 'a'));
  const DIDInfo b = create(std::string(32, 'b'));
  InternalStorageRecord tagged = plain_record("x", "Thing", RecordType::Arbitrary, {{"k", 1}});
  tagged.tags = Tags{{"t", "v"}};
  add(tagged);
  const RecordMap before = snapshot();

  int new_calls = 0;
  std::string undo;
  ASSERT_TRUE(wallet_->change_password(answering(test::kPasswordB, new_calls, &undo)).ok());
  EXPECT_EQ(new_calls, 1);

  const RecordMap after = snapshot();
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [key, old_record] : before) {
    SCOPED_TRACE(key);
    const InternalStorageRecord& record = after.at(key);
    EXPECT_EQ(record.key, old_record.key);
    EXPECT_EQ(record.typ, old_record.typ);
    EXPECT_EQ(record.date, old_record.date);
    EXPECT_EQ(record.tags, old_record.tags);
    if (!is_encrypted(record.typ)) {
      EXPECT_EQ(record, old_record);
      continue;
    }
    const RecordSecurity &now = *record.record_security, &was = *old_record.record_security;
    EXPECT_NE(now.salt, was.salt);
    EXPECT_NE(now.level1_nonce, was.level1_nonce);
    EXPECT_NE(now.level2_nonce, was.level2_nonce);
    EXPECT_NE(now.encrypted_key, was.encrypted_key);
    EXPECT_NE(record.record_object, old_record.record_object);
  }
  EXPECT_EQ(read_back(wallet_text()), after);
  // The undo file held the wallet as it was, under the old password, and is gone.
  EXPECT_EQ(read_back(undo), before);
  EXPECT_FALSE(undo_exists());

  password_ = &test::kPasswordB;
  auto signature = wallet_->sign_with_did(b.id, bytes_of("after"));
  ASSERT_TRUE(signature.ok()) << signature.error().raw_message();
  EXPECT_TRUE(verify_signature(signature.value(), bytes_of("after"), b58(b.publicKey)).ok());
}

TEST_F(ChangePassword, WrongOldPasswordChangesNothing) {
  create(std::string(32, 'w'));
  const RecordMap before = snapshot();
  password_ = &test::kPasswordB;  // the records are sealed under A
  int new_calls = 0;
  EXPECT_DID_ERROR(wallet_->change_password(answering(test::kPasswordA, new_calls)), DidErrorKind::WalletLoginFailed,
                   "Cannot read wallet. Is the Pin Correct?");
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(read_back(wallet_text()), before);
  EXPECT_FALSE(undo_exists());
}

TEST_F(ChangePassword, FailureMidwayRollsBackToTheOldPassword) {
  const DIDInfo first = create(std::string(32, '1'));
  const DIDInfo second = create(std::string(32, '2'));
  add(plain_record("x", "Thing", RecordType::Arbitrary, "plain"));
  const RecordMap before = snapshot();
  const std::string file = wallet_text();
  // The save that would commit fails, once every record was re-encrypted in memory (a
  // record that does not open is left, and fails nothing).
  PasswordFn blocking = [this] {
    block_wallet_writes();
    return SecretBytes(std::string_view(test::kPasswordB));
  };
  auto result = wallet_->change_password(std::move(blocking));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(kind_name(result.error().kind()), "IO");
  ASSERT_TRUE(set_local_dir(home_.path()).ok());

  // Memory and file agree, and every record is as before, under the old password.
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(wallet_text(), file);
  for (const DIDInfo* d : {&first, &second}) ASSERT_TRUE(wallet_->sign_with_did(d->id, bytes_of("still A")).ok());
}

TEST_F(ChangePassword, WalletWithoutEncryptedRecordsIsRewrittenAndFailedSaveIsReturned) {
  add(plain_record("D", "DIDInfo", RecordType::Did, test::did_info_json("D")));
  const RecordMap before = snapshot();
  int new_calls = 0;
  ASSERT_TRUE(wallet_->change_password(answering(test::kPasswordB, new_calls)).ok());
  EXPECT_EQ(read_back(wallet_text()), before);

  // The commit's failed save is the answer; no rollback follows it.
  auto& capture = test::LogCapture::install(LogLevel::Error);
  PasswordFn blocking = [this] {
    block_wallet_writes();
    return SecretBytes(std::string_view(test::kPasswordA));
  };
  password_ = &test::kPasswordB;
  auto result = wallet_->change_password(std::move(blocking));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(kind_name(result.error().kind()), "IO");
  EXPECT_TRUE(capture.wallet_lines().empty());
}

// Anything thrown during the re-encryption (exhausted memory, say) unwinds through the
// guard, which puts every record back without allocating; the lock is not marked
// failed, since nothing was left half-changed.
TEST_F(ChangePassword, ExceptionDuringTheReencryptionPutsEverythingBack) {
  const DIDInfo x = create(std::string(32, 'x'));
  const DIDInfo y = create(std::string(32, 'y'));
  const RecordMap before = snapshot();
  const std::string file = wallet_text();
  auto& capture = test::LogCapture::install(LogLevel::Trace);
  int derivations = 0;
  capture.on_record = [&](const LogRecord& r) {
    // The proof, old and new key of the first record, then the old key of the second:
    // fail there.
    if (r.message == "Derive key from wallet password" && ++derivations == 4) throw std::bad_alloc();
  };
  int new_calls = 0;
  EXPECT_THROW((void)wallet_->change_password(answering(test::kPasswordB, new_calls)), std::bad_alloc);
  capture.on_record = nullptr;
  EXPECT_EQ(derivations, 4);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(wallet_text(), file);
  // Not poisoned, and still under the old password.
  for (const DIDInfo* d : {&x, &y}) EXPECT_TRUE(wallet_->sign_with_did(d->id, bytes_of("x")).ok());
  EXPECT_TRUE(wallet_->create_did(std::nullopt, std::nullopt).ok());
}

TEST_F(ChangePassword, LockFoundPoisonedFailsTheChangeWithNothingToPutBack) {
  add(plain_record("D", "DIDInfo", RecordType::Did, test::did_info_json("D")));
  const std::string file = wallet_text();
  auto& capture = test::LogCapture::install(LogLevel::Error);
  // A lock found poisoned after the passwords were asked fails the scan: the change has
  // touched nothing, so nothing is put back and nothing is written.
  PasswordFn poisoning = [this] {
    storage().poison_for_test();
    return SecretBytes(std::string_view(test::kPasswordB));
  };
  const std::string poisoned = "Mutex lock failed, poisonous guard poisoned lock: another task failed inside";
  EXPECT_DID_ERROR(wallet_->change_password(std::move(poisoning)), DidErrorKind::SyncError, poisoned);
  EXPECT_TRUE(capture.wallet_lines().empty());
  EXPECT_EQ(wallet_text(), file);
}

// In a wallet with no encrypted record, nothing can prove a write's password: a write
// whose password was asked before a change committed stores nothing, since the host
// may still be answering the old password (it switches once the change has answered).
using WalletConcurrency = ChangePassword;

TEST_F(WalletConcurrency, AWriteOvertakenByAChangeWithNothingToProveOnStoresNothing) {
  std::mutex mutex;
  std::condition_variable turn;
  bool asked = false, committed = false;
  std::atomic<int> calls{0};
  // The write's asking (the first call) waits until the change has committed.
  PasswordFn blocking = [&]() -> DidResult<SecretBytes> {
    if (++calls == 1) {
      std::unique_lock<std::mutex> hold(mutex);
      asked = true;
      turn.notify_all();
      turn.wait(hold, [&] { return committed; });
    }
    return SecretBytes(std::string_view(test::kPasswordA));
  };
  auto made = Wallet::create("qxdwallet_overtaken", blocking, BroxFileSystemStorage("qxdwallet_overtaken"));
  ASSERT_TRUE(made.ok());
  const Wallet& wallet = *made.value();
  ASSERT_TRUE(wallet.storage().add_record(plain_record("D", "DIDInfo", RecordType::Did, test::did_info_json("D"))).ok());

  DidResult<void> written;
  std::thread writer([&] {
    written = wallet.store_encrypted("k", "String", RecordType::PrivateData, SecretBytes(std::string_view("\"djA=\"")));
  });
  {
    std::unique_lock<std::mutex> hold(mutex);
    turn.wait(hold, [&] { return asked; });
  }
  int new_calls = 0;
  ASSERT_TRUE(wallet.change_password(answering(test::kPasswordB, new_calls)).ok());
  const std::string file = test::read_file(resolve_wallet_path("qxdwallet_overtaken"));
  {
    std::lock_guard<std::mutex> hold(mutex);
    committed = true;
  }
  turn.notify_all();
  writer.join();
  EXPECT_DID_ERROR(written, DidErrorKind::WalletLoginFailed, "Cannot read wallet. Is the Pin Correct?");
  EXPECT_EQ(calls.load(), 2);   // the write's asking and the change's old password
  EXPECT_EQ(test::read_file(resolve_wallet_path("qxdwallet_overtaken")), file);
}

// Signers, a lister and a creator work on one wallet while another thread changes the
// password. The password callback answers the old password until the change has
// returned, then the new one; signatures and creations may fail only while that is not
// yet so.
TEST_F(WalletConcurrency, WorkGoesOnWhileThePasswordChanges) {
  const DIDInfo initial = create(std::string(32, 'c'));
  const auto initial_pk = b58(initial.publicKey);
  std::atomic<bool> flipped{false}, changed{false};
  std::atomic<int> signatures{0}, scans{0};
  std::vector<DIDInfo> created;
  std::vector<std::thread> threads;

  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2; ++i) {
        const std::string data = "data " + std::to_string(t) + "/" + std::to_string(i);
        const bool after_flip = flipped.load();
        auto signature = wallet_->sign_with_did(initial.id, bytes_of(data));
        if (signature.ok()) {
          EXPECT_TRUE(verify_signature(signature.value(), bytes_of(data), initial_pk).ok());
          ++signatures;
        } else {
          EXPECT_FALSE(after_flip) << signature.error().raw_message();
          EXPECT_EQ(kind_name(signature.error().kind()), "WalletLoginFailed");
        }
      }
    });
  threads.emplace_back([&] {
    while (!changed.load() || scans.load() < 3) {
      auto dids = wallet_->query_by_type(RecordType::Did);
      ASSERT_TRUE(dids.ok()) << dids.error().raw_message();
      EXPECT_GE(dids.value().size(), 1u);
      ++scans;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 2; ++i) {
      const bool after_flip = flipped.load();
      auto info = wallet_->create_did(std::nullopt, std::nullopt);
      if (info.ok()) {
        created.push_back(std::move(info).value());
        continue;
      }
      // Given the old password while the change committed: refused, nothing stored.
      EXPECT_FALSE(after_flip) << info.error().raw_message();
      EXPECT_EQ(kind_name(info.error().kind()), "WalletLoginFailed");
    }
  });
  threads.emplace_back([&] {
    int calls = 0;
    auto result = wallet_->change_password(answering(test::kPasswordB, calls));
    EXPECT_TRUE(result.ok()) << result.error().raw_message();
    password_ = &test::kPasswordB;
    flipped = true;
    changed = true;
  });
  for (auto& t : threads) t.join();

  // No record is lost: every DID is listed, in memory and in the file.
  auto dids = wallet_->query_by_type(RecordType::Did);
  ASSERT_TRUE(dids.ok());
  std::set<std::string> listed;
  for (const auto& r : dids.value()) listed.insert(r.key);
  std::set<std::string> expected{initial.id};
  for (const auto& info : created) expected.insert(info.id);
  EXPECT_EQ(listed, expected);
  const RecordMap records = snapshot();
  EXPECT_EQ(records.size(), 2 * expected.size());
  EXPECT_EQ(read_back(wallet_text()), records);

  // Every key pair is under the new password, also those created while it changed.
  for (const auto& [key, record] : records) {
    if (record.typ != RecordType::KeyPair) continue;
    SCOPED_TRACE(key);
    EXPECT_TRUE(open(record, test::kPasswordB).ok());
  }
  auto after = wallet_->sign_with_did(initial.id, bytes_of("after"));
  ASSERT_TRUE(after.ok()) << after.error().raw_message();
  EXPECT_TRUE(verify_signature(after.value(), bytes_of("after"), initial_pk).ok());
}

}  // namespace
}  // namespace velno
