// What a host is answered, and finds on disk, when its texts are hostile: data keys
// kept byte for byte, aliases kept inside the wallet folder.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/host_library.hpp"
#include "support/test_support.hpp"

namespace velno::host {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kFirstPassword = "wallet files password";
std::atomic<const char*> g_password{kFirstPassword};
const char* agent_password() { return g_password.load(); }

const std::string kSeed = "wallet-files-seed-0123456789abcdef";
constexpr unsigned kWatchdogSeconds = 120;

// Every path below `root`, relative to it, without following links.
std::set<std::string> listing(const std::string& root) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec))
    out.insert(fs::relative(it->path(), root).string());
  return out;
}

// Runs `body` in a child process. A watchdog alarm ends a child that hangs, so a call
// that blocks fails the test instead of stalling it. With `unprivileged`, a child of
// root first becomes "nobody" and owner of `tree`: permission bits do not stop root.
// The child's failed checks print in its output.
void in_child(const std::function<void()>& body, bool unprivileged = false, const std::string& tree = "") {
  lib();  // loaded before the fork: an unprivileged child might not be let read it
  const bool drop = unprivileged && ::geteuid() == 0;
  uid_t uid = 65534;
  gid_t gid = 65534;
  if (drop) {
    if (const passwd* nobody = ::getpwnam("nobody")) {
      uid = nobody->pw_uid;
      gid = nobody->pw_gid;
    }
    ASSERT_EQ(::lchown(tree.c_str(), uid, gid), 0);
    for (const auto& entry : fs::recursive_directory_iterator(tree)) ::lchown(entry.path().c_str(), uid, gid);
  }
  std::fflush(stdout);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(kWatchdogSeconds);
    if (drop && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
      std::fprintf(stderr, "cannot become nobody: %s\n", std::strerror(errno));
      ::_exit(2);
    }
    body();
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WIFSIGNALED(status)) {
    ADD_FAILURE() << (WTERMSIG(status) == SIGALRM ? std::string("the child hung; its watchdog ended it")
                                                   : "the child died of signal " + std::to_string(WTERMSIG(status)));
  } else {
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's checks failed (see its output above)";
  }
}

// A home directory below a root of its own, so that nothing can land beside it unseen.
class WalletFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    g_password = kFirstPassword;
    ASSERT_EQ(call(&Library::set_velno_home_path, home().c_str()), R"({"code":"OK"})");
  }
  std::string home() const { return root_.path() + "/home"; }
  std::string wallet_dir() const { return home() + "/brox-wallet"; }
  std::string wallet_file(const std::string& alias) const { return wallet_dir() + "/./qxdwallet_" + alias + ".json"; }

  uint64_t open(const std::string& alias) {
    json answer = json::parse(call(&Library::create_agent, alias.c_str(), kSeed.c_str(), &agent_password));
    EXPECT_EQ(answer["code"], "OK") << alias.size() << " bytes: " << answer.dump();
    return answer["code"] == "OK" ? answer["value"]["handle"].get<uint64_t>() : 0;
  }
  std::string fetched(uint64_t h, const std::string& key) {
    return call(&Library::wallet_get_data, h, key.c_str());
  }
  static std::string ok_data(const std::string& value) { return R"({"code":"OK","value":{"Ok":")" + value + R"("}})"; }

  test::TempDir root_;
};

TEST_F(WalletFiles, DataKeysMustBeUtf8AndComeBackByteForByteInTheNextProcess) {
  const std::pair<std::string, std::string> kept[] = {
      {"cl\xc3\xa9", "QUJD"}, {"\xe2\x82\xac", "REVG"}, {"\xf0\x9f\x94\x91", "R0hJ"}, {"\xef\xbf\xbd", "SktM"}};
  in_child([&] {
    const uint64_t h = open("keys");
    for (const auto& [key, value] : kept) EXPECT_EQ(call(&Library::wallet_store_data, h, key.c_str(), value.c_str()), R"({"code":"OK"})");
  });
  const uint64_t h = open("keys");
  for (const auto& [key, value] : kept) EXPECT_EQ(fetched(h, key), ok_data(value)) << key;

  const std::string before = test::read_file(wallet_file("keys"));
  const struct {
    std::string key;
    const char* message;
  } refused[] = {
      {"k\xff", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"k\xfe", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"ok\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 2"},  // a surrogate
      {"\xc3", "incomplete utf-8 byte sequence from index 0"},
  };
  // Refused before the handle is looked up, so an unregistered one answers the same.
  for (const auto& r : refused)
    for (uint64_t handle : {h, uint64_t{1}}) {
      EXPECT_EQ(call(&Library::wallet_store_data, handle, r.key.c_str(), "QUJD"), failure("EncodingError", r.message));
      EXPECT_EQ(call(&Library::wallet_get_data, handle, r.key.c_str()), failure("EncodingError", r.message));
    }
  // The checks before it keep their order.
  const std::string too_big(5121, 'A');
  EXPECT_EQ(call(&Library::wallet_store_data, h, "k\xff", nullptr), failure("InvalidParameter", "Invalid Parameter for data"));
  EXPECT_EQ(call(&Library::wallet_store_data, h, "k\xff", too_big.c_str()),
            failure("InvalidParameter", "Data size cannot be larger than 5K"));
  EXPECT_EQ(test::read_file(wallet_file("keys")), before);
}

TEST_F(WalletFiles, AliasesHoldingASlashAreRefusedBeforeAnythingIsMade) {
  // With this directory, "x/../../../escaped" once put a wallet beside the home directory.
  fs::create_directories(wallet_dir() + "/qxdwallet_x");
  const std::set<std::string> before = listing(root_.path());
  for (const char* alias : {"x/../../../escaped", "x/../../escaped", "x/y", "/", "/abs", "a/", "../up"})
    EXPECT_EQ(call(&Library::create_agent, alias, kSeed.c_str(), &agent_password),
              failure("InvalidParameter", "Invalid Parameter for alias"))
        << alias;
  EXPECT_EQ(listing(root_.path()), before);
  // Beside that directory, the alias "x" opens as always.
  const uint64_t h = open("x");
  EXPECT_EQ(json::parse(call(&Library::list_dids, h))["value"].size(), 1u);
}

}  // namespace
}  // namespace velno::host
