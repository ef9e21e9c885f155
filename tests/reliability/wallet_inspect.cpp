#include "wallet_inspect.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <sodium.h>

#include "common/base58.hpp"

namespace velno::reliability {
namespace {

std::optional<std::vector<uint8_t>> decode_member(const nlohmann::json& obj, const char* name, std::size_t size) {
  auto it = obj.find(name);
  if (it == obj.end() || !it->is_string()) return std::nullopt;
  const std::string& text = it->get_ref<const std::string&>();
  auto bytes = base58_decode(text, text.size());
  if (!bytes || (size != 0 && (*bytes)->size() != size)) return std::nullopt;
  return std::move(**bytes);
}

}  // namespace

std::string wallet_dir(const std::string& home) { return home + "/brox-wallet"; }
std::string wallet_file(const std::string& home, const std::string& alias) {
  return wallet_dir(home) + "/qxdwallet_" + alias + ".json";
}
std::string undo_file(const std::string& home, const std::string& alias) {
  return wallet_dir(home) + "/qxdwallet_" + alias + "-undo.json";
}

std::optional<nlohmann::json> read_wallet(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.empty()) return nlohmann::json::object();
  auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

bool is_encrypted_type(const std::string& t) {
  return t == "KeyPair" || t == "MasterSecret" || t == "CredentialDefinitionPrivateKeys" ||
         t == "CredentialDefinitionCorrectnessProof" || t == "RevocationRegistryPrivate" || t == "Credential" ||
         t == "PrivateData";
}

std::optional<OpenedRecord> open_record(const nlohmann::json& record, std::string_view password) {
  if (!record.is_object() || !record.contains("record_security") || !record["record_security"].is_object())
    return std::nullopt;
  const auto& sec = record["record_security"];
  auto salt = decode_member(sec, "salt", crypto_pwhash_SALTBYTES);
  auto nonce1 = decode_member(sec, "level1_nonce", crypto_secretbox_NONCEBYTES);
  auto nonce2 = decode_member(sec, "level2_nonce", crypto_secretbox_NONCEBYTES);
  auto sealed_key = decode_member(sec, "encrypted_key", crypto_secretbox_MACBYTES + crypto_secretbox_KEYBYTES);
  auto data = decode_member(record, "data", 0);
  if (!salt || !nonce1 || !nonce2 || !sealed_key || !data || data->size() < crypto_secretbox_MACBYTES)
    return std::nullopt;

  OpenedRecord out{SecretBytes(crypto_secretbox_KEYBYTES), SecretBytes(crypto_secretbox_KEYBYTES),
                   SecretBytes(data->size() - crypto_secretbox_MACBYTES)};
  if (crypto_pwhash(out.derived_key.data(), out.derived_key.size(), password.data(), password.size(), salt->data(),
                    2, 67108864, crypto_pwhash_ALG_ARGON2ID13) != 0)
    return std::nullopt;
  if (crypto_secretbox_open_easy(out.record_key.data(), sealed_key->data(), sealed_key->size(), nonce1->data(),
                                 out.derived_key.data()) != 0)
    return std::nullopt;
  if (crypto_secretbox_open_easy(out.plaintext.data(), data->data(), data->size(), nonce2->data(),
                                 out.record_key.data()) != 0)
    return std::nullopt;
  return out;
}

std::vector<std::string> stray_files(const std::string& home, const std::string& alias) {
  std::vector<std::string> out;
  std::error_code ec;
  const std::string wallet = "qxdwallet_" + alias + ".json";
  const std::string undo = "qxdwallet_" + alias + "-undo.json";
  for (const auto& entry : std::filesystem::directory_iterator(wallet_dir(home), ec)) {
    std::string name = entry.path().filename().string();
    if (name != wallet && name != undo) out.push_back(name);
  }
  return out;
}

}  // namespace velno::reliability
