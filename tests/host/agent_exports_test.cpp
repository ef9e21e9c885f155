// Agents, DIDs, signatures and the wallet calls, through the loaded library.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sodium.h>

#include "common/base58.hpp"
#include "common/base64.hpp"
#include "host/host_library.hpp"
#include "support/ed25519_vectors.hpp"
#include "support/test_support.hpp"

namespace velno::host {
namespace {

using nlohmann::json;

std::atomic<const char*> g_password{"first password"};
const char* agent_password() { return g_password.load(); }
const char* other_password() { return "other"; }
const char* new_password() { return "second password"; }

std::atomic<int> g_other_calls{0};
const char* counting_password() {
  ++g_other_calls;
  return "counted";
}

const std::string kSeed = "000000000000000000000000Seed0001";
const std::string kNotFound = failure("InvalidState", "Agent with handle not found.");

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// A fresh home directory for the test's wallet files.
class AgentExports : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(call(&Library::set_velno_home_path, home.path().c_str()), R"({"code":"OK"})"); }

  uint64_t open(const char* alias, const char* seed, PasswordCallback pw = &agent_password) {
    json answer = json::parse(call(&Library::create_agent, alias, seed, pw));
    EXPECT_EQ(answer["code"], "OK") << answer.dump();
    return answer["value"]["handle"].get<uint64_t>();
  }
  json dids(uint64_t handle) {
    json answer = json::parse(call(&Library::list_dids, handle));
    EXPECT_EQ(answer["code"], "OK") << answer.dump();
    return answer["value"];
  }
  std::string wallet_file(const std::string& alias) const {
    return home.path() + "/brox-wallet/./qxdwallet_" + alias + ".json";
  }

  test::TempDir home;
};

TEST_F(AgentExports, HandlesAreNumberedPerAliasAndLetterCaseCounts) {
  EXPECT_EQ(call(&Library::create_agent, "alice", kSeed.c_str(), &agent_password), ok_handle(100005));
  // A known alias answers its handle at once: the new callback is never asked.
  EXPECT_EQ(call(&Library::create_agent, "alice", nullptr, &counting_password), ok_handle(100005));
  EXPECT_EQ(call(&Library::create_agent, "Alice", kSeed.c_str(), &agent_password), ok_handle(100006));
  EXPECT_EQ(g_other_calls.load(), 0);
  // Though unused then, the callback is checked before the alias is looked up.
  EXPECT_EQ(call(&Library::create_agent, "alice", nullptr, nullptr),
            failure("InvalidParameter", "Wallet password callback cannot be NULL"));
  EXPECT_TRUE(test::file_exists(wallet_file("alice")));
  EXPECT_TRUE(test::file_exists(wallet_file("Alice")));
  EXPECT_EQ(dids(100005).size(), 1u);
}

TEST_F(AgentExports, AFailedOpeningTakesNoHandle) {
  std::filesystem::create_directories(home.path() + "/brox-wallet");
  test::write_file(wallet_file("broken"), "{not json");
  std::string answer = call(&Library::create_agent, "broken", kSeed.c_str(), &agent_password);
  EXPECT_EQ(answer.rfind(R"({"code":"JsonProcessing")", 0), 0u) << answer;
  // A seed shorter than 32 bytes makes no key pair.
  EXPECT_EQ(call(&Library::create_agent, "short", "short seed", &agent_password),
            failure("WalletCouldNotGenerateKeyPair", "Couldn't create key pair"));
  EXPECT_EQ(call(&Library::create_agent, "fine", kSeed.c_str(), &agent_password), ok_handle(100005));
}

// A DID description changed outside the library is answered by every call that reads
// it, the seed's own calls included; the wallet's other DIDs stay usable.
TEST_F(AgentExports, ADamagedDescriptionAnswersJsonProcessingWhereverItIsRead) {
  std::vector<uint8_t> pk(crypto_sign_PUBLICKEYBYTES), sk(crypto_sign_SECRETKEYBYTES);
  ASSERT_EQ(crypto_sign_seed_keypair(pk.data(), sk.data(), reinterpret_cast<const unsigned char*>(kSeed.data())), 0);
  const std::string did = base58_encode(std::span<const uint8_t>(pk).first(16));
  const json damaged = {{did + "::DIDInfo",
                         {{"key", {{"raw_key", did}, {"record_type", "DIDInfo"}}},
                          {"type", "Did"},
                          {"date", 1},
                          {"data", {{"id", did}, {"publicKey", base58_encode(pk)}, {"seed", nullptr}}}}}};
  std::filesystem::create_directories(home.path() + "/brox-wallet");
  test::write_file(wallet_file("damaged"), damaged.dump());

  const std::string serde = failure("JsonProcessing", "serde says missing field `publicDID`");
  EXPECT_EQ(call(&Library::create_agent, "damaged", kSeed.c_str(), &agent_password), serde);
  const uint64_t h = open("damaged", nullptr);
  EXPECT_EQ(call(&Library::get_did_info, h, did.c_str()), serde);
  EXPECT_EQ(call(&Library::sign_with_did, h, did.c_str(), "QUJD"), serde);
  EXPECT_EQ(call(&Library::create_did, h, kSeed.c_str()), serde);
  EXPECT_EQ(call(&Library::list_dids, h), serde);
  EXPECT_EQ(json::parse(call(&Library::create_did, h, nullptr))["code"], "OK");
}

