// The work of each agent export, packed with what it captured.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "agent/agent_registry.hpp"
#include "velno_core.h"

namespace velno {

AgentTask<DIDInfo> create_did_task(std::optional<SecretBytes> seed);
AgentTask<std::vector<DIDInfo>> list_dids_task();
AgentTask<DIDInfo> get_default_did_task();

// These four keep the host's pointers and read them only once the agent is found; a
// NULL text is then answered InvalidParameter "Invalid Parameter for <argument>".
AgentTask<DIDInfo> get_did_info_task(const char* did);
AgentTask<std::string> sign_task(const char* data);
AgentTask<std::string> sign_with_did_task(const char* did, const char* data);
AgentTask<bool> verify_with_did_public_key_task(const char* public_key, const char* data, const char* signature);

AgentTask<void> change_password_task(PasswordCallback new_password_callback);
AgentTask<void> wallet_store_data_task(std::string key, SecretBytes data);
// Failures of the fetch itself are the answer's value, not a failed call.
AgentTask<DidResult<std::string>> wallet_get_data_task(std::string key);

}  // namespace velno
