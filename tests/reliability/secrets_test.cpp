// No password, derived key, record key or secret key reaches a log line at any level,
// and wallet and undo files are readable by their owner only.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <sodium.h>

#include "common/base58.hpp"
#include "common/base64.hpp"
#include "common/hex.hpp"
#include "host_answer.hpp"
#include "support/test_support.hpp"
#include "velno_core.h"
#include "wallet_inspect.hpp"

namespace velno::reliability {
namespace {

std::mutex log_mutex;
std::vector<std::string> log_lines;

void capture_log(uint32_t level, char* message) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_lines.push_back(std::to_string(level) + " " + message);
  std::free(message);
}

const char* g_password = "";
const char* current_password() { return g_password; }
const char* second_password() { return "Second-Passw0rd-for-the-log-test"; }
constexpr const char* kFirstPassword = "First-Passw0rd-for-the-log-test";
constexpr const char* kWrongPassword = "Wrong-Passw0rd-for-the-log-test";
constexpr const char* kSeed = "log-test-seed-that-is-32-bytes-long!";

struct Secrets {
  std::vector<std::string> texts;   // every form in which a secret could be written
  std::size_t keys = 0;             // key pairs whose secret key was recovered

  void add_text(const std::string& s) {
    texts.push_back(s);
    std::vector<uint8_t> bytes(s.begin(), s.end());
    add_bytes(bytes);
  }
  void add_bytes(std::span<const uint8_t> b) {
    texts.push_back(hex_lower(b));
    texts.push_back(hex_upper(b));
    texts.push_back(base58_encode(b));
    texts.push_back(base64_encode(b));
  }
};

// The derived key, the record key and (for key pairs) the secret key of every encrypted
// record of the wallet file at `path`, opened with `password`.
void collect(const std::string& path, const std::string& password, Secrets& out) {
  auto wallet = read_wallet(path);
  ASSERT_TRUE(wallet.has_value()) << path;
  for (const auto& item : wallet->items()) {
    if (!is_encrypted_type(item.value().value("type", ""))) continue;
    auto opened = open_record(item.value(), password);
    ASSERT_TRUE(opened.has_value()) << item.key();
    out.add_bytes(opened->derived_key.span());
    out.add_bytes(opened->record_key.span());
    if (item.value()["type"] != "KeyPair") continue;
    auto pair = nlohmann::json::parse(opened->plaintext.view(), nullptr, false);
    ASSERT_TRUE(pair.is_object() && pair.contains("sk")) << item.key();
    auto sk = base58_decode(pair["sk"].get<std::string>(), crypto_sign_SECRETKEYBYTES);
    ASSERT_TRUE(sk && *sk && (*sk)->size() == crypto_sign_SECRETKEYBYTES) << item.key();
    out.add_bytes(**sk);
    ++out.keys;
  }
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

TEST(ReliabilitySecrets, NoSecretReachesAnyLogLineAndFilesAreOwnerOnly) {
  ASSERT_GE(sodium_init(), 0);
  // With no umask to mask them, the modes seen are the ones the library asks for.
  const mode_t old_umask = ::umask(0);
  test::TempDir dir;
  const std::string home = dir.path() + "/home";
  take(init_logging(5, capture_log));
  take(set_velno_home_path(home.c_str()));

  g_password = kFirstPassword;
  Answer agent = take(create_agent("secrets", kSeed, current_password));
  ASSERT_TRUE(agent.ok()) << agent.text;
  const uint64_t handle = agent.value["handle"].get<uint64_t>();
  Answer did = take(create_did(handle, nullptr));
  ASSERT_TRUE(did.ok()) << did.text;
  const std::string id = did.value["id"].get<std::string>();
  const std::string public_key = did.value["publicKey"].get<std::string>();
  ASSERT_TRUE(take(wallet_store_data(handle, "note", "c2VjcmV0IG5vdGU=")).ok());
  Answer sig = take(sign_with_did(handle, id.c_str(), "AAECAw=="));
  ASSERT_TRUE(sig.ok()) << sig.text;
  EXPECT_EQ(take(verify_with_did_public_key(handle, public_key.c_str(), "AAECAw==",
                                            sig.value.get<std::string>().c_str())).value, true);
  take(wallet_get_data(handle, "note"));
  take(list_dids(handle));
  take(get_did_info(handle, id.c_str()));
  take(sign(handle, "AAECAw=="));

  const std::string wallet = wallet_file(home, "secrets");
  EXPECT_EQ(mode_of(wallet), 0600);
  Secrets secrets;
  collect(wallet, kFirstPassword, secrets);

  ASSERT_TRUE(take(change_password(handle, second_password)).ok());
  g_password = second_password();
  EXPECT_EQ(mode_of(wallet), 0600);
  EXPECT_EQ(::access(undo_file(home, "secrets").c_str(), F_OK), -1) << "the undo copy ends with the change";
  collect(wallet, second_password(), secrets);
  take(sign_with_did(handle, id.c_str(), "AAECAw=="));
  take(wallet_get_data(handle, "note"));
  // A wrong password is a secret too, and its failure is logged.
  g_password = kWrongPassword;
  EXPECT_EQ(take(sign_with_did(handle, id.c_str(), "AAECAw==")).code, "WalletLoginFailed");
  ::umask(old_umask);

  // The agent's key pair and the new DID's, before and after the change.
  EXPECT_EQ(secrets.keys, 4u);
  uint8_t pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(pk, sk, reinterpret_cast<const uint8_t*>(kSeed));
  secrets.add_bytes(sk);
  secrets.add_text(kFirstPassword);
  secrets.add_text(second_password());
  secrets.add_text(kWrongPassword);

  std::lock_guard<std::mutex> lock(log_mutex);
  ASSERT_GT(log_lines.size(), 20u);
  for (const auto& line : log_lines)
    for (const auto& secret : secrets.texts)
      EXPECT_EQ(line.find(secret), std::string::npos) << "log line holds a secret: " << line;
}

}  // namespace
}  // namespace velno::reliability
