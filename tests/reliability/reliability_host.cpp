// A host program for the crash and fault tests. It drives the library through its C
// interface only and writes every call that answered OK to a journal (each line flushed
// to the device before the next call), or checks a wallet against such a journal.
//
//   reliability_host run     HOME JOURNAL ALIAS SEED PASSWORD RNG  calls in a loop until killed
//   reliability_host prepare HOME JOURNAL ALIAS SEED                an agent and one datum
//   reliability_host fault   HOME JOURNAL ALIAS SEED                each writing call once, again after a failure
//   reliability_host check   HOME JOURNAL ALIAS SEED                a fresh look at the wallet, which
//                                                                  it opens whenever the file parses
//
// Journal lines: "start <n>" (password n is current), "did <id> <publicKey>",
// "store-begin <key> <value>", "stored <key> <value>", "unstored <key>",
// "changing <n>", "changed <n>".
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/base64.hpp"
#include "host_answer.hpp"
#include "velno_core.h"
#include "wallet_inspect.hpp"

namespace {

using velno::reliability::Answer;
using velno::reliability::take;

std::string g_password;
std::string g_new_password;
const char* current_password() { return g_password.c_str(); }
const char* new_password() { return g_new_password.c_str(); }
std::string password_of(int n) { return "velno-crash-password-" + std::to_string(n); }

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "reliability_host: %s\n", what.c_str());
  std::exit(3);
}

