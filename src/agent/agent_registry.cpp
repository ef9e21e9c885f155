#include "agent/agent_registry.hpp"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <span>
#include <string_view>
#include <thread>

namespace velno {

std::atomic<uint64_t> HANDLE_COUNTER{100004};

AgentMap& AGENT_MAP() {
  static AgentMap* map = new AgentMap();
  return *map;
}

AliasMap& ALIAS_MAP() {
  static AliasMap* map = new AliasMap();
  return *map;
}

std::string payload_json(const NativeSession& session) {
  return "{\"handle\":" + std::to_string(session.handle) + "}";
}

namespace {

using AgentEntries = std::unordered_map<uint64_t, std::unique_ptr<Agent>>;
using AliasEntries = std::unordered_map<std::string, uint64_t>;

// The success answer, {"code":"OK","value":{"handle":<n>}}, as payload_json writes it.
constexpr std::string_view kAnswerHead = R"({"code":"OK","value":{"handle":)";
constexpr std::string_view kAnswerTail = "}}";
constexpr std::size_t kAnswerCapacity =
    kAnswerHead.size() + std::numeric_limits<uint64_t>::digits10 + 1 + kAnswerTail.size() + 1;

struct FreeText {
  void operator()(char* text) const noexcept { std::free(text); }
};
using HostText = std::unique_ptr<char, FreeText>;

// Fills a buffer of kAnswerCapacity bytes; allocates nothing.
void write_handle_answer(char* out, uint64_t handle) noexcept {
  char* end = std::copy(kAnswerHead.begin(), kAnswerHead.end(), out);
  end = std::to_chars(end, out + kAnswerCapacity, handle).ptr;
  end = std::copy(kAnswerTail.begin(), kAnswerTail.end(), end);
  *end = '\0';
}

// The aliases whose wallets are being opened, and by which thread, so that an alias
// becomes one agent although no registry hold is kept while its wallet opens; and the
// alias each of those threads waits for, so that a wait that could never end is
// answered instead.
struct Openings {
  std::mutex mutex;
  std::condition_variable ended;
  std::unordered_map<std::string, std::thread::id> owners;
  std::unordered_map<std::thread::id, const std::string*> waiting;
};

Openings& OPENINGS() {
  static Openings* openings = new Openings();
  return *openings;
}

// Whether the opening that `owner` runs waits, through the openings that others run,
// for one that thread `me` runs. Under the openings' mutex. Every wait is checked when
// it begins, so the chain holds no cycle that leaves `me` out; the bound is only a
// guard.
bool waits_for(const Openings& openings, std::thread::id owner, std::thread::id me) {
  for (std::size_t hops = 0; hops <= openings.waiting.size(); ++hops) {
    if (owner == me) return true;
    auto waits = openings.waiting.find(owner);
    if (waits == openings.waiting.end()) return false;
    auto next = openings.owners.find(*waits->second);
    if (next == openings.owners.end()) return false;
    owner = next->second;
  }
  return false;
}

// Holds an alias's opening: waits while another thread opens the same alias, and lets
// the next one in when it ends. A create_agent from a callback of an opening on the
// same thread (which the host must not make) would wait for itself: it is answered
// at once instead, as is one whose wait would close a ring of such callbacks across
// threads, and the outer openings go on.
class OpeningClaim {
 public:
  explicit OpeningClaim(std::string alias) : alias_(std::move(alias)) {}
  OpeningClaim(const OpeningClaim&) = delete;
  OpeningClaim& operator=(const OpeningClaim&) = delete;

  DidResult<void> take() {
    Openings& openings = OPENINGS();
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> hold(openings.mutex);
    for (auto owner = openings.owners.find(alias_); owner != openings.owners.end();
         owner = openings.owners.find(alias_)) {
      if (owner->second == me)
        return DidError::with_static_message(DidErrorKind::InvalidState,
                                             "An opening of this alias is already running on this thread");
      if (waits_for(openings, owner->second, me))
        return DidError::with_static_message(DidErrorKind::InvalidState,
                                             "An opening of this alias waits for an opening running on this thread");
      openings.waiting.insert_or_assign(me, &alias_);
      openings.ended.wait(hold);
      openings.waiting.erase(me);
    }
    openings.owners.emplace(alias_, me);
    held_ = true;
    return {};
  }

  ~OpeningClaim() {
    if (!held_) return;
    Openings& openings = OPENINGS();
    {
      std::lock_guard<std::mutex> hold(openings.mutex);
      openings.owners.erase(alias_);
    }
    openings.ended.notify_all();
  }

