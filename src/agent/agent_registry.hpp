// The process-wide registry of open agents and the runners through which every agent
// call finds its agent.
//
// Lock order: ALIAS_MAP, then AGENT_MAP. Only register_agent takes either for writing,
// and only to enter an agent it has opened; agent calls hold AGENT_MAP shared only to
// find their agent. No host callback runs under either.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "agent/password_provider.hpp"
#include "agent/velno_agent.hpp"
#include "common/did_error.hpp"
#include "common/envelope.hpp"
#include "common/poison_lock.hpp"
#include "common/secret.hpp"

namespace velno {

// Writers first: every hold is short and none is taken twice by one thread, so an
// entering registration waits only for the lookups already in progress, never for a
// stream of new ones.
using AgentMap = PoisonRwLock<std::unordered_map<uint64_t, std::unique_ptr<Agent>>, RwPreference::Writers>;
using AliasMap = PoisonRwLock<std::unordered_map<std::string, uint64_t>, RwPreference::Writers>;

// Created on first use and never destroyed, so that no agent is torn down while a
// host thread may still be inside the library at exit.
AgentMap& AGENT_MAP();
AliasMap& ALIAS_MAP();
// The last handle given out; the first handle of a process is 100005.
extern std::atomic<uint64_t> HANDLE_COUNTER;

// The answer of create_agent: {"handle":<n>}.
struct NativeSession {
  uint64_t handle;
};
std::string payload_json(const NativeSession& session);

// A one-shot piece of work on an agent, owning what its export captured.
template <class T>
class AgentTask {
 public:
  template <class F>
  explicit AgentTask(F work) : impl_(std::make_unique<Impl<F>>(std::move(work))) {}

  // Runs the work once; the captures are released when the run ends.
  DidResult<T> run(const Agent& agent) && {
    std::unique_ptr<Base> impl = std::move(impl_);
    return impl->run(agent);
  }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual DidResult<T> run(const Agent& agent) = 0;
  };
  template <class F>
  struct Impl final : Base {
    explicit Impl(F f) : work(std::move(f)) {}
    DidResult<T> run(const Agent& agent) override { return std::move(work)(agent); }
    F work;
  };
  std::unique_ptr<Base> impl_;
};

// Opens the alias's agent once per process and answers the envelope of its handle; a
// known alias answers its handle without using the seed or the password. The wallet is
// opened, and its DID written, under no registry hold; a second registration of an
// alias being opened waits for the first and answers its handle (or, when the first
// failed, opens it itself); one from a callback of that opening, on its own thread,
// answers InvalidState at once instead of waiting for itself. A failure answer leaves
// the alias unregistered.
char* register_agent(std::string alias, std::optional<SecretBytes> seed, PasswordProvider password);

// The answer of wallet_get_data. Fetched data is a decrypted plaintext: the text and
// the envelope built from it are wiped, also when building the answer fails.
char* fetched_data_answer(DidResult<DidResult<std::string>>& outcome);

inline constexpr const char* kAgentMapLocked = "Agent map cannot be locked.";
inline constexpr const char* kAgentNotFound = "Agent with handle not found.";

// Finds the agent of `handle` under AGENT_MAP's shared hold, then runs `task` on it and
// writes the envelope with no registry hold: agents are never removed, and each lives
// in an allocation of its own, so the agent outlasts the hold. An unknown handle never
// runs the task.
//
// A task without payload (a store, a change of password) commits its work as its last
// step, so its success answer is made before it runs: a failure answer then always
// means that nothing was committed. Without memory for that answer the task does not run.
template <class T>
char* with_agent(uint64_t handle, AgentTask<T> task) {
  const Agent* agent = nullptr;
  {
    auto [agents, poisoned] = AGENT_MAP().read();
    if (poisoned) return static_error_to_host_json(DidErrorKind::SyncError, kAgentMapLocked);
    auto it = agents->find(handle);
    if (it == agents->end()) return static_error_to_host_json(DidErrorKind::InvalidState, kAgentNotFound);
    agent = it->second.get();
  }
  if constexpr (std::is_void_v<T>) {
    std::unique_ptr<char, FreeHostText> success(prepared_ok_answer());
    if (!success) return static_error_to_host_json(DidErrorKind::General, kOutOfMemoryMessage);
    DidResult<void> outcome = std::move(task).run(*agent);
    if (outcome.ok()) return success.release();
    success.reset();
    return result_to_host_json(std::move(outcome));
  } else if constexpr (std::is_same_v<T, DidResult<std::string>>) {
    DidResult<T> outcome = std::move(task).run(*agent);
    return fetched_data_answer(outcome);
  } else {
    DidResult<T> outcome = std::move(task).run(*agent);
    return result_to_host_json(std::move(outcome));
  }
}

namespace test_hooks {
// Marks the registry's locks failed, as a holder that ended abnormally would.
void poison_alias_map();
void poison_agent_map();
}  // namespace test_hooks

}  // namespace velno
