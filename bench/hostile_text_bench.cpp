// Texts far longer than their values, through the C interface: a public key given to
// verify_with_did_public_key, and a sealed record's salt read by sign_with_did. Both are
// answered without decoding past what the value can hold, so the cost grows with the
// text's length, not with its square (a 1 MiB text once took 12 s to decode).
#include <fstream>
#include <map>
#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "bench_support.hpp"

namespace velno::bench {
namespace {

const std::string kSeed = "hostile-text-bench-seed-000000001";

// Valid Base58 of `length` digits.
std::string digits(std::size_t length) {
  static const char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  std::string text(length, 'z');
  for (std::size_t i = 0; i < length; ++i) text[i] = kAlphabet[1 + (i * 31) % 57];
  return text;
}

struct HostileEnv {
  TempHome home;
  uint64_t handle = 0;
  std::string did, public_key, signature;
  std::map<std::size_t, uint64_t> long_salt_agents;
  bool ok = true;

  HostileEnv() {
    init_sodium();
    ok = envelope_ok(set_velno_home_path(home.path().c_str())) &&
         open_agent("plain", kSeed.c_str(), password_callback, &handle);
    std::string answer;
    ok = ok && envelope_ok(list_dids(handle), &answer);
    if (!ok) return;
    const auto dids = nlohmann::json::parse(answer)["value"];
    did = dids[0]["id"];
    public_key = dids[0]["publicKey"];
    ok = envelope_ok(sign_with_did(handle, did.c_str(), "QUJD"), &answer);
    if (ok) signature = nlohmann::json::parse(answer)["value"];
  }
  // An agent on a copy of the wallet whose key pair's salt is `length` digits.
  bool long_salt_agent(std::size_t length, uint64_t* out) {
    if (auto it = long_salt_agents.find(length); it != long_salt_agents.end()) {
      *out = it->second;
      return true;
    }
    std::ifstream in(home.wallet_file("qxdwallet_plain"));
    auto wallet = nlohmann::json::parse(in, nullptr, false);
    if (!wallet.is_object()) return false;
    wallet[cat({did, "::KeyPair"})]["record_security"]["salt"] = digits(length);
    const std::string alias = cat({"salt", std::to_string(length)});
    write_whole_file(home.wallet_file(cat({"qxdwallet_", alias})), wallet.dump());
    if (!open_agent(alias, kSeed.c_str(), password_callback, out)) return false;
    long_salt_agents[length] = *out;
    return true;
  }
};

HostileEnv& env() {
  static HostileEnv e;
  return e;
}

void BM_VerifyKeyText(benchmark::State& state) {
  HostileEnv& e = env();
  if (!e.ok) return state.SkipWithError("set-up failed");
  // 0: the DID's own key, which verifies; else the key with that many digits more.
  const std::string key = e.public_key + digits(static_cast<std::size_t>(state.range(0)));
  const std::string expected = state.range(0) == 0 ? R"({"code":"OK","value":true})" : R"({"code":"OK","value":false})";
  for (auto _ : state) {
    std::string answer;
    envelope_ok(verify_with_did_public_key(e.handle, key.c_str(), "QUJD", e.signature.c_str()), &answer);
    if (answer != expected) state.SkipWithError(answer.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(key.size()));
}
BENCHMARK(BM_VerifyKeyText)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_SignWithSaltText(benchmark::State& state) {
  HostileEnv& e = env();
  uint64_t h = 0;
  if (!e.ok || !e.long_salt_agent(static_cast<std::size_t>(state.range(0)), &h))
    return state.SkipWithError("set-up failed");
  for (auto _ : state) {
    std::string answer;
    envelope_ok(sign_with_did(h, e.did.c_str(), "QUJD"), &answer);
    if (answer != R"({"code":"Crypto","value":"Invalid length of salt"})") state.SkipWithError(answer.c_str());
  }
}
BENCHMARK(BM_SignWithSaltText)->Unit(benchmark::kMillisecond)->Arg(23)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
}  // namespace velno::bench

BENCHMARK_MAIN();
