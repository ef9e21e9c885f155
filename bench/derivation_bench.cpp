// The library's key derivation against crypto_pwhash where the process's state decides: a
// process's first derivation, with and without transparent huge pages, the computation
// alone, and what each way of treating idle regions costs in time and keeps in memory. Every measurement runs in
// forked children, so that each starts with a pool of its own (a child keeps none of its
// parent's regions), and each child pairs the library with crypto_pwhash itself.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include <benchmark/benchmark.h>

#include "bench_support.hpp"
#include "wallet/argon2_compress.hpp"
#include "wallet/key_derivation.hpp"

namespace velno::bench {
namespace {

using test_hooks::Argon2IdleChoice;

constexpr std::size_t kChildFigures = 8;
using ChildFigures = std::array<double, kChildFigures>;

// Runs `work` in a forked child and returns what it filled in; false when the child failed.
template <class Work>
bool in_child(Work&& work, ChildFigures& figures) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[0]);
    ChildFigures out{};
    const bool ok = work(out);
    const bool sent = write(fds[1], out.data(), sizeof out) == static_cast<ssize_t>(sizeof out);
    _exit(ok && sent ? 0 : 1);
  }
  close(fds[1]);
  const bool read_all = read(fds[0], figures.data(), sizeof figures) == static_cast<ssize_t>(sizeof figures);
  close(fds[0]);
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && read_all;
}

bool turn_off_huge_pages() { return prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0; }

const std::span<const uint8_t> kPasswordBytes(reinterpret_cast<const uint8_t*>(kPassword),
                                              std::char_traits<char>::length(kPassword));

bool library_derive(const uint8_t* salt) {
  uint8_t key[crypto_secretbox_KEYBYTES];
  return argon2id_derive(kPasswordBytes, {salt, crypto_pwhash_SALTBYTES}, key);
}