// Appends lines and flushes each to the device, so that a line survives any kill
// that comes after it.
class Journal {
 public:
  explicit Journal(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {
    if (fd_ < 0) die("cannot open the journal " + path);
  }
  ~Journal() { ::close(fd_); }
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  void line(const std::string& text) {
    std::string l = text + "\n";
    if (::write(fd_, l.data(), l.size()) != static_cast<ssize_t>(l.size()) || ::fsync(fd_) != 0)
      die("cannot write the journal");
  }

 private:
  int fd_;
};

uint64_t open_agent(const std::string& home, const std::string& alias, const std::string& seed) {
  take(set_velno_home_path(home.c_str()));
  Answer a = take(create_agent(alias.c_str(), seed.c_str(), current_password));
  if (!a.ok()) die("create_agent answered " + a.text);
  return a.value.at("handle").get<uint64_t>();
}

std::string did_line(const Answer& a) {
  return "did " + a.value.at("id").get<std::string>() + " " + a.value.at("publicKey").get<std::string>();
}

std::string random_base64(std::mt19937_64& rng) {
  std::vector<uint8_t> bytes(1 + rng() % 48);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return velno::base64_encode(bytes);
}

// ---- run: create DIDs, store data and change the password until killed ----------------

int run(const std::vector<std::string>& args) {
  const std::string &home = args[0], &alias = args[2], &seed = args[3];
  Journal journal(args[1]);
  int password = std::stoi(args[4]);
  std::mt19937_64 rng(std::stoull(args[5]));
  journal.line("start " + std::to_string(password));
  g_password = password_of(password);
  uint64_t handle = open_agent(home, alias, seed);
  Answer own = take(create_did(handle, seed.c_str()));
  if (!own.ok()) die("create_did with the agent's seed answered " + own.text);
  journal.line(did_line(own));

  for (;;) {
    unsigned choice = rng() % 10;
    if (choice < 4) {
      Answer a = take(create_did(handle, nullptr));
      if (!a.ok()) die("create_did answered " + a.text);
      journal.line(did_line(a));
    } else if (choice < 9) {
      std::string key = "k" + std::to_string(rng() % 4);
      std::string value = random_base64(rng);
      journal.line("store-begin " + key + " " + value);
      Answer a = take(wallet_store_data(handle, key.c_str(), value.c_str()));
      if (!a.ok()) die("wallet_store_data answered " + a.text);
      journal.line("stored " + key + " " + value);
    } else {
      journal.line("changing " + std::to_string(password + 1));
      g_new_password = password_of(password + 1);
      Answer a = take(change_password(handle, new_password));
      if (!a.ok()) die("change_password answered " + a.text);
      g_password = g_new_password;
      journal.line("changed " + std::to_string(++password));
    }
  }
}

// ---- prepare and fault: every writing call once, under an injected fault --------------

int prepare(const std::vector<std::string>& args) {
  Journal journal(args[1]);
  journal.line("start 0");
  g_password = password_of(0);
  uint64_t handle = open_agent(args[0], args[2], args[3]);
  Answer own = take(create_did(handle, args[3].c_str()));
  if (!own.ok()) die("create_did answered " + own.text);
  journal.line(did_line(own));
  journal.line("store-begin k0 AAECAwQ=");
  if (!take(wallet_store_data(handle, "k0", "AAECAwQ=")).ok()) die("wallet_store_data failed");
  journal.line("stored k0 AAECAwQ=");
  return 0;
}

class FaultRun {
 public:
  FaultRun(std::string home, std::string alias) : home_(std::move(home)), alias_(std::move(alias)) {
    pause_ = reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "velno_fault_pause"));
  }

  // Makes the call; after a failure checks the files and makes it once more, which must
  // succeed since the fault strikes only once.
  Answer call(const char* name, const std::function<char*()>& fn) {
    const std::string before = wallet_text();
    Answer a = take(fn());
    std::printf("call %s %s\n", name, a.code.c_str());
    if (a.ok()) return a;
    inspect_after_failure(name, before);
    a = take(fn());
    std::printf("retry %s %s\n", name, a.code.c_str());
    if (!a.ok()) fail(std::string(name) + " still fails once the fault has passed: " + a.text);
    return a;
  }

  void fail(const std::string& what) {
    failed_ = true;
    std::fprintf(stderr, "reliability_host: %s\n", what.c_str());
  }
  bool failed() const { return failed_; }

 private:
  // Reads the files without counting towards the fault.
  template <class F>
  auto unwatched(F f) {
    if (pause_) pause_(1);
    auto r = f();
    if (pause_) pause_(0);
    return r;
  }

  std::string wallet_text() {
    return unwatched([&] {
      std::ifstream in(velno::reliability::wallet_file(home_, alias_), std::ios::binary);
      std::ostringstream ss;
      ss << in.rdbuf();
      return in ? ss.str() : std::string("<missing>");
    });
  }

  void inspect_after_failure(const char* name, const std::string& before) {
    const std::string after = wallet_text();
    if (after != before) {
      // Only a fault after the new file was in place may leave it changed, and then it
      // must be a whole wallet that lost nothing.
      std::printf("changed-after-failure %s\n", name);
      auto old_wallet = nlohmann::json::parse(before, nullptr, false);
      auto new_wallet = unwatched([&] { return velno::reliability::read_wallet(velno::reliability::wallet_file(home_, alias_)); });
      if (!new_wallet) {
        fail(std::string("the wallet no longer parses after the failed ") + name);
      } else if (old_wallet.is_object()) {
        for (const auto& item : old_wallet.items())
          if (!new_wallet->contains(item.key())) fail(std::string("record ") + item.key() + " lost by the failed " + name);
      }
    }
    auto stray = unwatched([&] { return velno::reliability::stray_files(home_, alias_); });
    for (const auto& f : stray) fail(std::string("the failed ") + name + " left " + f);
  }

  std::string home_, alias_;
  void (*pause_)(int) = nullptr;
  bool failed_ = false;
};

