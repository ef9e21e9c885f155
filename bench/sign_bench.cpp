// Signing and verifying through the C interface against the cryptography they cannot avoid,
// alone and from several host threads, and the library's key derivation against crypto_pwhash.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <map>
#include <mutex>

#include <benchmark/benchmark.h>

#include "bench_support.hpp"
#include "common/base64.hpp"
#include "wallet/key_derivation.hpp"

namespace velno::bench {
namespace {

// ---- The floor alone ----------------------------------------------------------------------

const SealedKeyPair& floor_key_pair() {
  static const SealedKeyPair s = [] {
    init_sodium();
    return seal_key_pair(kPassword);
  }();
  return s;
}

std::vector<uint8_t> payload(std::size_t n) {
  std::vector<uint8_t> data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  return data;
}

void BM_Argon2idDerivation(benchmark::State& state) {
  init_sodium();
  uint8_t salt[crypto_pwhash_SALTBYTES] = {1};
  uint8_t key[crypto_secretbox_KEYBYTES];
  for (auto _ : state) {
    if (!derive(kPassword, salt, key)) state.SkipWithError("crypto_pwhash failed");
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_Argon2idDerivation)->Unit(benchmark::kMillisecond)->Iterations(16);

// Threads of one process running the floor side by side.
void BM_FloorSignThreads(benchmark::State& state) {
  const SealedKeyPair& s = floor_key_pair();
  const auto data = payload(32);
  uint8_t sig[crypto_sign_BYTES];
  for (auto _ : state) {
    if (!floor_sign(s, kPassword, data, sig)) state.SkipWithError("floor signing failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorSignThreads)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0)->ThreadRange(1, 8);

// The same floor in separate processes, which do not share an address space: each child signs
// kPerChild times; the wall time of all of them is the measure.
void BM_FloorSignProcesses(benchmark::State& state) {
  constexpr int kPerChild = 8;
  const SealedKeyPair& s = floor_key_pair();
  const auto data = payload(32);
  const auto children = static_cast<int>(state.range(0));
  for (auto _ : state) {
    double start = now_seconds();
    std::vector<pid_t> pids;
    for (int c = 0; c < children; ++c) {
      pid_t pid = fork();
      if (pid == 0) {
        uint8_t sig[crypto_sign_BYTES];
        bool ok = true;
        for (int i = 0; i < kPerChild; ++i) ok = floor_sign(s, kPassword, data, sig) && ok;
        _exit(ok ? 0 : 1);
      }
      if (pid < 0) state.SkipWithError("fork failed");
      pids.push_back(pid);
    }
    for (pid_t pid : pids) {
      int status = 0;
      if (pid > 0 && (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
        state.SkipWithError("child failed");
      }
    }
    state.SetIterationTime(now_seconds() - start);
  }
  state.SetItemsProcessed(state.iterations() * children * kPerChild);
}
BENCHMARK(BM_FloorSignProcesses)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3)->RangeMultiplier(2)->Range(1, 8);

// ---- Through the C interface --------------------------------------------------------------

// One home directory for the process, and agents whose DID can sign (made by create_agent).
struct SignEnv {
  TempHome home;
  std::vector<uint64_t> handles;
  std::vector<std::string> dids;
  bool ok = true;

  SignEnv() {
    init_sodium();
    ok = envelope_ok(set_velno_home_path(home.path().c_str()));
    for (int i = 0; i < 8 && ok; ++i) {
      std::string seed = cat({"sign-bench-agent-seed-", std::to_string(1000000000 + i)});  // 32 bytes
      uint64_t handle = 0;
      ok = open_agent(cat({"sign", std::to_string(i)}), seed.c_str(), password_callback, &handle);
      handles.push_back(handle);
      uint8_t pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
      crypto_sign_seed_keypair(pk, sk, reinterpret_cast<const uint8_t*>(seed.data()));
      dids.push_back(did_of(pk));
    }
  }
};

SignEnv& sign_env() {
  static SignEnv env;
  return env;
}

// Signing a stored DID's data, paired iteration by iteration with the floor so that both see
// the same machine state; the order alternates so that neither always runs first.
void BM_SignWithDidVsFloor(benchmark::State& state) {
  SignEnv& env = sign_env();
  if (!env.ok) return state.SkipWithError("agent set-up failed");
  const SealedKeyPair& s = floor_key_pair();
  const auto data = payload(32);
  const std::string data_b64 = base64_encode(data);
  uint8_t sig[crypto_sign_BYTES];
  AlternatingPair pair;
  for (auto _ : state) {
    if (!pair.run([&] { return floor_sign(s, kPassword, data, sig); },
                  [&] { return envelope_ok(sign_with_did(env.handles[0], env.dids[0].c_str(), data_b64.c_str())); })) {
      return state.SkipWithError("signing failed");
    }
    state.SetIterationTime(pair.measured_s);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["floor_ms"] = pair.reference_total / n * 1e3;
  state.counters["extra_us"] = (pair.measured_total - pair.reference_total) / n * 1e6;
  state.counters["ratio"] = pair.ratio();
}
BENCHMARK(BM_SignWithDidVsFloor)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(40);

// ---- The library's key derivation against crypto_pwhash ----------------------------------

// Stock phase time / the library's phase time, so above 1 where the library is faster; with
// the same calls on both sides this is also the ratio of throughputs.
void phase_counters(benchmark::State& state, const AlternatingPhases& phases) {
  const auto n = static_cast<double>(state.iterations()) * phases.calls_per_phase();
  state.counters["stock_ms"] = phases.reference_total / static_cast<double>(state.iterations()) * 1e3;
  state.counters["ratio"] = phases.measured_total / phases.reference_total;
  state.counters["speedup"] = phases.reference_total / phases.measured_total;
  state.counters["per_s"] = n / phases.measured_total;
  state.counters["stock_per_s"] = n / phases.reference_total;
}

int calls_per_thread(int threads) { return threads == 1 ? 1 : 3; }

// The derivation alone, on one thread or as 8 threads side by side, against crypto_pwhash with
// the same password and salts.
void BM_DerivationVsCryptoPwhash(benchmark::State& state) {
  init_sodium();
  const auto threads = static_cast<int>(state.range(0));
  std::vector<std::array<uint8_t, crypto_pwhash_SALTBYTES>> salts(static_cast<std::size_t>(threads));
  for (auto& salt : salts) randombytes_buf(salt.data(), salt.size());
  const std::string_view password(kPassword);
  const std::span<const uint8_t> password_bytes(reinterpret_cast<const uint8_t*>(password.data()), password.size());
  AlternatingPhases phases(threads, calls_per_thread(threads));
  for (auto _ : state) {
    if (!phases.run(
            [&](int t) {
              uint8_t key[crypto_secretbox_KEYBYTES];
              return derive(password, salts[static_cast<std::size_t>(t)].data(), key);
            },
            [&](int t) {
              uint8_t key[crypto_secretbox_KEYBYTES];
              return argon2id_derive(password_bytes, salts[static_cast<std::size_t>(t)], key);
            })) {
      return state.SkipWithError("derivation failed");
    }
    state.SetIterationTime(phases.measured_s);
  }
  phase_counters(state, phases);
}
BENCHMARK(BM_DerivationVsCryptoPwhash)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(1)->Iterations(40);
BENCHMARK(BM_DerivationVsCryptoPwhash)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(8)->Iterations(12);

// sign_with_did on one thread, or on 8 threads with one agent each, against the stock floor
// (crypto_pwhash, two box openings, one signature) on as many threads.
void BM_SignWithDidVsStockFloor(benchmark::State& state) {
  SignEnv& env = sign_env();
  if (!env.ok) return state.SkipWithError("agent set-up failed");
  const SealedKeyPair& s = floor_key_pair();
  const auto threads = static_cast<int>(state.range(0));
  const auto data = payload(32);
  const std::string data_b64 = base64_encode(data);
  AlternatingPhases phases(threads, calls_per_thread(threads));
  for (auto _ : state) {
    if (!phases.run(
            [&](int) {
              uint8_t sig[crypto_sign_BYTES];
              return floor_sign(s, kPassword, data, sig);
            },
            [&](int t) {
              const auto a = static_cast<std::size_t>(t) % env.handles.size();
              return envelope_ok(sign_with_did(env.handles[a], env.dids[a].c_str(), data_b64.c_str()));
            })) {
      return state.SkipWithError("signing failed");
    }
    state.SetIterationTime(phases.measured_s);
  }
  phase_counters(state, phases);
}
BENCHMARK(BM_SignWithDidVsStockFloor)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(1)->Iterations(40);
BENCHMARK(BM_SignWithDidVsStockFloor)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(8)->Iterations(12);

// What the process holds once the derivations above have ended: the regions the library
// keeps, the resident memory, and the part of it that the system cannot take back (all
// but the regions handed back). crypto_pwhash keeps none: it unmaps its 64 MiB each call.
void BM_MemoryHeldAfterwards(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(test_hooks::kept_argon2_regions());
  state.counters["kept_regions"] = static_cast<double>(test_hooks::kept_argon2_regions());
  state.counters["rss_mib"] = proc_mib("/proc/self/status", "VmRSS:");
  state.counters["lazy_free_mib"] = proc_mib("/proc/self/smaps_rollup", "LazyFree:");
  state.counters["unreclaimable_mib"] =
      proc_mib("/proc/self/smaps_rollup", "Anonymous:") - proc_mib("/proc/self/smaps_rollup", "LazyFree:");
  state.counters["huge_mib"] = proc_mib("/proc/self/smaps_rollup", "AnonHugePages:");
}
BENCHMARK(BM_MemoryHeldAfterwards)->Iterations(1);

// Verifying through the interface against crypto_sign_verify_detached on the same bytes; each
// iteration times a batch of each (the time shown is that of a batch through the interface).
void BM_VerifyVsFloor(benchmark::State& state) {
  SignEnv& env = sign_env();
  if (!env.ok) return state.SkipWithError("agent set-up failed");
  constexpr int kBatch = 64;
  const auto data = payload(static_cast<std::size_t>(state.range(0)));
  uint8_t pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES], sig[crypto_sign_BYTES];
  crypto_sign_keypair(pk, sk);
  crypto_sign_detached(sig, nullptr, data.data(), data.size(), sk);
  const std::string pk_b58 = base58_encode(pk), data_b64 = base64_encode(data), sig_b64 = base64_encode(sig);
  double floor_total = 0, iface_total = 0;
  for (auto _ : state) {
    double t0 = now_seconds();
    for (int i = 0; i < kBatch; ++i) {
      if (crypto_sign_verify_detached(sig, data.data(), data.size(), pk) != 0) state.SkipWithError("floor");
    }
    double t1 = now_seconds();
    for (int i = 0; i < kBatch; ++i) {
      std::string answer;
      envelope_ok(verify_with_did_public_key(env.handles[0], pk_b58.c_str(), data_b64.c_str(), sig_b64.c_str()),
                  &answer);
      if (answer != "{\"code\":\"OK\",\"value\":true}") state.SkipWithError(answer.c_str());
    }
    double t2 = now_seconds();
    floor_total += t1 - t0;
    iface_total += t2 - t1;
    state.SetIterationTime(t2 - t1);
  }
  const auto n = static_cast<double>(state.iterations()) * kBatch;
  state.counters["floor_us"] = floor_total / n * 1e6;
  state.counters["iface_us"] = iface_total / n * 1e6;
  state.counters["extra_us"] = (iface_total - floor_total) / n * 1e6;
  state.counters["ratio"] = iface_total / floor_total;
}
BENCHMARK(BM_VerifyVsFloor)->Unit(benchmark::kMicrosecond)->UseManualTime()->Arg(32)->Arg(4096)->Repetitions(3);

// Host threads signing through the interface: all with the first agent, or thread i with agent i.
void sign_threads(benchmark::State& state, bool own_agent) {
  SignEnv& env = sign_env();
  if (!env.ok) return state.SkipWithError("agent set-up failed");
  const std::size_t a = own_agent ? static_cast<std::size_t>(state.thread_index()) % env.handles.size() : 0;
  const std::string data_b64 = base64_encode(payload(32));
  for (auto _ : state) {
    if (!envelope_ok(sign_with_did(env.handles[a], env.dids[a].c_str(), data_b64.c_str()))) {
      state.SkipWithError("signing failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_SignOneAgentThreads(benchmark::State& state) { sign_threads(state, false); }
void BM_SignEightAgentsThreads(benchmark::State& state) { sign_threads(state, true); }
BENCHMARK(BM_SignOneAgentThreads)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0)->ThreadRange(1, 8);
BENCHMARK(BM_SignEightAgentsThreads)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0)->ThreadRange(1, 8);

// Prints, after the usual table, each threaded run's throughput as a share of the floor's at
// the same thread count in this run.
class ShareReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (r.error_occurred || r.run_type != Run::RT_Iteration || it == r.counters.end()) continue;
      const std::string& args = r.run_name.args;
      auto& [sum, count] = rates_[cat({r.run_name.function_name, "/", args.empty() ? std::to_string(r.threads) : args})];
      sum += it->second.value;  // repetitions are averaged
      ++count;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nthroughput (signatures/s) and share of the floor at the same thread count\n");
    for (int t = 1; t <= 8; t *= 2) {
      std::string n = std::to_string(t);
      double floor = rate(cat({"BM_FloorSignThreads/", n})), procs = rate(cat({"BM_FloorSignProcesses/", n}));
      double one = rate(cat({"BM_SignOneAgentThreads/", n})), eight = rate(cat({"BM_SignEightAgentsThreads/", n}));
      std::printf("threads %d: floor %.1f  one agent %.1f (%.1f %%)  eight agents %.1f (%.1f %%)  "
                  "floor in %d processes %.1f\n",
                  t, floor, one, 100 * one / floor, eight, 100 * eight / floor, t, procs);
    }
  }

 private:
  double rate(const std::string& name) const {
    auto it = rates_.find(name);
    return it == rates_.end() ? std::nan("") : it->second.first / it->second.second;
  }
  std::map<std::string, std::pair<double, int>> rates_;
};

}  // namespace
}  // namespace velno::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  velno::bench::ShareReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
