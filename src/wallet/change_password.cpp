// Re-encrypting every encrypted record under a new password, watched by a guard that
// rolls the storage back unless the change commits.
#include <mutex>
#include <shared_mutex>
#include <utility>

#include <sodium.h>

#include "common/log.hpp"
#include "wallet/brox_wallet.hpp"
#include "wallet/record_encryption.hpp"

namespace velno {
namespace {

class TransactionGuard {
 public:
  explicit TransactionGuard(const BroxFileSystemStorage& storage) : storage_(storage) {}
  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;

  // A failed save is returned, and the guard's end then puts the records back, so that
  // memory keeps agreeing with the unchanged wallet file and the old password.
  DidResult<void> commit() {
    committed_ = true;
    auto saved = storage_.save();
    if (!saved.ok()) committed_ = false;
    return saved;
  }

  ~TransactionGuard() {
    if (committed_) return;
    committed_ = true;
    auto rolled_back = storage_.rollback();
    if (!rolled_back.ok())
      VELNO_ERROR(kTargetWallet, "Failed to rollback transaction: ", rolled_back.error().fmt_display());
  }

 private:
  const BroxFileSystemStorage& storage_;
  bool committed_ = false;
};

bool same_password(const SecretBytes& a, const SecretBytes& b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

DidResult<void> Wallet::reencrypt_all(const SecretBytes& old_password, const SecretBytes& new_password) const {
  // The exclusive hold lasts until this function returns, also on failure.
  VELNO_TRY_ASSIGN(auto iter, storage_.iter_mut());
  storage_.refresh_undo_point(*iter);
  while (auto item = iter->next()) {
    InternalStorageRecord& record = item->record;
    if (!is_encrypted(record.typ)) continue;
    VELNO_TRY_ASSIGN(const RecordSecurity* security, require_record_security(record));
    VELNO_TRY_ASSIGN(auto old_salt, decode_salt(*security));
    VELNO_TRY_ASSIGN(const SecretBytes old_key, derive_key(old_password.span(), old_salt));
    VELNO_TRY_ASSIGN(SecretBytes plaintext, decrypt_record_data(old_key, record));
    std::vector<uint8_t> new_salt = generate_salt();
    VELNO_TRY_ASSIGN(SecretBytes new_key, derive_key(new_password.span(), new_salt));
    VELNO_TRY_ASSIGN(auto sealed, encrypt_record_data(std::move(plaintext), std::move(new_salt), std::move(new_key)));
    record.record_object = std::move(sealed.first);
    record.record_security = std::move(sealed.second);
  }
  return {};
}

DidResult<void> Wallet::change_password(PasswordFn new_password) const {
  VELNO_TRY(storage_.save_undo());
  // Declared before the guard, so that a rollback also runs under it.
  std::unique_lock epoch(password_epoch_, std::defer_lock);
  TransactionGuard guard(storage_);
  // Both passwords are asked before either is looked at.
  const SecretBytes old_pw = password_callback_();
  const SecretBytes new_pw = new_password();
  if (old_pw.empty() || new_pw.empty())
    return DidError::with_static_message(DidErrorKind::Crypto, "Please provide a valid password");
  if (same_password(old_pw, new_pw)) {
    VELNO_DEBUG(kTargetWallet, "Old password and new password are the same. Skipping");
    return {};
  }
  // Records sealed meanwhile are stored before the re-encryption starts, and none after.
  epoch.lock();
  VELNO_TRY(reencrypt_all(old_pw, new_pw));
  return guard.commit();
}

}  // namespace velno