bool stock_derive(const uint8_t* salt) {
  uint8_t key[crypto_secretbox_KEYBYTES];
  return derive(kPassword, salt, key);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n == 0 ? std::nan("") : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---- A process's first derivation ----------------------------------------------------------

// Each iteration starts three children, each making its first derivation: with
// crypto_pwhash, with the library (which maps and populates a region for it and computes
// with the fastest compression this processor has), and with the library held to its
// portable compression (what processors without SSE2/AVX2/AVX-512F get); the order
// rotates. Argument 1 turns transparent huge pages off in all three
// (prctl(PR_SET_THP_DISABLE), as on a server without them).
void BM_FirstDerivationOfAProcess(benchmark::State& state) {
  init_sodium();
  const bool no_huge_pages = state.range(0) != 0;
  std::array<uint8_t, crypto_pwhash_SALTBYTES> salt{};
  randombytes_buf(salt.data(), salt.size());
  std::vector<double> ratios, portable_ratios, stock_ms, library_ms, portable_ms;
  double huge_in_force = 0;
  int rotation = 0;
  for (auto _ : state) {
    double seconds[3] = {0, 0, 0};  // stock, library, library with the portable compression
    for (int k = 0; k < 3; ++k) {
      const int who = (k + rotation) % 3;
      ChildFigures f{};
      const bool ok = in_child(
          [&](ChildFigures& out) {
            if (no_huge_pages && !turn_off_huge_pages()) return false;
            if (who == 2) argon2::test_hooks::forced_compression = static_cast<int>(argon2::Compression::kPortable);
            out[1] = test_hooks::argon2_huge_pages_in_force() ? 1 : 0;
            const double t0 = now_seconds();
            const bool derived = who == 0 ? stock_derive(salt.data()) : library_derive(salt.data());
            out[0] = now_seconds() - t0;
            return derived;
          },
          f);
      if (!ok) return state.SkipWithError("child failed");
      seconds[who] = f[0];
      huge_in_force = f[1];
    }
    ++rotation;
    state.SetIterationTime(seconds[1]);
    ratios.push_back(seconds[1] / seconds[0]);
    portable_ratios.push_back(seconds[2] / seconds[0]);
    stock_ms.push_back(seconds[0] * 1e3);
    library_ms.push_back(seconds[1] * 1e3);
    portable_ms.push_back(seconds[2] * 1e3);
  }
  state.counters["ratio_median"] = median(ratios);
  state.counters["ratio_min"] = *std::min_element(ratios.begin(), ratios.end());
  state.counters["ratio_max"] = *std::max_element(ratios.begin(), ratios.end());
  state.counters["portable_ratio_median"] = median(portable_ratios);
  state.counters["stock_ms"] = median(stock_ms);
  state.counters["library_ms"] = median(library_ms);
  state.counters["portable_ms"] = median(portable_ms);
  state.counters["huge_pages"] = huge_in_force;
}
BENCHMARK(BM_FirstDerivationOfAProcess)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(15);

// ---- The arithmetic alone ---------------------------------------------------------------

// CPU time of this thread, user and system, in seconds.
std::pair<double, double> thread_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
  return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

// crypto_pwhash against the library's derivation in the region it keeps, alternating, on
// one thread; user time is the computation (both run on memory whose pages are in place:
// crypto_pwhash maps its own populated), system time what the kernel adds. Arguments:
// huge pages off (1) or as the system has them (0), and the compression the library uses
// (-1 the fastest this processor has, else an argon2::Compression: 0 portable, 1 SSE2,
// 2 AVX2, 3 AVX-512F). Runs in a child so that the pool starts empty.
void BM_ComputationAlone(benchmark::State& state) {
  constexpr int kPairs = 12;
  init_sodium();
  const bool no_huge_pages = state.range(0) != 0;
  const auto compression = static_cast<int>(state.range(1));
  if (compression >= 0 && !argon2::compression_available(static_cast<argon2::Compression>(compression))) {
    return state.SkipWithError("not on this processor");
  }
  std::array<uint8_t, crypto_pwhash_SALTBYTES> salt{};
  randombytes_buf(salt.data(), salt.size());
  for (auto _ : state) {
    ChildFigures f{};
    const bool ok = in_child(
        [&](ChildFigures& out) {
          if (no_huge_pages && !turn_off_huge_pages()) return false;
          argon2::test_hooks::forced_compression = compression;
          if (!library_derive(salt.data()) || !library_derive(salt.data())) return false;  // a region, in use once
          for (int i = 0; i < kPairs; ++i) {
            for (int k = 0; k < 2; ++k) {
              const bool library = (k == 0) == (i % 2 == 0);
              const double t0 = now_seconds();
              const auto [user0, sys0] = thread_cpu_seconds();
              if (!(library ? library_derive(salt.data()) : stock_derive(salt.data()))) return false;
              const auto [user1, sys1] = thread_cpu_seconds();
              const std::size_t at = library ? 3 : 0;
              out[at] += now_seconds() - t0;
              out[at + 1] += user1 - user0;
              out[at + 2] += sys1 - sys0;
            }
          }
          for (double& v : out) v /= kPairs;
          return true;
        },
        f);
    if (!ok) return state.SkipWithError("child failed");
    state.SetIterationTime(f[3]);
    state.counters["stock_ms"] = f[0] * 1e3;
    state.counters["stock_user_ms"] = f[1] * 1e3;
    state.counters["stock_sys_ms"] = f[2] * 1e3;
    state.counters["library_ms"] = f[3] * 1e3;
    state.counters["library_user_ms"] = f[4] * 1e3;
    state.counters["library_sys_ms"] = f[5] * 1e3;
    state.counters["speed"] = f[1] / f[4];  // the library's speed as a share of libsodium's
  }
}
BENCHMARK(BM_ComputationAlone)
    ->ArgNames({"no_thp", "compression"})
    ->Args({0, -1})
    ->Args({1, -1})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({0, 3})
    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// ---- Idle regions: three ways, side by side -----------------------------------------------

// "<field>:  <n> kB" of /proc/self/smaps_rollup, in MiB.
double rollup_mib(const char* field) { return proc_mib("/proc/self/smaps_rollup", field); }

// Memory the system cannot take back without swapping: anonymous pages not handed back.
double unreclaimable_mib() { return rollup_mib("Anonymous:") - rollup_mib("LazyFree:"); }

constexpr Argon2IdleChoice kChoices[] = {Argon2IdleChoice::kLazyRelease, Argon2IdleChoice::kKeepOne,
                                         Argon2IdleChoice::kFreshRegionPerCall, Argon2IdleChoice::kKeepAll};
constexpr const char* kChoiceNames[] = {"lazy", "keep1", "fresh", "all"};

// Arguments: threads, calls per thread in a burst (many calls approach a steady load), huge pages off (1) or as the system has
// them (0). Each iteration runs one child per choice (kKeepAll: every region stays resident,
// as before idle regions were given back), in an order that rotates. A child
// sets its choice, runs one burst to reach the state the choice keeps between bursts, then
// alternates kRounds bursts of crypto_pwhash with kRounds of the library (the pool goes idle
// after each), and reports the time ratio and what it holds once idle, beyond what it
// held before its first derivation.
void BM_IdleRegionChoices(benchmark::State& state) {
  constexpr int kRounds = 5;
  init_sodium();
  const auto threads = static_cast<int>(state.range(0));
  const auto per_thread = static_cast<int>(state.range(1));
  const bool no_huge_pages = state.range(2) != 0;
  std::vector<std::array<uint8_t, crypto_pwhash_SALTBYTES>> salts(static_cast<std::size_t>(threads));
  for (auto& salt : salts) randombytes_buf(salt.data(), salt.size());
  constexpr std::size_t kCount = std::size(kChoices);
  std::array<std::vector<double>, kCount> ratios, held, rss;
  std::size_t rotation = 0;
  for (auto _ : state) {
    for (std::size_t k = 0; k < kCount; ++k) {
      const std::size_t c = (k + rotation) % kCount;
      ChildFigures f{};
      const bool ok = in_child(
          [&](ChildFigures& out) {
            if (no_huge_pages && !turn_off_huge_pages()) return false;
            test_hooks::argon2_idle_choice = kChoices[c];
            const double held_before = unreclaimable_mib(), rss_before = rollup_mib("Rss:");
            auto stock = [&](int t) { return stock_derive(salts[static_cast<std::size_t>(t)].data()); };
            auto library = [&](int t) { return library_derive(salts[static_cast<std::size_t>(t)].data()); };
            AlternatingPhases warm_up(threads, per_thread), phases(threads, per_thread);
            if (!warm_up.run(stock, library)) return false;
            for (int r = 0; r < kRounds; ++r) {
              if (!phases.run(stock, library)) return false;
            }
            out[0] = phases.ratio();
            out[1] = unreclaimable_mib() - held_before;
            out[2] = rollup_mib("Rss:") - rss_before;
            return true;
          },
          f);
      if (!ok) return state.SkipWithError("child failed");
      ratios[c].push_back(f[0]);
      held[c].push_back(f[1]);
      rss[c].push_back(f[2]);
    }
    ++rotation;
  }
  for (std::size_t c = 0; c < kCount; ++c) {
    const std::string_view name = kChoiceNames[c];
    state.counters[cat({name, "_ratio"})] = median(ratios[c]);
    state.counters[cat({name, "_speedup"})] = 1 / median(ratios[c]);
    state.counters[cat({name, "_held_mib"})] = *std::max_element(held[c].begin(), held[c].end());
    state.counters[cat({name, "_rss_mib"})] = median(rss[c]);
  }
}
BENCHMARK(BM_IdleRegionChoices)
    ->ArgNames({"threads", "calls", "no_thp"})
    ->Args({1, 1, 0})
    ->Args({8, 1, 0})
    ->Args({8, 3, 0})
    ->Args({1, 1, 1})
    ->Args({8, 1, 1})
    ->Args({8, 3, 1})
    ->Args({8, 12, 1})  // near steady load: the pool goes idle once in 12 calls a thread
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace velno::bench

BENCHMARK_MAIN();
