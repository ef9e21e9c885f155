// The library shows the host its fourteen exports and nothing else, under the version
// its header names.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "velno_core.h"

namespace {

std::set<std::string> exported_text_symbols() {
#ifdef __APPLE__
  const std::string command = std::string("nm -gU '") + VELNO_CORE_PATH + "'";
#else
  const std::string command = std::string("nm -D --defined-only '") + VELNO_CORE_PATH + "'";
#endif
  std::set<std::string> names;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    if (type != "T") continue;
#ifdef __APPLE__
    if (!name.empty() && name[0] == '_') name.erase(0, 1);
#endif
    names.insert(name.substr(0, name.find('@')));
  }
  pclose(pipe);
  return names;
}

TEST(SymbolTable, ExportsExactlyTheFourteenFunctions) {
  const std::set<std::string> expected = {
      "create_agent", "init_logging", "set_velno_home_path", "explain_error_code", "create_did",
      "list_dids", "get_default_did", "get_did_info", "sign", "sign_with_did",
      "verify_with_did_public_key", "change_password", "wallet_store_data", "wallet_get_data"};
  EXPECT_EQ(exported_text_symbols(), expected);
}

TEST(Version, HeaderMacrosMatchThePackageAndTheSharedLibraryName) {
  const std::string parts = std::to_string(VELNO_CORE_VERSION_MAJOR) + "." + std::to_string(VELNO_CORE_VERSION_MINOR) +
                            "." + std::to_string(VELNO_CORE_VERSION_PATCH);
  EXPECT_EQ(parts, VELNO_CORE_VERSION);
  EXPECT_EQ(std::string(VELNO_CORE_VERSION), VELNO_PROJECT_VERSION);
#ifdef __APPLE__
  const std::string soname = "libvelno_core." + std::to_string(VELNO_CORE_VERSION_MAJOR) + ".dylib";
#else
  const std::string soname = "libvelno_core.so." + std::to_string(VELNO_CORE_VERSION_MAJOR);
#endif
  EXPECT_EQ(soname, VELNO_SONAME);
}

}  // namespace