int fault(const std::vector<std::string>& args) {
  const std::string &home = args[0], &alias = args[2], &seed = args[3];
  Journal journal(args[1]);
  journal.line("start 0");
  g_password = password_of(0);
  FaultRun host(home, alias);
  take(set_velno_home_path(home.c_str()));

  Answer agent = host.call("create_agent", [&] { return create_agent(alias.c_str(), seed.c_str(), current_password); });
  if (!agent.ok()) return 1;
  uint64_t handle = agent.value.at("handle").get<uint64_t>();
  Answer own = host.call("create_did_seed", [&] { return create_did(handle, seed.c_str()); });
  if (!own.ok()) return 1;
  journal.line(did_line(own));

  Answer did = host.call("create_did", [&] { return create_did(handle, nullptr); });
  if (did.ok()) journal.line(did_line(did));

  journal.line("store-begin k1 BQYHCAk=");
  if (host.call("wallet_store_data", [&] { return wallet_store_data(handle, "k1", "BQYHCAk="); }).ok())
    journal.line("stored k1 BQYHCAk=");

  journal.line("changing 1");
  g_new_password = password_of(1);
  if (host.call("change_password", [&] { return change_password(handle, new_password); }).ok()) {
    g_password = g_new_password;
    journal.line("changed 1");
  }

  const std::string did_id = own.value.at("id").get<std::string>();
  const std::string public_key = own.value.at("publicKey").get<std::string>();
  Answer sig = host.call("sign_with_did", [&] { return sign_with_did(handle, did_id.c_str(), "AAECAw=="); });
  if (sig.ok()) {
    const std::string s = sig.value.get<std::string>();
    Answer v = take(verify_with_did_public_key(handle, public_key.c_str(), "AAECAw==", s.c_str()));
    if (!v.ok() || v.value != true) host.fail("the signature does not verify: " + v.text);
  }
  Answer data = host.call("wallet_get_data", [&] { return wallet_get_data(handle, "k1"); });
  if (data.ok() && data.value != nlohmann::json{{"Ok", "BQYHCAk="}}) host.fail("k1 fetched as " + data.text);
  return host.failed() ? 1 : 0;
}

// ---- check: a fresh process looks at the wallet that the journal describes ------------

struct Expected {
  int password = 0;
  std::optional<int> pending_password;          // a change whose outcome the host never saw
  std::map<std::string, std::string> dids;      // id -> publicKey
  std::map<std::string, std::string> data;      // key -> value last stored
  std::map<std::string, std::string> pending;   // key -> value of a store whose outcome the host never saw
};

Expected read_journal(const std::string& path) {
  Expected e;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ss(line);
    std::string word, a, b;
    ss >> word >> a >> b;
    if (word == "start") {
      e.password = std::stoi(a);
      e.pending_password.reset();
    } else if (word == "did") {
      e.dids[a] = b;
    } else if (word == "store-begin") {
      e.pending[a] = b;
    } else if (word == "stored") {
      e.data[a] = b;
      e.pending.erase(a);
    } else if (word == "unstored") {
      e.data.erase(a);
      e.pending.erase(a);
    } else if (word == "changing") {
      e.pending_password = std::stoi(a);
    } else if (word == "changed") {
      e.password = std::stoi(a);
      e.pending_password.reset();
    }
  }
  return e;
}

