// One open wallet, registered under an alias.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "agent/password_provider.hpp"
#include "common/did_error.hpp"
#include "common/secret.hpp"
#include "wallet/brox_wallet.hpp"

namespace velno {

class Agent {
 public:
  // Opens (or creates) the wallet "qxdwallet_<alias>" and makes or finds its DID. The
  // agent is made before the DID, so that nothing after a new DID's write can fail.
  static DidResult<std::unique_ptr<Agent>> open(std::string alias, std::optional<std::span<const uint8_t>> seed,
                                                PasswordProvider password);

  DidResult<DIDInfo> create_did(std::optional<SecretBytes> seed) const;
  // Every Did record, then every PublicDid record.
  DidResult<std::vector<DIDInfo>> list_dids() const;
  // Signs with the key of the wallet's public DID.
  DidResult<std::vector<uint8_t>> sign(std::span<const uint8_t> data) const;
  DidResult<std::vector<uint8_t>> sign_with_did(const std::string& did, std::span<const uint8_t> data) const;

  // Keeps `data` encrypted under `key`, replacing what the key held.
  DidResult<void> store_data(const std::string& key, std::span<const uint8_t> data) const;
  // The canonical Base64 text of the data stored under `key`.
  DidResult<std::string> get_data(const std::string& key) const;

  const Wallet& wallet() const { return *wallet_; }

 private:
  explicit Agent(std::unique_ptr<Wallet> wallet) : wallet_(std::move(wallet)) {}
  std::unique_ptr<Wallet> wallet_;
};

}  // namespace velno
