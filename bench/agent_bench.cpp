// Opening agents and creating and listing DIDs on wallets of 10 to 10,000 DIDs, through the
// C interface: what each costs beyond its key derivations, and how that grows.
#include <atomic>
#include <map>

#include <benchmark/benchmark.h>

#include "bench_support.hpp"

namespace velno::bench {
namespace {

std::atomic<long> g_password_calls{0};
const char* counting_password() {
  g_password_calls.fetch_add(1, std::memory_order_relaxed);
  return kPassword;
}

// The seed of the first DID of every generated wallet: opening with it finds the DID stored.
const std::string kKnownSeed = "agent-bench-known-seed-000000001";

struct AgentEnv {
  TempHome home;
  std::map<std::size_t, GeneratedWallet> wallets;
  std::map<std::size_t, uint64_t> agents;  // one open agent per wallet size
  int next_alias = 0;
  bool ok = true;

  AgentEnv() {
    init_sodium();
    ok = envelope_ok(set_velno_home_path(home.path().c_str()));
  }
  const GeneratedWallet& wallet(std::size_t dids) {
    auto it = wallets.find(dids);
    if (it == wallets.end()) it = wallets.emplace(dids, make_wallet(dids, {kKnownSeed})).first;
    return it->second;
  }
  // Lays down a fresh copy of the wallet of `dids` DIDs under a new alias.
  std::string place_wallet(std::size_t dids) {
    std::string alias = cat({std::to_string(dids), "-", std::to_string(next_alias++)});
    write_whole_file(home.wallet_file(cat({"qxdwallet_", alias})), wallet(dids).text);
    return alias;
  }
  // An agent open on a wallet of `dids` DIDs (opening it asks no password).
  bool agent(std::size_t dids, uint64_t* handle) {
    auto it = agents.find(dids);
    if (it != agents.end()) {
      *handle = it->second;
      return true;
    }
    if (!open_agent(place_wallet(dids), kKnownSeed.c_str(), counting_password, handle)) return false;
    agents[dids] = *handle;
    return true;
  }
};

AgentEnv& agent_env() {
  static AgentEnv env;
  return env;
}

void per_did_counter(benchmark::State& state, std::size_t dids) {
  state.counters["per_did"] = benchmark::Counter(static_cast<double>(dids),
                                                 benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

// create_agent with the seed of a DID the wallet holds: read, parse, one lookup, no derivation
// and no write. Every iteration opens a new alias (an alias opens once per process).
void BM_OpenAgent(benchmark::State& state) {
  AgentEnv& env = agent_env();
  if (!env.ok) return state.SkipWithError("no home directory");
  const auto dids = static_cast<std::size_t>(state.range(0));
  const long calls_before = g_password_calls.load();
  for (auto _ : state) {
    std::string alias = env.place_wallet(dids);
    uint64_t handle = 0;
    double t0 = now_seconds();
    bool ok = open_agent(alias, kKnownSeed.c_str(), counting_password, &handle);
    state.SetIterationTime(now_seconds() - t0);
    if (!ok) return state.SkipWithError("create_agent failed");
  }
  state.counters["password_calls"] =
      benchmark::Counter(static_cast<double>(g_password_calls.load() - calls_before), benchmark::Counter::kAvgIterations);
  per_did_counter(state, dids);
}
// Agents stay open for the life of the process, so the iterations are few and fixed.
BENCHMARK(BM_OpenAgent)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(10)->Iterations(200);
BENCHMARK(BM_OpenAgent)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(1000)->Iterations(40);
BENCHMARK(BM_OpenAgent)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(10000)->Iterations(8);

// list_dids reads only plain records: no password may be asked.
void BM_ListDids(benchmark::State& state) {
  AgentEnv& env = agent_env();
  const auto dids = static_cast<std::size_t>(state.range(0));
  uint64_t handle = 0;
  if (!env.ok || !env.agent(dids, &handle)) return state.SkipWithError("agent set-up failed");
  const long calls_before = g_password_calls.load();
  std::size_t answer_bytes = 0;
  for (auto _ : state) {
    std::string answer;
    if (!envelope_ok(list_dids(handle), &answer)) return state.SkipWithError("list_dids failed");
    answer_bytes = answer.size();
  }
  state.counters["password_calls"] =
      benchmark::Counter(static_cast<double>(g_password_calls.load() - calls_before), benchmark::Counter::kAvgIterations);
  state.counters["answer_bytes"] = static_cast<double>(answer_bytes);
  per_did_counter(state, dids);
}
BENCHMARK(BM_ListDids)->Unit(benchmark::kMillisecond)->Arg(10)->Arg(1000)->Arg(10000);

// create_did with a random key pair (two derivations: one proves the password on a sealed
// record, one seals; one rewrite of the wallet file holds both of the DID's records),
// paired with two bare derivations,
// alternating which goes first; the difference is what the library adds. Each iteration
// adds a DID.
void BM_CreateDidVsDerivation(benchmark::State& state) {
  AgentEnv& env = agent_env();
  const auto dids = static_cast<std::size_t>(state.range(0));
  uint64_t handle = 0;
  if (!env.ok || !env.agent(dids, &handle)) return state.SkipWithError("agent set-up failed");
  uint8_t salt[crypto_pwhash_SALTBYTES] = {7};
  uint8_t key[crypto_secretbox_KEYBYTES];
  const long calls_before = g_password_calls.load();
  AlternatingPair pair;
  for (auto _ : state) {
    if (!pair.run([&] { return derive(kPassword, salt, key) && derive(kPassword, salt, key); },
                  [&] { return envelope_ok(create_did(handle, nullptr)); })) {
      return state.SkipWithError("create_did failed");
    }
    state.SetIterationTime(pair.measured_s);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["derive_ms"] = pair.reference_total / n * 1e3;
  state.counters["extra_ms"] = (pair.measured_total - pair.reference_total) / n * 1e3;
  state.counters["password_calls"] =
      benchmark::Counter(static_cast<double>(g_password_calls.load() - calls_before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CreateDidVsDerivation)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20)
    ->Arg(10)->Arg(1000)->Arg(10000);

// wallet_store_data paired with two bare derivations, the floor of a write that proves its
// password (one derivation to open a sealed record's key, one to seal), alternating which
// goes first. Each iteration opens a fresh agent (untimed) on a wallet of 10 DIDs, with or
// without sealed key pairs: without one there is nothing to prove the password on, so the
// write costs what every write cost before the proof.
void store_vs_two_derivations(benchmark::State& state, bool sealed_records) {
  AgentEnv& env = agent_env();
  if (!env.ok) return state.SkipWithError("no home directory");
  static const GeneratedWallet with_pairs = make_wallet(10, {kKnownSeed});
  static const GeneratedWallet descriptions_only = make_wallet(10, {kKnownSeed}, false);
  const GeneratedWallet& wallet = sealed_records ? with_pairs : descriptions_only;
  uint8_t salt[crypto_pwhash_SALTBYTES] = {7};
  uint8_t key[crypto_secretbox_KEYBYTES];
  const long calls_before = g_password_calls.load();
  AlternatingPair pair;
  for (auto _ : state) {
    const std::string alias = cat({"store-", std::to_string(env.next_alias++)});
    write_whole_file(env.home.wallet_file(cat({"qxdwallet_", alias})), wallet.text);
    uint64_t handle = 0;
    if (!open_agent(alias, kKnownSeed.c_str(), counting_password, &handle))
      return state.SkipWithError("create_agent failed");
    if (!pair.run([&] { return derive(kPassword, salt, key) && derive(kPassword, salt, key); },
                  [&] { return envelope_ok(wallet_store_data(handle, "key", "dmFsdWU=")); })) {
      return state.SkipWithError("wallet_store_data failed");
    }
    state.SetIterationTime(pair.measured_s);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["ratio"] = pair.ratio();
  state.counters["two_derivations_ms"] = pair.reference_total / n * 1e3;
  state.counters["password_calls"] =
      benchmark::Counter(static_cast<double>(g_password_calls.load() - calls_before), benchmark::Counter::kAvgIterations);
}
void BM_StoreDataProvingThePassword(benchmark::State& state) { store_vs_two_derivations(state, true); }
void BM_StoreDataWithNothingToProveOn(benchmark::State& state) { store_vs_two_derivations(state, false); }
BENCHMARK(BM_StoreDataProvingThePassword)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);
BENCHMARK(BM_StoreDataWithNothingToProveOn)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

}  // namespace
}  // namespace velno::bench

BENCHMARK_MAIN();
