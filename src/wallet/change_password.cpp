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

// The record's plaintext under `password`, or none when it does not open under it:
// damaged outside the library, or sealed under another password. Only a derivation
// that fails in itself (its memory refused) is a failure.
DidResult<std::optional<SecretBytes>> open_under(const InternalStorageRecord& record, const SecretBytes& password) {
  if (!record.record_security) return std::optional<SecretBytes>();
  auto salt = decode_salt(*record.record_security);
  if (!salt.ok()) return std::optional<SecretBytes>();
  VELNO_TRY_ASSIGN(const SecretBytes key, derive_key(password.span(), salt.value()));
  auto plaintext = decrypt_record_data(key, record);
  if (!plaintext.ok()) return std::optional<SecretBytes>();
  return std::optional<SecretBytes>(std::move(plaintext).value());
}

// Re-seals every encrypted record that opens under the old password. One that does not
// is left as it is, byte for byte, rather than failing the change: else a single
// damaged or stray record would refuse every change for good. Answers how many open
// under neither password; one that opens under the new one already (a change that an
// older version left half-done) is left too, and not counted.
DidResult<std::size_t> reencrypt_all(RecordIterMut& scan, const SecretBytes& old_password,
                                     const SecretBytes& new_password) {
  std::size_t unopened = 0;
  while (auto item = scan.next()) {
    InternalStorageRecord& record = item->record;
    if (!is_encrypted(record.typ)) continue;
    VELNO_TRY_ASSIGN(std::optional<SecretBytes> plaintext, open_under(record, old_password));
    if (!plaintext) {
      VELNO_TRY_ASSIGN(const std::optional<SecretBytes> opened_new, open_under(record, new_password));
      if (!opened_new) ++unopened;
      continue;
    }
    std::vector<uint8_t> new_salt = generate_salt();
    VELNO_TRY_ASSIGN(SecretBytes new_key, derive_key(new_password.span(), new_salt));
    VELNO_TRY_ASSIGN(auto sealed, encrypt_record_data(std::move(*plaintext), std::move(new_salt), std::move(new_key)));
    scan.keep_for_undo(record);
    record.record_object = std::move(sealed.first);
    record.record_security = std::move(sealed.second);
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
  // before the exclusive hold: a wrong one is refused with nothing changed, and a
  // record that opens under it alone never vouches for it.
  PasswordProof proof;
  VELNO_TRY(storage_.inspect([&](const RecordMap& records) { proof = password_proof(records); }));
  VELNO_TRY(prove_password(old_pw->span(), proof));
  VELNO_TRY(guard.begin());
  // Under the exclusive hold from here on: the epoch cannot move but by this change.
  if (password_epoch_.load() != asked_in) return overtaken();
  VELNO_TRY_ASSIGN(const std::size_t unopened, reencrypt_all(guard.scan(), *old_pw, *new_pw));
  VELNO_TRY(guard.commit());
  password_epoch_.fetch_add(1);
  // Logged with no hold kept: the host's log callback may take its time.
  guard.end();
  if (unopened != 0)
    VELNO_WARN(kTargetWallet, "Change of password: ", unopened,
               " encrypted records open under neither password and were left as they were");
  return {};
}

}  // namespace velno