// A Base58 member of a sealed record far longer than its value can be (8 MiB, whose
// decoding, growing with the square of the length, took over ten minutes) answers at
// once as a member of the wrong length does, wherever it is read.
TEST_F(AgentExports, SealedMembersFarLongerThanTheirValuesAnswerAsAWrongLength) {
  reliability::Watchdog watchdog;
  const uint64_t first = open("sealed", kSeed.c_str());
  ASSERT_EQ(call(&Library::wallet_store_data, first, "k", "QUJD"), R"({"code":"OK"})");
  const json wallet = json::parse(test::read_file(wallet_file("sealed")));
  const std::string did = dids(first)[0]["id"];
  const std::string long_text(8 << 20, 'z');
  const std::string login = failure("WalletLoginFailed", "Cannot read wallet. Is the Pin Correct?");

  struct Case {
    const char* member;
    std::string answer;  // of sign_with_did and, inside {"Err":...}, of wallet_get_data
    // A write proves its password on the key pair: refused where the member is one it
    // needs for that, stored otherwise; a change of password likewise.
    bool writes;
  };
  const Case cases[] = {
      {"salt", failure("Crypto", "Invalid length of salt"), false},
      {"level1_nonce", failure("Crypto", "Invalid length of level1_nonce"), false},
      {"level2_nonce", failure("Crypto", "Invalid length of level2_nonce"), true},
      {"encrypted_key", failure("Crypto", "Invalid length of encrypted_key"), false},
      {"data", failure("Crypto", "Box easy open failed"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member);
    json damaged = wallet;
    for (auto& [key, record] : damaged.items()) {
      if (!record.contains("record_security")) continue;
      (std::string(c.member) == "data" ? record["data"] : record["record_security"][c.member]) = long_text;
    }
    const std::string alias = std::string("long_") + c.member;
    test::write_file(wallet_file(alias), damaged.dump());
    // The seed's DID is stored: the opening reads no sealed record.
    const uint64_t h = open(alias.c_str(), kSeed.c_str());
    EXPECT_EQ(dids(h).size(), 1u);
    EXPECT_EQ(call(&Library::sign_with_did, h, did.c_str(), "QUJD"), c.answer);
    const json got = json::parse(call(&Library::wallet_get_data, h, "k"));
    EXPECT_EQ(got["value"]["Err"]["msg"], json::parse(c.answer)["value"]);
    EXPECT_EQ(call(&Library::wallet_store_data, h, "other", "QUJD"), c.writes ? R"({"code":"OK"})" : login);
    // A change keeps what it cannot open: the long member is still there, as it was.
    EXPECT_EQ(call(&Library::change_password, h, &new_password), c.writes ? R"({"code":"OK"})" : login);
    const json after = json::parse(test::read_file(wallet_file(alias)));
    for (const auto& [key, record] : damaged.items()) {
      if (!record.contains("record_security")) continue;
      const json& member = std::string(c.member) == "data" ? after[key]["data"] : after[key]["record_security"][c.member];
      EXPECT_TRUE(member == long_text) << key;
    }
  }
}

// A public key text longer than any 32-byte key's Base58 (44 digits) never verifies: it
// answers false without being decoded, after the data and signature are checked as for
// any key; a byte outside the alphabet, anywhere in it, is still the key's failure.
TEST_F(AgentExports, AKeyFarLongerThanAnyPublicKeyIsAnsweredWithoutDecodingIt) {
  reliability::Watchdog watchdog;
  const uint64_t h = open("keys", kSeed.c_str());
  const std::string pk = dids(h)[0]["publicKey"];
  const std::string id = dids(h)[0]["id"];
  const std::string sig = json::parse(call(&Library::sign_with_did, h, id.c_str(), "QUJD"))["value"];
  const std::string long_key = pk + std::string(16 << 20, 'z');
  const std::string k45 = base58_encode(std::vector<uint8_t>(33, 0xFF));
  struct Case {
    std::string key, data, signature, expected;
  };
  const Case cases[] = {
      {pk, "QUJD", sig, R"({"code":"OK","value":true})"},
      {long_key, "QUJD", sig, R"({"code":"OK","value":false})"},
      {k45, "QUJD", sig, R"({"code":"OK","value":false})"},
      {long_key, "QUI", sig, failure("ConversionError", "Invalid base64 encoded sign data")},
      {long_key, "QUJD", "QUI", failure("ConversionError", "Invalid base64 encoded signature")},
      {long_key + "0", "QUJD", sig, failure("ConversionError", "Invalid base58 encoded public key")},
  };
  for (const Case& c : cases)
    EXPECT_EQ(call(&Library::verify_with_did_public_key, h, c.key.c_str(), c.data.c_str(), c.signature.c_str()),
              c.expected)
        << c.key.substr(0, 60);
}

TEST_F(AgentExports, UnregisteredHandlesAnswerNotFoundWithoutReadingTheirTexts) {
  open("known", kSeed.c_str());
  for (uint64_t handle : {uint64_t{0}, uint64_t{100004}, uint64_t{100006}}) {
    EXPECT_EQ(call(&Library::create_did, handle, nullptr), kNotFound);
    EXPECT_EQ(call(&Library::list_dids, handle), kNotFound);
    EXPECT_EQ(call(&Library::get_default_did, handle), kNotFound);
    EXPECT_EQ(call(&Library::get_did_info, handle, nullptr), kNotFound);
    EXPECT_EQ(call(&Library::sign, handle, nullptr), kNotFound);
    EXPECT_EQ(call(&Library::sign_with_did, handle, nullptr, nullptr), kNotFound);
    EXPECT_EQ(call(&Library::verify_with_did_public_key, handle, nullptr, nullptr, nullptr), kNotFound);
    EXPECT_EQ(call(&Library::change_password, handle, &new_password), kNotFound);
    EXPECT_EQ(call(&Library::wallet_store_data, handle, "k", "QUJD"), kNotFound);
    EXPECT_EQ(call(&Library::wallet_get_data, handle, "k"), kNotFound);
  }
}

// The four exports that read their texts only once the agent is found answer a NULL
// text then, naming the first NULL argument in the order of the arguments, before any
// password is asked.
TEST_F(AgentExports, NullTextsOfARegisteredAgentAnswerInvalidParameter) {
  const uint64_t h = open("nulls", kSeed.c_str(), &counting_password);
  const std::string id = dids(h)[0]["id"];
  const std::string pk = dids(h)[0]["publicKey"];
  const std::string sig = std::string(86, 'A') + "==";
  const char* did = id.c_str();
  const char* key = pk.c_str();
  const char* signature = sig.c_str();
  const uint64_t unknown = h + 1;
  auto invalid = [](const char* argument) {
    return failure("InvalidParameter", std::string("Invalid Parameter for ") + argument);
  };
  auto verify = [](uint64_t handle, const char* k, const char* d, const char* s) {
    return call(&Library::verify_with_did_public_key, handle, k, d, s);
  };
  g_other_calls = 0;
  const std::pair<std::string, std::string> rows[] = {
      {call(&Library::get_did_info, h, nullptr), invalid("did")},
      {call(&Library::sign, h, nullptr), invalid("data")},
      {call(&Library::sign_with_did, h, nullptr, "QUJD"), invalid("did")},
      {call(&Library::sign_with_did, h, nullptr, nullptr), invalid("did")},
      {call(&Library::sign_with_did, h, did, nullptr), invalid("data")},
      {verify(h, nullptr, "QUJD", signature), invalid("public_key")},
      {verify(h, nullptr, nullptr, nullptr), invalid("public_key")},
      {verify(h, key, nullptr, signature), invalid("data")},
      {verify(h, key, nullptr, nullptr), invalid("data")},
      {verify(h, key, "QUJD", nullptr), invalid("signature")},
      // A text that fails to decode answers before a later NULL is looked at.
      {verify(h, "0OIl", nullptr, nullptr), failure("ConversionError", "Invalid base58 encoded public key")},
      {call(&Library::get_did_info, unknown, nullptr), kNotFound},
      {call(&Library::sign, unknown, nullptr), kNotFound},
      {call(&Library::sign_with_did, unknown, nullptr, nullptr), kNotFound},
      {verify(unknown, nullptr, nullptr, nullptr), kNotFound},
  };
  for (const auto& [answer, expected] : rows) EXPECT_EQ(answer, expected);
  EXPECT_EQ(g_other_calls.load(), 0);
}

TEST_F(AgentExports, DidCallsAnswerTheirExactEnvelopes) {
  uint64_t h = open("dids", kSeed.c_str());
  json listed = dids(h);
  ASSERT_EQ(listed.size(), 1u);
  const std::string id = listed[0]["id"];
  const std::string public_key = listed[0]["publicKey"];
  const std::vector<uint8_t> seed_bytes(kSeed.begin(), kSeed.end());
  const std::string info = R"({"id":")" + id + R"(","metadata":null,"publicDID":false,"publicKey":")" + public_key +
                           R"(","seed":")" + base58_encode(seed_bytes) + R"("})";
  EXPECT_EQ(call(&Library::get_did_info, h, id.c_str()), R"({"code":"OK","value":)" + info + "}");
  EXPECT_EQ(call(&Library::list_dids, h), R"({"code":"OK","value":[)" + info + "]}");
  // The seed of the opening finds the same DID and adds nothing.
  EXPECT_EQ(call(&Library::create_did, h, kSeed.c_str()), R"({"code":"OK","value":)" + info + "}");
  EXPECT_EQ(dids(h).size(), 1u);

  json random = json::parse(call(&Library::create_did, h, nullptr));
  EXPECT_EQ(random["value"]["seed"], nullptr);
  EXPECT_EQ(dids(h).size(), 2u);

  EXPECT_EQ(call(&Library::create_did, h, ""), failure("WalletCouldNotGenerateKeyPair", "Couldn't create key pair"));
  EXPECT_EQ(call(&Library::get_did_info, h, ""), failure("RecordNotFound", "DIDInfo"));
  EXPECT_EQ(call(&Library::get_default_did, h), failure("RecordNotFound", "PublicDid"));
  EXPECT_EQ(call(&Library::sign, h, "QUJD"), failure("RecordNotFound", "PublicDid"));
  EXPECT_EQ(call(&Library::sign_with_did, h, "NoSuchDid", "QUJD"), failure("RecordNotFound", "DIDInfo"));
}

