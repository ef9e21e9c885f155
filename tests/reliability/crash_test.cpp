// A host that creates DIDs, stores data and changes its password in a loop is killed
// with SIGKILL at pseudo-random moments; after each kill a fresh process checks that
// the wallet parses, that every DID and datum the host was told about is there and
// usable, and that every encrypted record opens under one of the host's passwords.
//
// VELNO_CRASH_KILLS (default 200) and VELNO_CRASH_LANES (default: cores, at most 8)
// scale the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "support/test_support.hpp"
#include "wallet_inspect.hpp"

namespace velno::reliability {
namespace {

constexpr int kKillsPerWallet = 4;

struct Totals {
  std::mutex mutex;
  int kills = 0;
  int checks_passed = 0;
  long lost = 0;
  long unreadable = 0;
  long records = 0;
  long stray = 0;
  long remaining = 0;
  std::vector<std::string> failures;

  void fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    failures.push_back(what);
  }
};

// One lane: its own wallets, its own fixed random sequence.
void run_lane(int lane, int kills, const std::string& root, Totals& totals) {
  std::mt19937_64 rng(0x5eed0000u + static_cast<unsigned>(lane));
  std::string home, journal;
  int password = 0;
  const std::string seed = "reliability-crash-seed-for-lane-" + std::to_string(lane);
  for (int i = 0; i < kills; ++i) {
    if (i % kKillsPerWallet == 0) {
      const std::string base = root + "/lane" + std::to_string(lane) + "-wallet" + std::to_string(i);
      home = base + "-home";
      journal = base + ".journal";
      password = 0;
    }
    // Mostly anywhere in the first few operations; now and then right at the start.
    const auto delay = std::chrono::milliseconds(rng() % 5 == 0 ? rng() % 30 : 50 + rng() % 900);
    ChildResult run = run_child({VELNO_RELIABILITY_HOST, "run", home, journal, "crash", seed,
                                 std::to_string(password), std::to_string(rng())},
                                {}, delay);
    if (run.exited) {
      totals.fail("lane " + std::to_string(lane) + " kill " + std::to_string(i) + ": the host ended by itself: " +
                  run.output);
      return;
    }
    ChildResult check = run_child({VELNO_RELIABILITY_HOST, "check", home, journal, "crash", seed});
    std::istringstream summary(check.output.substr(std::min(check.output.size(), check.output.rfind("password "))));
    std::string word;
    long dids = 0, data = 0, records = 0, lost = 0, unreadable = 0, stray = 0, remaining = 0;
    summary >> word >> password >> word >> dids >> word >> data >> word >> records >> word >> lost >> word >>
        unreadable >> word >> stray >> word >> remaining;
    {
      std::lock_guard<std::mutex> lock(totals.mutex);
      ++totals.kills;
      totals.lost += lost;
      totals.unreadable += unreadable;
      totals.records += records;
      // The check's opening removes what the kill left: each file is counted once.
      totals.stray += stray;
      totals.remaining += remaining;
      if (check.exited && check.status == 0) ++totals.checks_passed;
    }
    if (!check.exited || check.status != 0) {
      totals.fail("lane " + std::to_string(lane) + " kill " + std::to_string(i) + " (" + home + "): " + check.output);
      return;
    }
  }
}

TEST(ReliabilityCrash, AcknowledgedCallsSurviveSigkillAtRandomMoments) {
  const int kills = env_int("VELNO_CRASH_KILLS", 200);
  const int lanes = std::clamp(env_int("VELNO_CRASH_LANES", static_cast<int>(std::thread::hardware_concurrency())), 1, 8);
  test::TempDir root;
  Totals totals;
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int lane = 0; lane < lanes; ++lane)
    threads.emplace_back(run_lane, lane, kills / lanes + (lane < kills % lanes ? 1 : 0), root.path(), std::ref(totals));
  for (auto& t : threads) t.join();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf("crash: %d kills survived of %d, %d checks passed, %ld encrypted records checked, %ld records lost, "
              "%ld unreadable, %ld temporary files left by kills, %ld left after the next opening, %d lanes, %.1f s\n",
              totals.kills, kills, totals.checks_passed, totals.records, totals.lost, totals.unreadable, totals.stray,
              totals.remaining, lanes, seconds);
  for (const auto& f : totals.failures) ADD_FAILURE() << f;
  EXPECT_EQ(totals.kills, kills);
  EXPECT_EQ(totals.lost, 0);
  EXPECT_EQ(totals.unreadable, 0);
  EXPECT_EQ(totals.remaining, 0);
}

// The check is only worth its passes if it fails on a damaged wallet.
TEST(ReliabilityCrash, CheckFailsOnADamagedWallet) {
  test::TempDir root;
  const std::string home = root.path() + "/home", journal = root.path() + "/journal";
  const std::string seed = "reliability-crash-seed-for-the-check";
  ChildResult prep = run_child({VELNO_RELIABILITY_HOST, "prepare", home, journal, "crash", seed});
  ASSERT_TRUE(prep.exited && prep.status == 0) << prep.output;
  const std::string wallet = wallet_file(home, "crash");
  const std::string intact = test::read_file(wallet);

  struct Damage {
    const char* name;
    std::string (*apply)(const std::string& text);
  };
  const Damage damages[] = {
      {"nothing", [](const std::string& t) { return t; }},
      {"a datum's record removed",
       [](const std::string& t) {
         auto j = nlohmann::json::parse(t);
         for (auto it = j.begin(); it != j.end(); ++it)
           if (it.key().rfind("k0::", 0) == 0) {
             j.erase(it);
             break;
           }
         return j.dump();
       }},
      {"the file cut short", [](const std::string& t) { return t.substr(0, t.size() / 2); }},
      {"a key pair's data changed",
       [](const std::string& t) {
         auto j = nlohmann::json::parse(t);
         for (auto& rec : j)
           if (rec["type"] == "KeyPair") {
             std::string data = rec["data"];
             data[data.size() / 2] = data[data.size() / 2] == 'A' ? 'B' : 'A';
             rec["data"] = data;
           }
         return j.dump();
       }},
  };
  for (const auto& damage : damages) {
    test::write_file(wallet, damage.apply(intact));
    ChildResult check = run_child({VELNO_RELIABILITY_HOST, "check", home, journal, "crash", seed});
    const bool passed = check.exited && check.status == 0;
    EXPECT_EQ(passed, std::string(damage.name) == "nothing") << damage.name << ":\n" << check.output;
  }
}

}  // namespace
}  // namespace velno::reliability
