// Reading and writing whole wallet files of 10 to 10,000 DIDs: the parser and serialiser
// against bytes per second, the crash-safe rewrite against a bare durable write.
#include <fcntl.h>
#include <unistd.h>

#include <map>

#include <benchmark/benchmark.h>

#include "bench_support.hpp"
#include "common/local_dir_supplier.hpp"
#include "storage/wallet_path.hpp"
#include "wallet/model/wallet_file_format.hpp"

namespace velno::bench {
namespace {

struct FileEnv {
  TempHome home;
  std::map<std::size_t, GeneratedWallet> wallets;
  bool ok = true;

  FileEnv() {
    init_sodium();
    ok = set_local_dir(home.path()).ok();
  }
  const GeneratedWallet& wallet(std::size_t dids) {
    auto it = wallets.find(dids);
    if (it == wallets.end()) it = wallets.emplace(dids, make_wallet(dids)).first;
    return it->second;
  }
};

FileEnv& file_env() {
  static FileEnv env;
  return env;
}

void per_did_counters(benchmark::State& state, std::size_t dids, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["per_did"] = benchmark::Counter(static_cast<double>(dids),
                                                 benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
  state.counters["file_bytes"] = static_cast<double>(bytes);
}

void BM_ParseWalletText(benchmark::State& state) {
  const auto dids = static_cast<std::size_t>(state.range(0));
  const GeneratedWallet& w = file_env().wallet(dids);
  for (auto _ : state) {
    double t0 = now_seconds();
    auto map = parse_wallet_text(w.text);
    state.SetIterationTime(now_seconds() - t0);  // releasing the map is not reading it
    if (!map.ok() || map->size() != 2 * dids) return state.SkipWithError("the wallet text did not parse");
  }
  per_did_counters(state, dids, w.text.size());
}
BENCHMARK(BM_ParseWalletText)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(10)->Arg(1000)->Arg(10000);

// The same through the file: open, read, parse (the file is in the page cache).
void BM_ReadWalletFile(benchmark::State& state) {
  FileEnv& env = file_env();
  if (!env.ok) return state.SkipWithError("no home directory");
  const auto dids = static_cast<std::size_t>(state.range(0));
  const GeneratedWallet& w = env.wallet(dids);
  const std::string name = cat({"qxdwallet_read", std::to_string(dids)});
  write_whole_file(env.home.wallet_file(name), w.text);
  for (auto _ : state) {
    double t0 = now_seconds();
    auto map = read_wallet_file(name);
    state.SetIterationTime(now_seconds() - t0);
    if (!map.ok() || map->size() != 2 * dids) return state.SkipWithError("the wallet file did not read");
  }
  per_did_counters(state, dids, w.text.size());
}
BENCHMARK(BM_ReadWalletFile)->Unit(benchmark::kMillisecond)->UseManualTime()->Arg(10)->Arg(1000)->Arg(10000);

void BM_SerializeWallet(benchmark::State& state) {
  const auto dids = static_cast<std::size_t>(state.range(0));
  const GeneratedWallet& w = file_env().wallet(dids);
  auto map = parse_wallet_text(w.text);
  if (!map.ok()) return state.SkipWithError("the wallet text did not parse");
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string out = serialize_wallet(*map);
    bytes = out.size();
    benchmark::DoNotOptimize(out);
  }
  // Member order follows the map, but the length must be that of the text read.
  if (bytes != w.text.size()) return state.SkipWithError("serialised length differs from the text read");
  per_did_counters(state, dids, bytes);
}
BENCHMARK(BM_SerializeWallet)->Unit(benchmark::kMillisecond)->Arg(10)->Arg(1000)->Arg(10000);

// The least a durable replacement costs: temporary file, write, fsync, rename, directory fsync.
bool bare_durable_write(const std::string& dir, const std::string& path, std::string_view bytes) {
  const std::string tmp = path + ".bare-tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(tmp.c_str(), path.c_str()) == 0;
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ok = dfd >= 0 && ::fsync(dfd) == 0 && ok;
  if (dfd >= 0) ::close(dfd);
  return ok;
}

// write_wallet_file (serialisation included) paired with the bare write of the same bytes; a
// serialisation alone after them shows what of the difference is the text and what the file
// handling.
void BM_RewriteVsBareWrite(benchmark::State& state) {
  FileEnv& env = file_env();
  if (!env.ok) return state.SkipWithError("no home directory");
  const auto dids = static_cast<std::size_t>(state.range(0));
  auto map = parse_wallet_text(env.wallet(dids).text);
  if (!map.ok()) return state.SkipWithError("the wallet text did not parse");
  const std::string bytes = serialize_wallet(*map);
  // As the storage holds its records from open on: each with its serialised text.
  for (auto& [key, record] : *map) cache_record_text(record);
  if (serialize_wallet(*map) != bytes) return state.SkipWithError("the cached texts write other bytes");
  const std::string name = cat({"qxdwallet_rewrite", std::to_string(dids)});
  const std::string bare_path = env.home.wallet_file(cat({"qxdwallet_bare", std::to_string(dids)}));
  AlternatingPair pair;
  double serialize_total = 0;
  for (auto _ : state) {
    if (!pair.run([&] { return bare_durable_write(env.home.wallet_dir(), bare_path, bytes); },
                  [&] { return write_wallet_file(*map, name).ok(); })) {
      return state.SkipWithError("a write failed");
    }
    state.SetIterationTime(pair.measured_s);
    const double t0 = now_seconds();
    benchmark::DoNotOptimize(serialize_wallet(*map));
    serialize_total += now_seconds() - t0;
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["bare_ms"] = pair.reference_total / n * 1e3;
  state.counters["serialize_ms"] = serialize_total / n * 1e3;
  state.counters["ratio"] = pair.ratio();
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_RewriteVsBareWrite)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace
}  // namespace velno::bench

BENCHMARK_MAIN();
