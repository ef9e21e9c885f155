// Re-encrypting every encrypted record under a new password, watched by a guard that
// puts the records back unless the change commits.
//
// A change owns everything it may have to undo: the records it rewrote, kept by its
// exclusive scan of the storage, which it holds from the first re-encrypted record to
// the save that commits it. So no write lands between the re-encryption and the
// commit, a rollback restores only what this change touched, and a change that
// committed is never undone. No lock of the wallet is held while a password callback
// runs: both passwords are asked before the scan begins.
#include <memory>
#include <optional>
#include <utility>

#include <sodium.h>

#include "common/log.hpp"
#include "wallet/brox_wallet.hpp"
#include "wallet/password_proof.hpp"
#include "wallet/record_encryption.hpp"

namespace velno {
namespace {

class TransactionGuard {
 public:
  explicit TransactionGuard(const BroxFileSystemStorage& storage) : storage_(storage) {}
  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;

  // Takes the exclusive scan through which the change rewrites records.
  DidResult<void> begin() {
    VELNO_TRY_ASSIGN(scan_, storage_.iter_mut());
    return {};
  }
  RecordIterMut& scan() { return *scan_; }
  // Ends the scan of a committed change: its exclusive hold is released.
  void end() {
    if (committed_) scan_.reset();
  }

  // Saves under the scan's exclusive hold. When the save fails, or throws, the guard's
  // end puts the records back, so that memory keeps agreeing with the old password.
  DidResult<void> commit() {
    auto saved = storage_.save(*scan_, &replaced_);
    if (saved.ok()) {
      committed_ = true;
      scan_->forget_undo();
    }
    return saved;
  }

  // Puts back every record the change rewrote; that allocates nothing and cannot fail.
  // The wallet file needs nothing unless a failed commit had already renamed the new
  // file into place: then the old records are written back, and a failure to do so is
  // only logged. Nothing leaves this destructor.
  ~TransactionGuard() {
    if (committed_ || !scan_) return;
    storage_.rollback(*scan_);
    if (!replaced_) return;
    try {
      if (auto rewritten = storage_.save(*scan_); !rewritten.ok())
        VELNO_ERROR(kTargetWallet, "Failed to rollback transaction: ", rewritten.error().fmt_display());
    } catch (...) {
    }
  }

