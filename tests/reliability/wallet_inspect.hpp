// Reading a wallet file from outside the library: its records, which password opens an
// encrypted record, and the keys involved.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/secret.hpp"

namespace velno::reliability {

std::string wallet_dir(const std::string& home);
std::string wallet_file(const std::string& home, const std::string& alias);
std::string undo_file(const std::string& home, const std::string& alias);

// The wallet's top-level object; an empty file is an empty wallet. None when the file
// is missing or does not parse as an object.
std::optional<nlohmann::json> read_wallet(const std::string& path);

// The record types stored encrypted.
bool is_encrypted_type(const std::string& type_name);

struct OpenedRecord {
  SecretBytes derived_key;   // Argon2id of the password and the record's salt
  SecretBytes record_key;    // the record's own key, sealed under the derived key
  SecretBytes plaintext;     // the record's value
};

// Opens both layers of an encrypted record with `password`; none when either layer
// does not open (or the record is malformed). Costs one Argon2id derivation.
std::optional<OpenedRecord> open_record(const nlohmann::json& record, std::string_view password);

// Files in the wallet directory other than the alias's wallet and undo files.
std::vector<std::string> stray_files(const std::string& home, const std::string& alias);

}  // namespace velno::reliability
