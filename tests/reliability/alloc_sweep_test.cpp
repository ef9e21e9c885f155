// Every export, with one allocation refused in turn (once, and every one from there on),
// with logging off and at TRACE: an envelope is answered, no secret is freed unwiped,
// the process goes on, every other export and agent answers, the home holds only the
// wallets, and a fresh process finds every acknowledged record while a refused write
// left nothing. alloc_sweep_host does the work for one export;
// VELNO_ALLOC_SWEEP_LIMIT bounds how many refusals each run tries (0: every one).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "support/test_support.hpp"

namespace velno::reliability {
namespace {

#ifdef VELNO_ALLOC_SWEEP_HOST

struct SweepRun {
  std::string export_name, log, mode;
};

// Every mode of each export, with logging off and at TRACE.
std::vector<SweepRun> runs_of(const std::vector<std::string>& exports, const std::vector<const char*>& logs,
                         const std::vector<const char*>& modes) {
  std::vector<SweepRun> runs;
  for (const auto& e : exports)
    for (const char* log : logs)
      for (const char* mode : modes) runs.push_back({e, log, mode});
  return runs;
}

// Runs the sweeps on up to eight threads; each failing run is one failure of the test.
void sweep(const std::vector<SweepRun>& runs) {
  const std::string limit = std::to_string(env_int("VELNO_ALLOC_SWEEP_LIMIT", 3));
  test::TempDir root;
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::vector<std::string> failures;
  auto worker = [&] {
    for (std::size_t i; (i = next++) < runs.size();) {
      const SweepRun& r = runs[i];
      const std::string dir = root.path() + "/run" + std::to_string(i);
      ChildResult result = run_child({VELNO_ALLOC_SWEEP_HOST, "sweep", dir, r.export_name, r.log, r.mode, limit});
      std::lock_guard<std::mutex> lock(mutex);
      // The summary line of each run, for the log of the gate.
      const auto at = result.output.rfind(r.export_name + " " + r.log);
      if (at != std::string::npos) std::printf("%s", result.output.substr(at).c_str());
      if (!result.exited || result.status != 0)
        failures.push_back(r.export_name + " " + r.log + " " + r.mode + ":\n" + result.output);
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < std::clamp(std::thread::hardware_concurrency(), 1u, 8u); ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  for (const auto& f : failures) ADD_FAILURE() << f;
}

TEST(AllocationSweep, EveryExportAnswersAndCommitsNothingWhenAnAllocationIsRefused) {
  sweep(runs_of({"set_velno_home_path", "init_logging", "explain_error_code", "create_agent", "create_did", "list_dids",
                 "get_default_did", "get_did_info", "sign", "sign_with_did", "verify_with_did_public_key",
                 "change_password", "wallet_store_data", "wallet_get_data"},
                {"off", "trace"}, {"once", "every"}));
}

// Random DIDs, which a host that retries a failure would multiply, and an opening of a
// wallet that exists, which must leave it as it was: also when its DID's description
// holds an array, an object or 120-deep nesting, whose copy must be released without
// aborting when memory runs out half-way.
TEST(AllocationSweep, RandomDidsAndOpeningsOfExistingWalletsAnswerAsTheyCommit) {
  sweep(runs_of({"create_agent_null", "create_did_null", "open_existing", "open_existing_array", "open_existing_object",
                 "open_existing_deep"},
                {"off", "trace"}, {"once", "every"}));
}

// The answer set aside for exhausted memory is there from a process's first call, and
// only a second call in a row that finds no memory may be answered NULL.
TEST(AllocationSweep, FirstCallsAndCallsInARowAnswerAnEnvelope) {
  std::vector<SweepRun> runs = runs_of({"set_velno_home_path", "explain_error_code", "init_logging"}, {"off"},
                                  {"first-once", "first-every"});
  for (SweepRun& r : runs_of({"explain_error_code", "list_dids", "sign_with_did", "wallet_get_data"}, {"off"},
                        {"twice-once", "twice-every"}))
    runs.push_back(std::move(r));
  sweep(runs);
}

#else

TEST(AllocationSweep, EveryExportAnswersAndCommitsNothingWhenAnAllocationIsRefused) {
  GTEST_SKIP() << "refusing allocations needs a Linux build without sanitizers";
}
TEST(AllocationSweep, RandomDidsAndOpeningsOfExistingWalletsAnswerAsTheyCommit) {
  GTEST_SKIP() << "refusing allocations needs a Linux build without sanitizers";
}
TEST(AllocationSweep, FirstCallsAndCallsInARowAnswerAnEnvelope) {
  GTEST_SKIP() << "refusing allocations needs a Linux build without sanitizers";
}

#endif

}  // namespace
}  // namespace velno::reliability
