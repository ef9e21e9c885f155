// Every export, with one allocation refused in turn (once, and every one from there on),
// with logging off and at TRACE: an envelope is answered, the process goes on, every
// other export and agent answers, and a fresh process finds every acknowledged record
// while a refused write left nothing. alloc_sweep_host does the work for one export;
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

TEST(AllocationSweep, EveryExportAnswersAndCommitsNothingWhenAnAllocationIsRefused) {
  const std::vector<std::string> exports = {
      "set_velno_home_path", "init_logging",    "explain_error_code", "create_agent",  "create_did",
      "list_dids",           "get_default_did", "get_did_info",       "sign",          "sign_with_did",
      "verify_with_did_public_key", "change_password", "wallet_store_data", "wallet_get_data"};
  struct Run {
    std::string export_name, log, mode;
  };
  std::vector<Run> runs;
  for (const auto& e : exports)
    for (const char* log : {"off", "trace"})
      for (const char* mode : {"once", "every"}) runs.push_back({e, log, mode});

  const std::string limit = std::to_string(env_int("VELNO_ALLOC_SWEEP_LIMIT", 3));
  test::TempDir root;
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::vector<std::string> failures;
  auto worker = [&] {
    for (std::size_t i; (i = next++) < runs.size();) {
      const Run& r = runs[i];
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

#else

TEST(AllocationSweep, EveryExportAnswersAndCommitsNothingWhenAnAllocationIsRefused) {
  GTEST_SKIP() << "refusing allocations needs a Linux build without sanitizers";
}

#endif

}  // namespace
}  // namespace velno::reliability
