// Which sealed records prove a password before a write or a change of password.
#pragma once

#include <span>
#include <vector>

#include "common/did_error.hpp"
#include "storage/brox_file_system_storage.hpp"
#include "wallet/record_encryption.hpp"

namespace velno {

struct PasswordProof {
  // Whether the wallet holds an encrypted record at all: only then is a password bound.
  bool binds = false;
  // The records to try, at most two: key pairs when the wallet holds any, otherwise
  // data records, each kind by key text. Records whose security parts cannot be
  // decoded are passed over (they never open), but still bind.
  std::vector<SealedRecordKey> records;
};

// Chooses the records; decodes only, derives nothing, so it may run under a hold.
PasswordProof password_proof(const RecordMap& records);

// Ok when nothing binds or `password` opens the record key of one of the chosen records
// (open_record_key, the same test a change of password makes); WalletLoginFailed when it
// opens none. Any other failure (a derivation refused its memory) is the answer
// at once. One derivation per record tried.
DidResult<void> prove_password(std::span<const uint8_t> password, const PasswordProof& proof);

}  // namespace velno