int check(const std::vector<std::string>& args) {
  const std::string &home = args[0], &alias = args[2], &seed = args[3];
  Expected e = read_journal(args[1]);
  std::size_t lost = 0, unreadable = 0, records = 0, under_old = 0, under_new = 0;
  bool broken = false;
  auto complain = [&](const std::string& what) {
    broken = true;
    std::fprintf(stderr, "check: %s\n", what.c_str());
  };

  const std::string path = velno::reliability::wallet_file(home, alias);
  auto wallet = velno::reliability::read_wallet(path);
  const bool expects_something = !e.dids.empty() || !e.data.empty();
  if (!wallet) {
    if (access(path.c_str(), F_OK) == 0 || expects_something) {
      complain("the wallet file is missing or does not parse");
      lost = e.dids.size() + e.data.size();
    }
  } else {
    // Every encrypted record must open under exactly one of the passwords the host knows,
    // and all under the same one, or no single password callback could read the wallet.
    for (const auto& item : wallet->items()) {
      const auto& rec = item.value();
      if (!rec.is_object() || !rec.contains("type") || !rec["type"].is_string()) {
        complain("malformed record " + item.key());
        continue;
      }
      if (!velno::reliability::is_encrypted_type(rec["type"].get<std::string>())) continue;
      ++records;
      bool old_opens = velno::reliability::open_record(rec, password_of(e.password)).has_value();
      bool new_opens = e.pending_password &&
                       velno::reliability::open_record(rec, password_of(*e.pending_password)).has_value();
      if (old_opens && new_opens) complain("record " + item.key() + " opens under both passwords");
      if (!old_opens && !new_opens) {
        ++unreadable;
        complain("record " + item.key() + " opens under neither password");
      }
      under_old += old_opens;
      under_new += new_opens;
    }
    if (under_old > 0 && under_new > 0) complain("the records are under two different passwords");
  }
  const int password = under_new > 0 ? *e.pending_password : e.password;
  // Temporary files of killed writers, which the opening below must remove.
  const std::size_t left_by_kills = velno::reliability::stray_files(home, alias).size();

  if (wallet) {
    Journal journal(args[1]);
    g_password = password_of(password);
    take(set_velno_home_path(home.c_str()));
    Answer agent = take(create_agent(alias.c_str(), seed.c_str(), current_password));
    if (!agent.ok()) {
      complain("create_agent answered " + agent.text);
      lost = e.dids.size() + e.data.size();
    } else {
      uint64_t handle = agent.value.at("handle").get<uint64_t>();
      for (const auto& [id, public_key] : e.dids) {
        Answer info = take(get_did_info(handle, id.c_str()));
        Answer sig = take(sign_with_did(handle, id.c_str(), "AAECAw=="));
        Answer verified = sig.ok() && sig.value.is_string()
                              ? take(verify_with_did_public_key(handle, public_key.c_str(), "AAECAw==",
                                                                sig.value.get<std::string>().c_str()))
                              : Answer{};
        if (!info.ok() || info.value.value("publicKey", "") != public_key || !verified.ok() ||
            verified.value != true) {
          ++lost;
          complain("DID " + id + ": " + info.text + " / " + sig.text + " / " + verified.text);
        }
      }
      std::set<std::string> keys;
      for (const auto& [k, v] : e.data) keys.insert(k);
      for (const auto& [k, v] : e.pending) keys.insert(k);
      for (const auto& key : keys) {
        Answer got = take(wallet_get_data(handle, key.c_str()));
        std::optional<std::string> value;
        if (got.ok() && got.value.is_object() && got.value.contains("Ok") && got.value["Ok"].is_string())
          value = got.value["Ok"].get<std::string>();
        auto expected = e.data.find(key);
        auto in_flight = e.pending.find(key);
        bool matches = value && ((expected != e.data.end() && *value == expected->second) ||
                                 (in_flight != e.pending.end() && *value == in_flight->second));
        bool absent_allowed = !value && expected == e.data.end();
        if (!matches && !absent_allowed) {
          ++lost;
          complain("datum " + key + ": " + got.text);
        } else if (in_flight != e.pending.end()) {
          // Later checks expect what this one found.
          journal.line(value ? "stored " + key + " " + *value : "unstored " + key);
        }
      }
    }
  }

  std::printf("password %d dids %zu data %zu records %zu lost %zu unreadable %zu stray %zu remaining %zu\n", password,
              e.dids.size(), e.data.size(), records, lost, unreadable, left_by_kills,
              velno::reliability::stray_files(home, alias).size());
  return broken ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 1 ? 2 : argc), argv + argc);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "run" && args.size() == 6) return run(args);
  if (mode == "prepare" && args.size() == 4) return prepare(args);
  if (mode == "fault" && args.size() == 4) return fault(args);
  if (mode == "check" && args.size() == 4) return check(args);
  std::fprintf(stderr, "usage: reliability_host run|prepare|fault|check HOME JOURNAL ALIAS SEED [PASSWORD RNG]\n");
  return 2;
}