 private:
  const BroxFileSystemStorage& storage_;
  std::unique_ptr<RecordIterMut> scan_;
  bool replaced_ = false;
  bool committed_ = false;
};

// The answer of a change whose passwords were asked before another change committed.
DidError overtaken() {
  return DidError::with_static_message(DidErrorKind::WalletLoginFailed, "Cannot read wallet. Is the Pin Correct?");
}

bool same_password(const SecretBytes& a, const SecretBytes& b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

// What a change of password left as it found it, or kept in part: for its WARN record.
struct Unopened {
  // Records whose record key opens under the old password but whose data does not:
  // their record key is sealed under the new password, their data kept as it is.
  std::size_t data_kept = 0;
  // Records whose record key opens under neither password: left as they are.
  std::size_t neither = 0;
};

// Puts every encrypted record whose record key opens under the old password (the
// question a write's proof asks, answered by the same function) under the new one, so
// that afterwards no record vouches for the old password. Where the data opens too,
// both layers are sealed afresh; where it does not (damaged outside the library), the
// same record key is sealed under the new password and the data and level2 nonce are
// kept byte for byte, so that they may be repaired by hand and are never lost. A record
// whose record key does not open under the old password is left as it is, byte for
// byte, rather than failing the change: else a single damaged or stray record would
// refuse every change for good. One that opens under the new one already (a change
// that an older version left half-done) is not counted. Only a derivation that fails in
// itself (its memory refused) fails the change.
DidResult<Unopened> reencrypt_all(RecordIterMut& scan, const SecretBytes& old_password,
                                  const SecretBytes& new_password) {
  Unopened unopened;
  while (auto item = scan.next()) {
    InternalStorageRecord& record = item->record;
    if (!is_encrypted(record.typ)) continue;
    std::optional<SealedRecordKey> sealed;
    if (record.record_security) sealed = sealed_record_key(*record.record_security);
    if (!sealed) {
      ++unopened.neither;
      continue;
    }
    VELNO_TRY_ASSIGN(const std::optional<SecretBytes> record_key, open_record_key(old_password.span(), *sealed));
    if (!record_key) {
      VELNO_TRY_ASSIGN(const std::optional<SecretBytes> under_new, open_record_key(new_password.span(), *sealed));
      if (!under_new) ++unopened.neither;
      continue;
    }
    auto plaintext = open_record_data(*record_key, record);
    std::vector<uint8_t> new_salt = generate_salt();
    VELNO_TRY_ASSIGN(SecretBytes new_key, derive_key(new_password.span(), new_salt));
    std::optional<nlohmann::json> data;   // none: the data stays as it is
    RecordSecurity security;
    if (plaintext.ok()) {
      VELNO_TRY_ASSIGN(auto both,
                       encrypt_record_data(std::move(plaintext).value(), std::move(new_salt), std::move(new_key)));
      data = std::move(both.first);
      security = std::move(both.second);
    } else {
      VELNO_TRY_ASSIGN(security, reseal_record_key(*record_key, std::move(new_salt), std::move(new_key),
                                                   *record.record_security));
      ++unopened.data_kept;
    }
    scan.keep_for_undo(record);
    if (data) record.record_object = std::move(*data);
    record.record_security = std::move(security);
  }
  return unopened;
}

// Removes the undo copy when the change ends, however it ends: the rewrite is atomic
// and a rollback restores from memory, so the copy has no use then, while it keeps
// every key under the old password. Everything the removal needs was prepared when the
// copy was written, in the home of that moment: it allocates nothing, and removes that
// file only. A failure to remove it is only logged (by the storage): the change's own
// answer stands.
class UndoCopy {
 public:
  UndoCopy(const BroxFileSystemStorage& storage, UndoCopyFile file) : storage_(storage), file_(std::move(file)) {}
  UndoCopy(const UndoCopy&) = delete;
  UndoCopy& operator=(const UndoCopy&) = delete;
  ~UndoCopy() { storage_.remove_undo(file_); }

 private:
  const BroxFileSystemStorage& storage_;
  UndoCopyFile file_;
};

}  // namespace

DidResult<void> Wallet::change_password(PasswordFn new_password) const {
  VELNO_TRY_ASSIGN(UndoCopyFile written, storage_.save_undo());
  // Made before the guard, so that it ends after the guard's rollback.
  UndoCopy undo(storage_, std::move(written));
  TransactionGuard guard(storage_);
  const uint64_t asked_in = password_epoch_.load();
  // Both passwords are asked before either is looked at.
  auto old_pw = password_callback_();
  auto new_pw = new_password();
  if (!old_pw.ok()) return std::move(old_pw).error();
  if (!new_pw.ok()) return std::move(new_pw).error();
  // The empty text is a password like any other, so a wallet made under it can get a
  // real one; only the new password may not be empty.
  if (new_pw->empty()) return DidError::with_static_message(DidErrorKind::Crypto, "Please provide a valid password");
  // Passwords asked before another change committed: the old one is not the wallet's
  // any more, and re-encrypting with it would fail or, in a wallet without encrypted
  // records, tell the host of a change that another change has overtaken.
  if (password_epoch_.load() != asked_in) return overtaken();
  if (same_password(*old_pw, *new_pw)) {
    VELNO_DEBUG(kTargetWallet, "Old password and new password are the same. Skipping");
    return {};
  }
  // The old password is proven as a write proves its own, on the same records and
  // before the exclusive hold: a wrong one is refused with nothing changed, and only
  // the records a write's proof would try vouch for it.
  PasswordProof proof;
  VELNO_TRY(storage_.inspect([&](const RecordMap& records) { proof = password_proof(records); }));
  VELNO_TRY(prove_password(old_pw->span(), proof));
  VELNO_TRY(guard.begin());
  // Under the exclusive hold from here on: the epoch cannot move but by this change.
  if (password_epoch_.load() != asked_in) return overtaken();
  VELNO_TRY_ASSIGN(const Unopened unopened, reencrypt_all(guard.scan(), *old_pw, *new_pw));
  VELNO_TRY(guard.commit());
  password_epoch_.fetch_add(1);
  // Logged with no hold kept: the host's log callback may take its time.
  guard.end();
  if (unopened.data_kept != 0 || unopened.neither != 0)
    VELNO_WARN(kTargetWallet, "Change of password: ", unopened.data_kept,
               " encrypted records whose data does not open were put under the new password with their data as "
               "it was; ",
               unopened.neither, " open under neither password and were left as they were");
  return {};
}

}  // namespace velno
