#include "wallet/password_proof.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

namespace velno {
namespace {

// How many records a password is tried on: more than one, so that a single damaged
// record never refuses the right password.
constexpr std::size_t kProofRecords = 2;

struct Candidate {
  const std::string* key_text;
  SealedRecordKey sealed;
};

}  // namespace

// Key pairs are what the host's password protects first, so while the wallet holds one,
// only key pairs prove: a data record sealed under another password (older versions
// could leave one) never vouches for that password. Among the chosen records nothing
// tells a stray from the wallet's own: either one that opens vouches.
PasswordProof password_proof(const RecordMap& records) {
  PasswordProof proof;
  bool key_pairs = false;
  for (const auto& entry : records) {
    if (!is_encrypted(entry.second.typ)) continue;
    proof.binds = true;
    if (entry.second.typ == RecordType::KeyPair) {
      key_pairs = true;
      break;
    }
  }
  std::vector<Candidate> chosen;
  chosen.reserve(kProofRecords + 1);
  for (const auto& entry : records) {
    // A named reference rather than a structured binding: clang 14 cannot capture one.
    const std::string& key_text = entry.first;
    const InternalStorageRecord& record = entry.second;
    if (!is_encrypted(record.typ) || (record.typ == RecordType::KeyPair) != key_pairs || !record.record_security)
      continue;
    if (chosen.size() == kProofRecords && !(key_text < *chosen.back().key_text)) continue;
    auto sealed = sealed_record_key(*record.record_security);
    if (!sealed) continue;
    auto at = std::find_if(chosen.begin(), chosen.end(), [&](const Candidate& c) { return key_text < *c.key_text; });
    chosen.insert(at, Candidate{&key_text, std::move(*sealed)});
    if (chosen.size() > kProofRecords) chosen.pop_back();
  }
  proof.records.reserve(chosen.size());
  for (Candidate& c : chosen) proof.records.push_back(std::move(c.sealed));
  return proof;
}

DidResult<void> prove_password(std::span<const uint8_t> password, const PasswordProof& proof) {
  if (!proof.binds) return {};
  for (const SealedRecordKey& sealed : proof.records) {
    VELNO_TRY_ASSIGN(const std::optional<SecretBytes> record_key, open_record_key(password, sealed));
    if (record_key) return {};
  }
  return DidError::with_static_message(DidErrorKind::WalletLoginFailed, "Cannot read wallet. Is the Pin Correct?");
}

}  // namespace velno
