#include "agent/agent_registry.hpp"

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

DidResult<NativeSession> register_agent(std::string alias, std::optional<SecretBytes> seed,
                                        PasswordProvider password) {
  auto [aliases, aliases_poisoned] = ALIAS_MAP().write();
  if (aliases_poisoned) return DidError::from_poison_error();
  if (auto known = aliases->find(alias); known != aliases->end()) return NativeSession{known->second};

  auto [agents, agents_poisoned] = AGENT_MAP().write();
  if (agents_poisoned) return DidError::from_poison_error();

  std::optional<std::span<const uint8_t>> seed_bytes;
  if (seed) seed_bytes = seed->span();
  VELNO_TRY_ASSIGN(Agent::Opened opened, Agent::open(alias, seed_bytes, password));

  uint64_t handle = HANDLE_COUNTER.fetch_add(1) + 1;
  agents->emplace(handle, std::move(opened.agent));
  aliases->emplace(std::move(alias), handle);
  // Leaving releases AGENT_MAP first, then ALIAS_MAP.
  return NativeSession{handle};
}

namespace test_hooks {
void poison_alias_map() { ALIAS_MAP().poison(); }
void poison_agent_map() { AGENT_MAP().poison(); }
}  // namespace test_hooks

}  // namespace velno
