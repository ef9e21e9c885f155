#include "agent/agent_registry.hpp"

#include <exception>
#include <span>

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

using Registration = DidResult<NativeSession>;

// Runs `step` while the caller holds registry locks. Whatever it throws is kept in
// `thrown` rather than unwinding through those holds, which would mark the locks
// failed: the steps change the maps only once nothing else can fail, so a failure
// leaves both maps as they were.
template <class F>
Registration contained(std::exception_ptr& thrown, F&& step) noexcept {
  try {
    return step();
  } catch (...) {
    thrown = std::current_exception();
    return NativeSession{0};  // never answered: the caller lets `thrown` out
  }
}

// Opens the agent and enters it in both maps, or changes neither.
Registration open_and_enter(AliasMap::WriteGuard& aliases, AgentMap::WriteGuard& agents, std::string& alias,
                            const std::optional<SecretBytes>& seed, PasswordProvider& password) {
  std::optional<std::span<const uint8_t>> seed_bytes;
  if (seed) seed_bytes = seed->span();
  VELNO_TRY_ASSIGN(Agent::Opened opened, Agent::open(alias, seed_bytes, password));

  // Room first, so that the insertions below cannot rehash; an insertion that fails
  // anyway takes the other one back.
  aliases->reserve(aliases->size() + 1);
  agents->reserve(agents->size() + 1);
  const uint64_t handle = HANDLE_COUNTER.load() + 1;
  auto entered = agents->emplace(handle, std::move(opened.agent)).first;
  try {
    aliases->emplace(std::move(alias), handle);
  } catch (...) {
    agents->erase(entered);
    throw;
  }
  // Only registrations change the counter, and they hold AGENT_MAP exclusively.
  HANDLE_COUNTER.store(handle);
  return NativeSession{handle};
}

Registration register_holding_maps(std::string& alias, const std::optional<SecretBytes>& seed,
                                   PasswordProvider& password, std::exception_ptr& thrown) {
  auto aliases = ALIAS_MAP().write();
  if (aliases.poisoned) return DidError::from_poison_error();
  if (auto known = aliases.guard->find(alias); known != aliases.guard->end()) return NativeSession{known->second};
  // Leaving releases AGENT_MAP first, then ALIAS_MAP. Each hold is taken inside its own
  // containment, so that nothing thrown unwinds through either write hold.
  return contained(thrown, [&]() -> Registration {
    auto agents = AGENT_MAP().write();
    if (agents.poisoned) return DidError::from_poison_error();
    return contained(thrown, [&] { return open_and_enter(aliases.guard, agents.guard, alias, seed, password); });
  });
}

}  // namespace

DidResult<NativeSession> register_agent(std::string alias, std::optional<SecretBytes> seed,
                                        PasswordProvider password) {
  std::exception_ptr thrown;
  Registration answer = register_holding_maps(alias, seed, password, thrown);
  // Let out only now that both holds have ended; the export answers it.
  if (thrown) std::rethrow_exception(thrown);
  return answer;
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