 private:
  std::string alias_;
  bool held_ = false;
};

// The handle of a registered alias, or none.
DidResult<std::optional<uint64_t>> known_handle(const std::string& alias) {
  auto [aliases, poisoned] = ALIAS_MAP().read();
  if (poisoned) return DidError::from_poison_error();
  auto known = aliases->find(alias);
  if (known == aliases->end()) return std::optional<uint64_t>();
  return std::optional<uint64_t>(known->second);
}

// A map entry made in advance, so that entering it allocates nothing.
template <class Map>
typename Map::node_type make_entry(typename Map::key_type key, typename Map::mapped_type value) {
  Map scratch;
  scratch.emplace(std::move(key), std::move(value));
  return scratch.extract(scratch.begin());
}

enum class Entry { Entered, Poisoned, Thrown };

// Enters both entries under both exclusive holds and writes the answer of the new
// handle. Only the room that `reserve` makes can fail; what it throws is kept in
// `thrown` under the holds, so that neither is marked failed, and both maps stay as
// they were. Leaving releases AGENT_MAP first, then ALIAS_MAP.
Entry enter(AgentEntries::node_type& agent, AliasEntries::node_type& alias, char* answer,
            std::exception_ptr& thrown) {
  auto aliases = ALIAS_MAP().write();
  if (aliases.poisoned) return Entry::Poisoned;
  try {
    auto agents = AGENT_MAP().write();
    if (agents.poisoned) return Entry::Poisoned;
    try {
      aliases.guard->reserve(aliases.guard->size() + 1);
      agents.guard->reserve(agents.guard->size() + 1);
    } catch (...) {
      thrown = std::current_exception();
      return Entry::Thrown;
    }
    // Only entries change the counter, and they hold AGENT_MAP exclusively.
    const uint64_t handle = HANDLE_COUNTER.load() + 1;
    agent.key() = handle;
    alias.mapped() = handle;
    write_handle_answer(answer, handle);
    // With the room reserved, inserting a made entry neither allocates nor rehashes.
    agents.guard->insert(std::move(agent));
    aliases.guard->insert(std::move(alias));
    HANDLE_COUNTER.store(handle);
    return Entry::Entered;
  } catch (...) {
    thrown = std::current_exception();
    return Entry::Thrown;
  }
}

// Opens the agent of a new alias and enters it; `entered` gets the answer of the new
// handle. A failure changes neither map.
DidResult<std::optional<uint64_t>> open_and_enter(std::string alias, const std::optional<SecretBytes>& seed,
                                                  PasswordProvider& password, HostText& entered) {
  OpeningClaim claim(alias);
  VELNO_TRY(claim.take());
  // Another registration may have entered the alias while this one waited for it.
  VELNO_TRY_ASSIGN(std::optional<uint64_t> known, known_handle(alias));
  if (known) return known;
  if (AGENT_MAP().is_poisoned()) return DidError::from_poison_error();

  // Everything an entry needs is made before the opening, the answer included, so
  // that an opening that writes a DID fails after it only when a map is found marked
  // failed or has no room.
  HostText answer(static_cast<char*>(std::malloc(kAnswerCapacity)));
  if (!answer) throw std::bad_alloc();
  auto agent_entry = make_entry<AgentEntries>(0, nullptr);
  auto alias_entry = make_entry<AliasEntries>(alias, 0);

  std::optional<std::span<const uint8_t>> seed_bytes;
  if (seed) seed_bytes = seed->span();
  VELNO_TRY_ASSIGN(std::unique_ptr<Agent> agent, Agent::open(std::move(alias), seed_bytes, password));
  agent_entry.mapped() = std::move(agent);

  std::exception_ptr thrown;
  switch (enter(agent_entry, alias_entry, answer.get(), thrown)) {
    case Entry::Entered:
      entered = std::move(answer);
      return std::optional<uint64_t>();
    case Entry::Poisoned:
      return DidError::from_poison_error();
    case Entry::Thrown:
      break;
  }
  // Let out only now that both holds have ended; the export answers it.
  std::rethrow_exception(thrown);
}

}  // namespace

char* register_agent(std::string alias, std::optional<SecretBytes> seed, PasswordProvider password) {
  auto known = known_handle(alias);
  if (known.ok() && !*known) {
    HostText entered;
    known = open_and_enter(std::move(alias), seed, password, entered);
    if (entered) return entered.release();
  }
  if (!known.ok()) return result_to_host_json(DidResult<void>(std::move(known).error()));
  return result_to_host_json(DidResult<NativeSession>(NativeSession{**known}));
}

char* fetched_data_answer(DidResult<DidResult<std::string>>& outcome) {
  std::string envelope;
  struct WipeOnExit {
    std::string* plaintext;
    std::string& envelope;
    ~WipeOnExit() {
      if (plaintext) wipe_string(*plaintext);
      wipe_string(envelope);
    }
  } wipe{outcome.ok() && outcome.value().ok() ? &outcome.value().value() : nullptr, envelope};
  envelope = fetched_data_envelope(outcome);
  return envelope_to_host(envelope);
}

namespace test_hooks {
void poison_alias_map() { ALIAS_MAP().poison(); }
void poison_agent_map() { AGENT_MAP().poison(); }
}  // namespace test_hooks

}  // namespace velno