TEST_F(AgentExports, BadEncodingsAnswerConversionErrors) {
  uint64_t h = open("codes", kSeed.c_str());
  const std::string id = dids(h)[0]["id"];
  const std::string pk = dids(h)[0]["publicKey"];
  const std::string sig(86, 'A');
  const std::string good_sig = sig + "==";
  struct Case {
    std::string answer;
    std::string expected;
  };
  const Case cases[] = {
      {call(&Library::sign, h, "QUI"), failure("ConversionError", "Invalid base64 encoding")},
      {call(&Library::sign_with_did, h, id.c_str(), "QUI"), failure("ConversionError", "Invalid base64 encoding")},
      {call(&Library::verify_with_did_public_key, h, "0OIl", nullptr, nullptr),
       failure("ConversionError", "Invalid base58 encoded public key")},
      {call(&Library::verify_with_did_public_key, h, pk.c_str(), "QUI", nullptr),
       failure("ConversionError", "Invalid base64 encoded sign data")},
      {call(&Library::verify_with_did_public_key, h, pk.c_str(), "QUJD", "QUI"),
       failure("ConversionError", "Invalid base64 encoded signature")},
      // Well-formed texts that do not verify, whatever their lengths: false, not a failure.
      {call(&Library::verify_with_did_public_key, h, pk.c_str(), "QUJD", good_sig.c_str()), R"({"code":"OK","value":false})"},
      {call(&Library::verify_with_did_public_key, h, "1", "", ""), R"({"code":"OK","value":false})"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.answer, c.expected);
}

// RFC 8032, section 7.1, tests 1 to 3: the seed text's 32 bytes are the secret key.
TEST_F(AgentExports, SignaturesMatchTheEd25519KnownAnswers) {
  int n = 0;
  for (const test::Ed25519Vector& v : test::kRfc8032Vectors) {
    std::vector<uint8_t> secret = from_hex(v.seed);
    std::string seed(secret.begin(), secret.end());
    uint64_t h = open(("rfc" + std::to_string(++n)).c_str(), seed.c_str());
    json info = dids(h)[0];
    std::vector<uint8_t> pk = from_hex(v.public_key);
    EXPECT_EQ(info["publicKey"], base58_encode(pk));
    EXPECT_EQ(info["id"], base58_encode(std::span<const uint8_t>(pk).first(16)));

    std::string data = base64_encode(from_hex(v.message));
    std::string signature = base64_encode(from_hex(v.signature));
    const std::string id = info["id"];
    EXPECT_EQ(call(&Library::sign_with_did, h, id.c_str(), data.c_str()), R"({"code":"OK","value":")" + signature + R"("})");
    const std::string pk58 = info["publicKey"];
    EXPECT_EQ(call(&Library::verify_with_did_public_key, h, pk58.c_str(), data.c_str(), signature.c_str()),
              R"({"code":"OK","value":true})");
    std::vector<uint8_t> changed = from_hex(v.message);
    changed.push_back(0x01);
    EXPECT_EQ(call(&Library::verify_with_did_public_key, h, pk58.c_str(), base64_encode(changed).c_str(), signature.c_str()),
              R"({"code":"OK","value":false})");
  }
}

TEST_F(AgentExports, ChangedPasswordSignsWithTheNewOneOnly) {
  uint64_t h = open("pw", kSeed.c_str());
  const std::string id = dids(h)[0]["id"];
  EXPECT_EQ(call(&Library::change_password, h, &new_password), R"({"code":"OK"})");
  // The agent's own callback still answers the old password.
  EXPECT_EQ(call(&Library::sign_with_did, h, id.c_str(), "QUJD"),
            failure("WalletLoginFailed", "Cannot read wallet. Is the Pin Correct?"));
  g_password = new_password();
  json signed_again = json::parse(call(&Library::sign_with_did, h, id.c_str(), "QUJD"));
  EXPECT_EQ(signed_again["code"], "OK");
  EXPECT_EQ(signed_again["value"].get<std::string>().size(), 88u);
  // The undo copy, under the old password, ends with the change.
  EXPECT_FALSE(test::file_exists(home.path() + "/brox-wallet/./qxdwallet_pw-undo.json"));
}

TEST_F(AgentExports, StoredDataComesBackAndFailuresOfTheFetchStayInsideTheValue) {
  uint64_t h = open("data", kSeed.c_str());
  std::vector<uint8_t> bytes(3840);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  const std::string largest = base64_encode(bytes);
  ASSERT_EQ(largest.size(), 5120u);

  EXPECT_EQ(call(&Library::wallet_store_data, h, "k", largest.c_str()), R"({"code":"OK"})");
  EXPECT_EQ(call(&Library::wallet_get_data, h, "k"), R"({"code":"OK","value":{"Ok":")" + largest + R"("}})");
  // The same key again replaces the value; the empty text is data too.
  EXPECT_EQ(call(&Library::wallet_store_data, h, "k", ""), R"({"code":"OK"})");
  EXPECT_EQ(call(&Library::wallet_get_data, h, "k"), R"({"code":"OK","value":{"Ok":""}})");

  EXPECT_EQ(call(&Library::wallet_get_data, h, "missing"),
            R"({"code":"OK","value":{"Err":{"code":"RecordNotFound","msg":"No data with key missing"}}})");
  g_password = other_password();
  EXPECT_EQ(call(&Library::wallet_get_data, h, "k"),
            R"({"code":"OK","value":{"Err":{"code":"WalletLoginFailed","msg":"Cannot read wallet. Is the Pin Correct?"}}})");

  const std::string too_big = largest + "A";
  const std::pair<const char*, std::string> refused[] = {
      {too_big.c_str(), failure("InvalidParameter", "Data size cannot be larger than 5K")},
      {"!!!!", failure("EncodingError", "Invalid symbol 33, offset 0.")},
      {"QUI", failure("EncodingError", "Invalid padding")},
  };
  for (const auto& [data, expected] : refused) EXPECT_EQ(call(&Library::wallet_store_data, h, "k", data), expected);
}

// A wallet written by one process is read back by the next.
TEST_F(AgentExports, AWalletFileOutlivesItsProcess) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    uint64_t h = open("kept", kSeed.c_str());
    bool ok = call(&Library::wallet_store_data, h, "note", "aGVsbG8=") == R"({"code":"OK"})";
    ok = ok && json::parse(call(&Library::create_did, h, nullptr))["code"] == "OK";
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // This process has not loaded the library yet: its registry starts empty.
  uint64_t h = open("kept", kSeed.c_str());
  EXPECT_EQ(h, 100005u);
  EXPECT_EQ(dids(h).size(), 2u);
  EXPECT_EQ(call(&Library::wallet_get_data, h, "note"), R"({"code":"OK","value":{"Ok":"aGVsbG8="}})");
}

}  // namespace
}  // namespace velno::host
