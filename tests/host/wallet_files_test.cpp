// What a host is answered, and finds on disk, when its texts or its file system are
// hostile: data keys kept byte for byte, aliases kept inside the wallet folder, long
// aliases, special files at the wallet path, directory modes and permissions.
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
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
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
constexpr const char* kSecondPassword = "wallet files password, changed";
std::atomic<const char*> g_password{kFirstPassword};
const char* agent_password() { return g_password.load(); }
const char* second_password() { return kSecondPassword; }

const std::string kSeed = "wallet-files-seed-0123456789abcdef";

json io_failure(const std::string& debug_text) { return {{"code", "IO"}, {"value", debug_text}}; }
json os_failure(int errnum, const char* kind) {
  return io_failure("Os { code: " + std::to_string(errnum) + ", kind: " + kind + ", message: \"" +
                    std::strerror(errnum) + "\" }");
}
const json kNotRegular = io_failure("Error { kind: InvalidInput, message: \"not a regular file\" }");

// Every path below `root`, relative to it, without following links.
std::set<std::string> listing(const std::string& root) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec))
    out.insert(fs::relative(it->path(), root).string());
  return out;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

mode_t type_of(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

class Umask {
 public:
  explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
  ~Umask() { ::umask(saved_); }
  Umask(const Umask&) = delete;
  Umask& operator=(const Umask&) = delete;

 private:
  mode_t saved_;
};

// Runs `body` in a child process. A watchdog ends a child whose calls stop answering,
// so a call that blocks fails the test instead of stalling it. With `unprivileged`, a child of
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
    reliability::Watchdog watchdog;   // never destroyed: the child ends by _exit
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
    ADD_FAILURE() << "the child died of signal " << WTERMSIG(status);
  } else {
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's checks failed, or its watchdog ended it (see its output above)";
  }
}

std::mutex g_log_mutex;
std::vector<std::string> g_log;
void capture_log(uint32_t level, char* message) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  g_log.push_back(std::to_string(level) + " " + message);
  std::free(message);
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

TEST_F(WalletFiles, EveryAliasWhoseFilesFitWorksForEveryWriteAndLongerOnesLeaveNothing) {
  fs::create_directories(wallet_dir());
  const long name_max = ::pathconf(wallet_dir().c_str(), _PC_NAME_MAX);
  ASSERT_GT(name_max, 64);
  // "qxdwallet_<alias>-undo.json" is the longest name the library makes for a wallet.
  const std::size_t longest = static_cast<std::size_t>(name_max) - std::strlen("qxdwallet_-undo.json");
  const std::size_t wallet_name_at_limit = static_cast<std::size_t>(name_max) - std::strlen("qxdwallet_.json");

  std::set<std::string> expected;
  for (std::size_t size : {std::size_t{217}, longest}) {
    const std::string alias(size, 'a');
    g_password = kFirstPassword;
    const uint64_t h = open(alias);
    for (const char* value : {"QUJD", "REVG", "R0hJ"}) {
      EXPECT_EQ(call(&Library::wallet_store_data, h, "k", value), R"({"code":"OK"})") << size;
    }
    EXPECT_EQ(call(&Library::create_did, h, nullptr).rfind(R"({"code":"OK")", 0), 0u) << size;
    EXPECT_EQ(call(&Library::change_password, h, &second_password), R"({"code":"OK"})") << size;
    g_password = kSecondPassword;
    EXPECT_EQ(fetched(h, "k"), ok_data("R0hJ")) << size;
    // The change wrote its undo copy and removed it when it ended.
    expected.insert("qxdwallet_" + alias + ".json");
    EXPECT_EQ(listing(wallet_dir()), expected) << size;
  }

  const json too_long = os_failure(ENAMETOOLONG, "InvalidFilename");
  for (std::size_t size : {longest + 1, wallet_name_at_limit, wallet_name_at_limit + 1}) {
    const std::string alias(size, 'b');
    EXPECT_EQ(json::parse(call(&Library::create_agent, alias.c_str(), kSeed.c_str(), &agent_password)), too_long)
        << size;
    EXPECT_EQ(listing(wallet_dir()), expected) << size;
  }
}

TEST_F(WalletFiles, SpecialFilesAtTheWalletPathAnswerIoWithoutWaiting) {
  fs::create_directories(wallet_dir());
  const std::string fifo = root_.path() + "/fifo";
  const std::string plain = root_.path() + "/plain.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  test::write_file(plain, "");
  const struct {
    const char* alias;
    std::function<void(const std::string&)> make;
    json answer;
  } cases[] = {
      {"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, kNotRegular},
      // With a reader present, the open itself succeeds; what was opened is refused.
      {"read-fifo",
       [](const std::string& p) {
         ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
         ASSERT_GE(::open(p.c_str(), O_RDONLY | O_NONBLOCK), 0);  // open until the child ends
       },
       kNotRegular},
      {"link-to-fifo", [&](const std::string& p) { ASSERT_EQ(::symlink(fifo.c_str(), p.c_str()), 0); }, kNotRegular},
      {"link-to-device", [](const std::string& p) { ASSERT_EQ(::symlink("/dev/null", p.c_str()), 0); }, kNotRegular},
      {"socket",
       [](const std::string& p) {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         ASSERT_LT(p.size(), sizeof address.sun_path);
         std::memcpy(address.sun_path, p.c_str(), p.size() + 1);
         const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
         ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
       },
       kNotRegular},
      {"directory", [](const std::string& p) { fs::create_directories(p); }, os_failure(EISDIR, "IsADirectory")},
  };
  in_child([&] {
    for (const auto& c : cases) {
      const std::string path = wallet_file(c.alias);
      c.make(path);
      const mode_t type = type_of(path);
      EXPECT_EQ(json::parse(call(&Library::create_agent, c.alias, kSeed.c_str(), &agent_password)), c.answer) << c.alias;
      EXPECT_EQ(type_of(path), type) << c.alias << " was replaced";
    }
    // A link to a regular file is followed, as always; other agents keep answering.
    ASSERT_EQ(::symlink(plain.c_str(), wallet_file("link").c_str()), 0);
    EXPECT_EQ(json::parse(call(&Library::list_dids, open("link")))["value"].size(), 1u);
    EXPECT_EQ(json::parse(call(&Library::list_dids, open("plain")))["value"].size(), 1u);
  });
}

TEST_F(WalletFiles, DirectoriesTheLibraryMakesAreOwnerOnlyEvenUnderUmaskZero) {
  const Umask no_mask(0);
  const std::string existing = root_.path() + "/existing";
  fs::create_directories(existing);
  ::chmod(existing.c_str(), 0755);
  const std::string nested = existing + "/made/home";
  ASSERT_EQ(call(&Library::set_velno_home_path, nested.c_str()), R"({"code":"OK"})");
  const uint64_t h = open("modes");
  const std::string wallet_dir = nested + "/brox-wallet";
  const struct {
    std::string path;
    mode_t mode;
  } expected[] = {
      {existing, 0755}, {existing + "/made", 0700}, {nested, 0700}, {wallet_dir, 0700}, {wallet_dir + "/qxdwallet_modes.json", 0600},
  };
  for (const auto& e : expected) EXPECT_EQ(mode_of(e.path), e.mode) << e.path;

  // A home removed meanwhile is made again at the next write, owner-only as well.
  fs::remove_all(existing + "/made");
  EXPECT_EQ(call(&Library::wallet_store_data, h, "k", "QUJD"), R"({"code":"OK"})");
  for (const auto& e : expected) EXPECT_EQ(mode_of(e.path), e.mode) << e.path;

  // A wallet directory that exists already keeps its mode.
  const std::string other_home = root_.path() + "/other";
  fs::create_directories(other_home + "/brox-wallet");
  ::chmod((other_home + "/brox-wallet").c_str(), 0750);
  ASSERT_EQ(call(&Library::set_velno_home_path, other_home.c_str()), R"({"code":"OK"})");
  open("modes-2");
  EXPECT_EQ(mode_of(other_home + "/brox-wallet"), 0750u);
}

TEST_F(WalletFiles, OpeningNeedsAWritableDirectoryAndAnUnreadableOneCostsOnlyTheFlush) {
  // A wallet that holds the seed's DID already: opening it writes nothing.
  const uint64_t source = open("source");
  fs::copy_file(wallet_file("source"), wallet_file("guarded"));
  const std::string bytes = test::read_file(wallet_file("guarded"));
  const std::string dir = wallet_dir();
  in_child(
      [&] {
        capture_stdout([] { take(lib().init_logging(2, &capture_log)); });
        // Read-only: the agent could open but never write.
        ASSERT_EQ(::chmod(dir.c_str(), 0500), 0);
        EXPECT_EQ(json::parse(call(&Library::create_agent, "guarded", kSeed.c_str(), &agent_password)),
                  os_failure(EACCES, "PermissionDenied"));
        EXPECT_EQ(test::read_file(wallet_file("guarded")), bytes);
        // Another agent keeps answering.
        EXPECT_EQ(json::parse(call(&Library::list_dids, source))["code"], "OK");

        ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
        const uint64_t h = open("guarded");
        // Without read permission the directory cannot be flushed after the rename; the
        // new file is in place all the same.
        ASSERT_EQ(::chmod(dir.c_str(), 0300), 0);
        EXPECT_EQ(call(&Library::wallet_store_data, h, "k", "QUJD"), R"({"code":"OK"})");
        ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
        EXPECT_EQ(fetched(h, "k"), ok_data("QUJD"));
        EXPECT_EQ(listing(dir), (std::set<std::string>{"qxdwallet_guarded.json", "qxdwallet_source.json"}));
        std::unique_lock<std::mutex> lock(g_log_mutex);
        const std::string warning = "2 brox_fs::utils::wallet_path Couldn't open directory " + dir +
                                    "/. to flush a rename in it: Os { code: " + std::to_string(EACCES) +
                                    ", kind: PermissionDenied";
        EXPECT_EQ(std::count_if(g_log.begin(), g_log.end(), [&](const std::string& l) { return l.rfind(warning, 0) == 0; }), 1)
            << "no single warning " << warning;
        g_log.clear();
        // Nor can an opening list it to remove left-overs: it says so and goes on.
        ASSERT_EQ(::chmod(dir.c_str(), 0300), 0);
        lock.unlock();
        open("unlisted");
        lock.lock();
        ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
        const std::string unlisted = "2 brox_fs::utils::wallet_path Couldn't list directory ";
        EXPECT_TRUE(std::any_of(g_log.begin(), g_log.end(), [&](const std::string& l) { return l.rfind(unlisted, 0) == 0; }))
            << "no warning " << unlisted;
        // A change of password there writes its undo copy and removes it all the same.
        lock.unlock();
        ASSERT_EQ(::chmod(dir.c_str(), 0300), 0);
        EXPECT_EQ(call(&Library::change_password, h, &second_password), R"({"code":"OK"})");
        ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
        EXPECT_EQ(listing(dir), (std::set<std::string>{"qxdwallet_guarded.json", "qxdwallet_source.json",
                                                       "qxdwallet_unlisted.json"}));
      },
      true, root_.path());
}

// A home of exactly `size` bytes below `root`, made of 200-byte directory names.
std::string home_of_size(const std::string& root, std::size_t size) {
  std::string home = root;
  while (home.size() + 201 < size) home += "/" + std::string(200, 'h');
  home += "/" + std::string(size - home.size() - 1, 'e');
  return home;
}

// Hostile paths around the wallet: what each answers and what is on disk after it.
TEST_F(WalletFiles, LinksLongHomesAndDirectoriesAtTheUndoPathAnswerAndLeaveTheFilesRight) {
  fs::create_directories(wallet_dir());
  const std::string elsewhere = root_.path() + "/elsewhere";
  fs::create_directories(elsewhere);

  // A dangling link: the opening makes its target, every write rewrites the target, and
  // the link stays a link (also across a change of password, whose undo copy goes).
  fs::create_symlink(elsewhere + "/kept.json", wallet_file("linked"));
  const uint64_t linked = open("linked");
  EXPECT_EQ(call(&Library::wallet_store_data, linked, "k", "QUJD"), R"({"code":"OK"})");
  EXPECT_EQ(call(&Library::change_password, linked, &second_password), R"({"code":"OK"})");
  g_password = kSecondPassword;
  const std::string before = test::read_file(elsewhere + "/kept.json");
  EXPECT_EQ(call(&Library::wallet_store_data, linked, "k", "REVG"), R"({"code":"OK"})");
  EXPECT_NE(test::read_file(elsewhere + "/kept.json"), before);
  EXPECT_EQ(type_of(wallet_file("linked")), static_cast<mode_t>(S_IFLNK));
  EXPECT_EQ(type_of(elsewhere + "/kept.json"), static_cast<mode_t>(S_IFREG));
  EXPECT_EQ(mode_of(elsewhere + "/kept.json"), 0600u);
  EXPECT_EQ(listing(elsewhere), (std::set<std::string>{"kept.json"}));
  g_password = kFirstPassword;

  // A directory at the undo copy's path is refused at opening, before any file is made.
  fs::create_directories(wallet_dir() + "/qxdwallet_d-undo.json");
  EXPECT_EQ(json::parse(call(&Library::create_agent, "d", kSeed.c_str(), &agent_password)),
            os_failure(EISDIR, "IsADirectory"));
  EXPECT_EQ(type_of(wallet_file("d")), 0u);

  // A home so long that the temporary file's path passes the path limit, though the
  // wallet's own path does not: refused at opening, leaving no file. 45 bytes shorter,
  // every path fits and a change of password works.
  const long path_max = ::pathconf(root_.path().c_str(), _PC_PATH_MAX);
  ASSERT_GT(path_max, 1024);
  const std::string deep_root = root_.path() + "/deep";
  for (std::size_t size : {static_cast<std::size_t>(path_max) - 70, static_cast<std::size_t>(path_max) - 115}) {
    const std::string home = home_of_size(deep_root, size);
    ASSERT_EQ(call(&Library::set_velno_home_path, home.c_str()), R"({"code":"OK"})") << size;
    const std::string alias = "p" + std::to_string(size);
    const std::string wallet = home + "/brox-wallet/qxdwallet_" + alias + ".json";
    ASSERT_LT(wallet.size(), static_cast<std::size_t>(path_max));
    const json answer = json::parse(call(&Library::create_agent, alias.c_str(), kSeed.c_str(), &agent_password));
    if (size == static_cast<std::size_t>(path_max) - 70) {
      EXPECT_EQ(answer, os_failure(ENAMETOOLONG, "InvalidFilename"));
      EXPECT_EQ(listing(home + "/brox-wallet"), std::set<std::string>{});
    } else {
      ASSERT_EQ(answer["code"], "OK") << answer.dump();
      const uint64_t h = answer["value"]["handle"].get<uint64_t>();
      EXPECT_EQ(call(&Library::change_password, h, &second_password), R"({"code":"OK"})");
      EXPECT_EQ(listing(home + "/brox-wallet"), std::set<std::string>{"qxdwallet_" + alias + ".json"});
    }
  }
}

// Every bound the opening enforces, the write enforces first: a key that would take the
// file past 256 MiB (keys are written twice) is refused, stores nothing, and a fresh
// process opens the wallet with every earlier record.
TEST_F(WalletFiles, AWriteThatWouldPassTheFileBoundIsRefusedAndTheWalletStillOpens) {
  in_child([&] {
    const uint64_t h = open("big");
    EXPECT_EQ(call(&Library::wallet_store_data, h, "before", "QUJD"), R"({"code":"OK"})");
    const std::string huge_key(135u << 20, 'k');
    EXPECT_EQ(json::parse(call(&Library::wallet_store_data, h, huge_key.c_str(), "QUJD")),
              os_failure(EFBIG, "FileTooLarge"));
    EXPECT_EQ(fetched(h, huge_key).rfind(R"({"code":"OK","value":{"Err":{"code":"RecordNotFound")", 0), 0u);
    EXPECT_EQ(call(&Library::wallet_store_data, h, "after", "REVG"), R"({"code":"OK"})");
  });
  EXPECT_LT(fs::file_size(wallet_file("big")), 1u << 20);
  const uint64_t h = open("big");
  EXPECT_EQ(fetched(h, "before"), ok_data("QUJD"));
  EXPECT_EQ(fetched(h, "after"), ok_data("REVG"));
}

// Alias "<x>-undo" names x's undo copy: x's change leaves that wallet whole, whether it
// is open in this process or only on disk.
TEST_F(WalletFiles, AChangeNeverOverwritesAnotherWalletAtItsUndoPath) {
  const uint64_t other = open("x-undo");
  EXPECT_EQ(call(&Library::wallet_store_data, other, "mine", "QUJD"), R"({"code":"OK"})");
  const uint64_t x = open("x");
  const std::string bytes = test::read_file(wallet_file("x-undo"));
  const json exists = os_failure(EEXIST, "AlreadyExists");
  EXPECT_EQ(json::parse(call(&Library::change_password, x, &second_password)), exists);
  EXPECT_EQ(test::read_file(wallet_file("x-undo")), bytes);
  EXPECT_EQ(fetched(other, "mine"), ok_data("QUJD"));
  // x keeps its password.
  EXPECT_EQ(call(&Library::wallet_store_data, x, "k", "REVG"), R"({"code":"OK"})");
  in_child([&] {
    // A fresh process with only x open: the file holds records x does not hold.
    const uint64_t fresh_x = open("x");
    EXPECT_EQ(json::parse(call(&Library::change_password, fresh_x, &second_password)), exists);
    EXPECT_EQ(test::read_file(wallet_file("x-undo")), bytes);
  });
  EXPECT_EQ(fetched(other, "mine"), ok_data("QUJD"));
}

// Modes are exact whatever the umask, also one that masks the owner's own bits; the
// child is not root, so the modes really decide what it may do.
TEST_F(WalletFiles, ModesAreOwnerOnlyUnderUmasksThatMaskOwnerBits) {
  for (mode_t mask : {mode_t{0177}, mode_t{0277}}) {
    const std::string base = root_.path() + "/mask" + std::to_string(mask);
    fs::create_directories(base);
    in_child(
        [&] {
          const Umask masked(mask);
          const std::string home = base + "/made/home";
          ASSERT_EQ(call(&Library::set_velno_home_path, home.c_str()), R"({"code":"OK"})");
          const uint64_t h = open("masked");
          EXPECT_EQ(call(&Library::wallet_store_data, h, "k", "QUJD"), R"({"code":"OK"})");
          EXPECT_EQ(call(&Library::change_password, h, &second_password), R"({"code":"OK"})");
          for (const std::string& dir : {base + "/made", home, home + "/brox-wallet"}) EXPECT_EQ(mode_of(dir), 0700u) << dir;
          EXPECT_EQ(mode_of(home + "/brox-wallet/qxdwallet_masked.json"), 0600u);
        },
        true, root_.path());
  }
}

// The new-password callback of a change that waits, once asked, until the test lets it
// answer.
std::promise<void>* g_change_asking = nullptr;
std::shared_future<void> g_change_may_answer;
const char* waiting_second_password() {
  g_change_asking->set_value();
  g_change_may_answer.wait();
  return kSecondPassword;
}

// Run under ThreadSanitizer with the other concurrency tests.
class UndoCopyConcurrency : public WalletFiles {};

// The undo copy is removed from the home it was written in: a home switched while the
// change waits for its new password leaves the new home's "x-undo" wallet whole.
TEST_F(UndoCopyConcurrency, AChangeRemovesItsUndoCopyFromItsOwnHomeWhateverHomeIsSetMeanwhile) {
  const std::string new_home = root_.path() + "/new-home";
  const std::string new_dir = new_home + "/brox-wallet";
  // Another process made x-undo's wallet there.
  in_child([&] {
    ASSERT_EQ(call(&Library::set_velno_home_path, new_home.c_str()), R"({"code":"OK"})");
    EXPECT_EQ(call(&Library::wallet_store_data, open("x-undo"), "mine", "QUJD"), R"({"code":"OK"})");
  });
  const std::string other = new_dir + "/./qxdwallet_x-undo.json";
  const std::string other_bytes = test::read_file(other);
  in_child([&] {
    const uint64_t x = open("x");
    EXPECT_EQ(call(&Library::wallet_store_data, x, "k", "REVG"), R"({"code":"OK"})");
    std::promise<void> asking, may_answer;
    g_change_asking = &asking;
    g_change_may_answer = may_answer.get_future().share();
    std::string changed;
    std::thread change([&] { changed = call(&Library::change_password, x, &waiting_second_password); });
    asking.get_future().wait();
    EXPECT_EQ(call(&Library::set_velno_home_path, new_home.c_str()), R"({"code":"OK"})");
    may_answer.set_value();
    change.join();
    EXPECT_EQ(changed, R"({"code":"OK"})");
    EXPECT_EQ(test::read_file(other), other_bytes);
    // No copy under the old password in either home; x's commit went to the home in force.
    EXPECT_EQ(listing(wallet_dir()), std::set<std::string>{"qxdwallet_x.json"});
    EXPECT_EQ(listing(new_dir), (std::set<std::string>{"qxdwallet_x-undo.json", "qxdwallet_x.json"}));
    g_password = kSecondPassword;
    EXPECT_EQ(fetched(x, "k"), ok_data("REVG"));
  });
  in_child([&] {
    ASSERT_EQ(call(&Library::set_velno_home_path, new_home.c_str()), R"({"code":"OK"})");
    EXPECT_EQ(fetched(open("x-undo"), "mine"), ok_data("QUJD"));
  });
}

// Links at the undo path, made before the opening or after it. One that makes the undo
// path and the wallet path one file is refused with IO and changes nothing; any other
// is replaced by the copy itself, whose removal then leaves what the link named alone.
TEST_F(WalletFiles, LinksAtTheUndoPathNeverCostTheWalletNorWhatTheyName) {
  const uint64_t source = open("source");
  EXPECT_EQ(call(&Library::wallet_store_data, source, "k", "QUJD"), R"({"code":"OK"})");
  const std::string outside = root_.path() + "/outside";
  fs::create_directories(outside);
  test::write_file(outside + "/empty.json", "");
  test::write_file(outside + "/chained.json", "");
  fs::create_symlink(outside + "/chained.json", outside + "/chain");
  const json one_file = io_failure("Error { kind: InvalidInput, message: \"the wallet file and its undo copy are one file\" }");
  const auto undo_of = [&](const std::string& alias) { return wallet_dir() + "/./qxdwallet_" + alias + "-undo.json"; };
  const auto wallet_copy = [&](const std::string& to) { fs::copy_file(wallet_file("source"), to); };

  using Make = std::function<void(const std::string& wallet, const std::string& undo)>;
  const Make undo_to_wallet = [](const std::string& w, const std::string& u) { fs::create_symlink(fs::path(w).filename(), u); };
  const Make wallet_to_undo = [](const std::string& w, const std::string& u) {
    fs::rename(w, u);
    fs::create_symlink(fs::path(u).filename(), w);
  };
  const struct {
    const char* alias;
    Make make;
    bool before_opening;
  } one_file_cases[] = {
      {"undo-to-wallet", undo_to_wallet, true},
      {"wallet-to-undo", wallet_to_undo, true},
      {"hard-link", [](const std::string& w, const std::string& u) { fs::create_hard_link(w, u); }, true},
      {"dangling-to-wallet", [&](const std::string& w, const std::string& u) { fs::remove(w), undo_to_wallet(w, u); }, true},
      {"later-undo-to-wallet", undo_to_wallet, false},
      {"later-wallet-to-undo", wallet_to_undo, false},
  };
  for (const auto& c : one_file_cases) {
    const std::string wallet = wallet_file(c.alias), undo = undo_of(c.alias);
    in_child([&] {
      uint64_t h = 0;
      if (c.before_opening) {
        wallet_copy(wallet);
      } else {
        h = open(c.alias);
        EXPECT_EQ(call(&Library::wallet_store_data, h, "k", "REVG"), R"({"code":"OK"})");
      }
      c.make(wallet, undo);
      const std::set<std::string> files = listing(root_.path());
      const std::string bytes = fs::exists(wallet) ? test::read_file(wallet) : "";
      const std::string answer = c.before_opening
                                     ? call(&Library::create_agent, c.alias, kSeed.c_str(), &agent_password)
                                     : call(&Library::change_password, h, &second_password);
      EXPECT_EQ(json::parse(answer), one_file) << c.alias;
      EXPECT_EQ(listing(root_.path()), files) << c.alias;
      EXPECT_EQ(fs::exists(wallet) ? test::read_file(wallet) : "", bytes) << c.alias;
      if (h != 0) {
        EXPECT_EQ(fetched(h, "k"), ok_data("REVG")) << c.alias;
      }
    });
  }

  const struct {
    const char* alias;
    std::string target;
  } elsewhere[] = {{"dangling", outside + "/none.json"}, {"empty", outside + "/empty.json"}, {"chain", outside + "/chain"}};
  for (const auto& c : elsewhere) {
    in_child([&] {
      const uint64_t h = open(c.alias);
      EXPECT_EQ(call(&Library::wallet_store_data, h, "k", "REVG"), R"({"code":"OK"})");
      fs::create_symlink(c.target, undo_of(c.alias));
      const std::set<std::string> outside_files = listing(outside);
      EXPECT_EQ(call(&Library::change_password, h, &second_password), R"({"code":"OK"})") << c.alias;
      // The link was replaced by the copy, and the copy removed; what it named is as it was.
      EXPECT_EQ(type_of(undo_of(c.alias)), 0u) << c.alias;
      EXPECT_EQ(listing(outside), outside_files) << c.alias;
      for (const char* file : {"/empty.json", "/chained.json"}) EXPECT_EQ(test::read_file(outside + file), "") << c.alias;
      g_password = kSecondPassword;
      EXPECT_EQ(fetched(h, "k"), ok_data("REVG")) << c.alias;
    });
  }
}

// The lines of the captured log that start with `prefix`; the capture is then emptied.
std::size_t logged(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  const auto n = static_cast<std::size_t>(
      std::count_if(g_log.begin(), g_log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  g_log.clear();
  return n;
}

// The new-password callback of a change that first does what the test put here (from
// within the change: its undo copy is written by then), and answers the password the
// agent's callback does not.
std::function<void()> g_while_asked;
const char* other_password_after_acting() {
  g_while_asked();
  return g_password.load() == kFirstPassword ? kSecondPassword : kFirstPassword;
}

// Something else deletes the undo copy while the change runs and makes its own file at
// that path. The file system would give the new file the copy's inode number as soon as
// no one held the copy open; the copy is held until its removal, so whatever was made
// there survives the change, every time.
TEST_F(WalletFiles, AFileMadeAtTheUndoPathAfterTheCopyWasDeletedSurvivesTheChange) {
  // x-undo's wallet and its datum, made by another process in a home of its own.
  const std::string other_home = root_.path() + "/other";
  in_child([&] {
    ASSERT_EQ(call(&Library::set_velno_home_path, other_home.c_str()), R"({"code":"OK"})");
    EXPECT_EQ(call(&Library::wallet_store_data, open("x-undo"), "mine", "QUJD"), R"({"code":"OK"})");
  });
  const std::string other_wallet = other_home + "/brox-wallet/./qxdwallet_x-undo.json";
  const std::string outside = root_.path() + "/outside.json";
  test::write_file(outside, "outside");
  const std::string undo = wallet_file("x-undo");
  const struct {
    const char* what;
    std::function<void()> make;
  } makers[] = {
      {"a regular file", [&] { test::write_file(undo, "another's file"); }},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(undo.c_str(), 0600), 0); }},
      {"a link", [&] { fs::create_symlink(outside, undo); }},
      {"x-undo's wallet", [&] { fs::copy_file(other_wallet, undo); }},  // last: it stays
  };
  const std::string warning =
      "2 brox_fs::brox_fs::brox_file_system_storage Couldn't remove " + undo + ": another file is at its path now";
  in_child([&] {
    capture_stdout([] { take(lib().init_logging(2, &capture_log)); });
    const uint64_t x = open("x");
    EXPECT_EQ(call(&Library::wallet_store_data, x, "k", "REVG"), R"({"code":"OK"})");
    for (const auto& m : makers)
      for (int attempt = 0; attempt < 4; ++attempt) {
        fs::remove(undo);  // what the attempt before made
        struct stat made {};
        g_while_asked = [&] {
          EXPECT_EQ(type_of(undo), static_cast<mode_t>(S_IFREG)) << "no undo copy while the change runs";
          fs::remove(undo);
          m.make();
          EXPECT_EQ(::lstat(undo.c_str(), &made), 0);
        };
        logged("");
        EXPECT_EQ(call(&Library::change_password, x, &other_password_after_acting), R"({"code":"OK"})") << m.what;
        g_password = g_password.load() == kFirstPassword ? kSecondPassword : kFirstPassword;
        struct stat after {};
        ASSERT_EQ(::lstat(undo.c_str(), &after), 0) << m.what << " was removed, attempt " << attempt;
        EXPECT_EQ(after.st_ino, made.st_ino) << m.what;
        EXPECT_EQ(after.st_mode, made.st_mode) << m.what;
        EXPECT_EQ(logged(warning), 1u) << m.what;
      }
    EXPECT_EQ(test::read_file(outside), "outside");
    EXPECT_EQ(test::read_file(undo), test::read_file(other_wallet));
    EXPECT_EQ(fetched(x, "k"), ok_data("REVG"));
  });
  // Found where it was put, with its datum.
  in_child([&] { EXPECT_EQ(fetched(open("x-undo"), "mine"), ok_data("QUJD")); });
}

// Whatever lies at the undo path and does not read as a copy of this wallet is
// another's file, whether it was there before the opening or came after it: the change
// answers IO "File exists", writes nothing, names the path in its WARN, and goes
// through once the host has moved that file away.
TEST_F(WalletFiles, AFileAtTheUndoPathThatIsNoCopyOfTheWalletStopsTheChangeUntilItIsMoved) {
  fs::create_directories(wallet_dir());
  const std::string notes = root_.path() + "/notes.txt";
  test::write_file(notes, "some notes\n");
  using Make = std::function<void(const std::string& undo)>;
  const auto text = [](std::string content) -> Make {
    return [content](const std::string& undo) { test::write_file(undo, content); };
  };
  const struct {
    const char* name;
    Make make;
    bool before_opening;  // a FIFO there is refused by the opening itself
  } cases[] = {
      {"text", text("some notes\n"), true},
      {"array", text("[]"), true},
      {"object", text(R"({"a":1})"), true},
      {"not-utf8", text("{\"k\xff\":{}}"), true},
      {"link", [&](const std::string& undo) { fs::create_symlink(notes, undo); }, true},
      {"unreadable",
       [](const std::string& undo) {
         test::write_file(undo, "{}");
         ASSERT_EQ(::chmod(undo.c_str(), 0), 0);
       },
       true},
      {"fifo", [](const std::string& undo) { ASSERT_EQ(::mkfifo(undo.c_str(), 0600), 0); }, false},
  };
  const json exists = os_failure(EEXIST, "AlreadyExists");
  in_child([&] {
    capture_stdout([] { take(lib().init_logging(2, &capture_log)); });
    for (const auto& c : cases)
      for (bool before : {true, false}) {
        if (before && !c.before_opening) continue;
        const std::string alias = std::string(c.name) + (before ? "-before" : "-after");
        const std::string undo = wallet_file(alias + "-undo");
        g_password = kFirstPassword;
        if (before) c.make(undo);
        const uint64_t h = open(alias);
        EXPECT_EQ(call(&Library::wallet_store_data, h, "k", "QUJD"), R"({"code":"OK"})") << alias;
        if (!before) c.make(undo);
        const std::set<std::string> files = listing(root_.path());
        const std::string wallet_bytes = test::read_file(wallet_file(alias));
        const std::string undo_bytes = type_of(undo) == S_IFIFO ? "" : test::read_file(undo);
        const mode_t undo_mode = mode_of(undo);
        logged("");
        EXPECT_EQ(json::parse(call(&Library::change_password, h, &second_password)), exists) << alias;
        EXPECT_EQ(logged("2 brox_fs::brox_fs::brox_file_system_storage Leaving " + undo +
                         " alone: it does not read as a copy of this wallet"),
                  1u)
            << alias;
        EXPECT_EQ(listing(root_.path()), files) << alias;
        EXPECT_EQ(test::read_file(wallet_file(alias)), wallet_bytes) << alias;
        if (type_of(undo) != S_IFIFO) {
          EXPECT_EQ(test::read_file(undo), undo_bytes) << alias;
        }
        EXPECT_EQ(mode_of(undo), undo_mode) << alias;
        EXPECT_EQ(test::read_file(notes), "some notes\n");
        EXPECT_EQ(fetched(h, "k"), ok_data("QUJD")) << alias;
        // What the host can do: move the file away.
        fs::rename(undo, root_.path() + "/" + alias + ".moved");
        EXPECT_EQ(call(&Library::change_password, h, &second_password), R"({"code":"OK"})") << alias;
        g_password = kSecondPassword;
        EXPECT_EQ(fetched(h, "k"), ok_data("QUJD")) << alias;
        EXPECT_EQ(type_of(undo), 0u) << alias;
      }
  }, true, root_.path());  // not root, so that a file may be unreadable
}

// Stores fill a wallet to the last bytes they may take; what stays free is room for the
// DID of an opening without a seed, which a fresh process then makes.
TEST_F(WalletFiles, AWalletFilledByStoresUntilOneIsRefusedStillOpensWithoutASeed) {
  constexpr std::size_t kBound = std::size_t{256} << 20;
  constexpr std::size_t kReserve = std::size_t{16} << 10;
  const std::string file = wallet_file("full");
  const json too_large = os_failure(EFBIG, "FileTooLarge");
  in_child([&] {
    const uint64_t h = open("full");
    // A stored key takes twice its length in the file, and a part that does not depend on it.
    const auto store_key = [&](char tag, std::size_t size) {
      const std::string key = tag + std::string(size, 'k');
      return call(&Library::wallet_store_data, h, key.c_str(), "QUJD");
    };
    const std::size_t empty = fs::file_size(file);
    ASSERT_EQ(store_key('a', 1000), R"({"code":"OK"})");
    const std::size_t fixed = fs::file_size(file) - empty - 2 * 1000;
    const std::size_t margin = 6000;
    ASSERT_EQ(store_key('b', (kBound - kReserve - fs::file_size(file) - fixed - margin) / 2), R"({"code":"OK"})");
    const std::string value(4096, 'A');
    std::string answer;
    for (int n = 0; n < 8 && (answer = call(&Library::wallet_store_data, h, ("v" + std::to_string(n)).c_str(),
                                             value.c_str())) == R"({"code":"OK"})";
         ++n) {
    }
    EXPECT_EQ(json::parse(answer), too_large);
    const std::size_t full = fs::file_size(file);
    EXPECT_LE(full, kBound - kReserve);
    EXPECT_GT(full + 2 * value.size(), kBound - kReserve);
    // A DID of the host's own asking takes none of the reserve either, and stores nothing.
    EXPECT_EQ(json::parse(call(&Library::create_did, h, nullptr)), too_large);
    EXPECT_EQ(json::parse(call(&Library::list_dids, h))["value"].size(), 1u);
    EXPECT_EQ(fs::file_size(file), full);
  });
  in_child([&] {
    const json opened = json::parse(call(&Library::create_agent, "full", nullptr, &agent_password));
    ASSERT_EQ(opened["code"], "OK") << opened.dump();
    const uint64_t h = opened["value"]["handle"].get<uint64_t>();
    EXPECT_EQ(json::parse(call(&Library::list_dids, h))["value"].size(), 2u);
    EXPECT_EQ(fetched(h, ("a" + std::string(1000, 'k')).c_str()), ok_data("QUJD"));
    EXPECT_LE(fs::file_size(file), kBound);
  });
}

// Where the JSON object that starts at `begin` of `text` ends (one past its "}").
std::size_t end_of_object(const std::string& text, std::size_t begin) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = begin; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      return i + 1;
    }
  }
  return std::string::npos;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// What tells whether a file was written: every write renames a new file into place.
struct FileIdentity {
  ino_t inode = 0;
  off_t size = 0;
  bool operator==(const FileIdentity&) const = default;
};
FileIdentity identity_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return {st.st_ino, st.st_size};
}

// A wallet with no room left for another DID below the bound, not even in the room kept
// for openings (as older versions could leave one, or as the openings themselves fill
// it): every opening without a seed answers OK and writes nothing, with a WARN, and its
// handle reaches every DID and datum; one with a seed whose DID is not there yet still
// answers IO "File too large".
TEST_F(WalletFiles, AWalletWithNoRoomForAnotherDidOpensWithoutASeedForEverAndWritesNothing) {
  constexpr std::size_t kBound = std::size_t{256} << 20;
  const std::string file = wallet_file("full");
  in_child([&] { EXPECT_EQ(call(&Library::wallet_store_data, open("full"), "k", "QUJD"), R"({"code":"OK"})"); });
  {
    // Padded to 1,500 bytes below the bound by a copy of the datum's record under a long
    // name: room for one DID without a seed (under 1 KiB), not for two.
    std::string text = test::read_file(file);
    const std::string member = "\"k::String\":";
    const std::size_t begin = text.find(member) + member.size();
    ASSERT_GE(begin, member.size());
    const std::string record = text.substr(begin, end_of_object(text, begin) - begin);
    const std::size_t unpadded = text.size() + std::strlen(",\"\":") + record.size();
    text.insert(text.size() - 1, ",\"" + std::string(kBound - 1500 - unpadded, 'p') + "\":" + record);
    ASSERT_EQ(text.size(), kBound - 1500);
    test::write_file(file, text);
  }
  const auto open_full = [](const char* seed) {
    return json::parse(call(&Library::create_agent, "full", seed, &agent_password));
  };
  // The first opening takes the last room there is.
  in_child([&] {
    const json opened = open_full(nullptr);
    ASSERT_EQ(opened["code"], "OK") << opened.dump();
    EXPECT_EQ(json::parse(call(&Library::list_dids, opened["value"]["handle"].get<uint64_t>()))["value"].size(), 2u);
  });
  const FileIdentity full = identity_of(file);
  EXPECT_GT(static_cast<std::size_t>(full.size), kBound - 1500);
  for (int opening = 0; opening < 4; ++opening)
    in_child([&] {
      capture_stdout([] { take(lib().init_logging(2, &capture_log)); });
      const json opened = open_full(nullptr);
      ASSERT_EQ(opened["code"], "OK") << opened.dump();
      const uint64_t h = opened["value"]["handle"].get<uint64_t>();
      EXPECT_EQ(logged("2 brox::brox_wallet::brox_wallet No room left below the wallet file's size bound for a new "
                       "DID: opened without adding one"),
                1u);
      const json dids = json::parse(call(&Library::list_dids, h))["value"];
      EXPECT_EQ(dids.size(), 2u);
      for (const auto& did : dids)
        EXPECT_EQ(json::parse(call(&Library::sign_with_did, h, did["id"].get<std::string>().c_str(), "QUJD"))["code"],
                  "OK");
      EXPECT_EQ(fetched(h, "k"), ok_data("QUJD"));
    });
  EXPECT_EQ(identity_of(file), full);
  in_child([&] {
    // The host asked for this DID: there is no room for it.
    EXPECT_EQ(open_full("a seed whose DID the wallet does not hold yet"), os_failure(EFBIG, "FileTooLarge"));
    // The DID of a seed that is there is found, as always.
    EXPECT_EQ(open_full(kSeed.c_str())["code"], "OK");
  });
  EXPECT_EQ(identity_of(file), full);
}

// The agent's password callback for the create_did below: on the thread that marked
// itself, it waits, once asked, until the test lets it answer.
thread_local bool t_wait_when_asked = false;
std::promise<void>* g_did_asking = nullptr;
std::shared_future<void> g_did_may_answer;
const char* password_waiting_on_marked_thread() {
  if (t_wait_when_asked) {
    t_wait_when_asked = false;
    g_did_asking->set_value();
    g_did_may_answer.wait();
  }
  return g_password.load();
}

// A create_did near the bound whose room stores on another thread take while it seals
// (its password callback waits for them): its key pair and its description are checked
// for room together and written together, so it stores both or neither.
TEST_F(WalletFiles, ACreateDidBesideStoresNearTheBoundNeverStoresHalfADid) {
  constexpr std::size_t kBound = std::size_t{256} << 20;
  constexpr std::size_t kReserve = std::size_t{16} << 10;
  const std::string file = wallet_file("near");
  in_child([&] {
    const json opened = json::parse(call(&Library::create_agent, "near", kSeed.c_str(), &password_waiting_on_marked_thread));
    ASSERT_EQ(opened["code"], "OK") << opened.dump();
    const uint64_t h = opened["value"]["handle"].get<uint64_t>();
    const auto size = [&] { return static_cast<std::size_t>(fs::file_size(file)); };
    // What one DID takes, and its description alone.
    std::size_t before = size();
    ASSERT_EQ(json::parse(call(&Library::create_did, h, nullptr))["code"], "OK");
    const std::size_t did = size() - before;
    std::size_t description = 0;
    const json small = json::parse(test::read_file(file));
    for (const auto& [name, record] : small.items())
      if (name.ends_with("::DIDInfo")) description = std::max(description, name.size() + 3 + record.dump().size());
    ASSERT_GT(description, 100u);
    // A stored key takes twice its length in the file, and a part that does not depend on it.
    const auto store_key = [&](char tag, std::size_t length) {
      const std::string key = tag + std::string(length, 'k');
      return call(&Library::wallet_store_data, h, key.c_str(), "QUJD");
    };
    before = size();
    ASSERT_EQ(store_key('a', 1000), R"({"code":"OK"})");
    const std::size_t fixed = size() - before - 2 * 1000 - 1;
    // Room for the key pair, and for half the description besides: not for the DID.
    const std::size_t room = did - description / 2;
    const auto leave = [&](char tag, std::size_t free) {
      return store_key(tag, (kBound - kReserve - size() - free - fixed - 1) / 2);
    };
    ASSERT_EQ(leave('b', room + 20000), R"({"code":"OK"})");

    std::promise<void> asking, may_answer;
    g_did_asking = &asking;
    g_did_may_answer = may_answer.get_future().share();
    std::string created;
    std::thread creating([&] {
      t_wait_when_asked = true;
      created = call(&Library::create_did, h, nullptr);
    });
    asking.get_future().wait();
    ASSERT_EQ(leave('c', room), R"({"code":"OK"})");
    const std::size_t free = kBound - kReserve - size();
    EXPECT_GT(free, did - description);
    EXPECT_LT(free, did);
    may_answer.set_value();
    creating.join();
    EXPECT_EQ(json::parse(created), os_failure(EFBIG, "FileTooLarge"));
    const std::string text = test::read_file(file);
    EXPECT_EQ(occurrences(text, "::KeyPair\":{"), 2u);
    EXPECT_EQ(occurrences(text, "::DIDInfo\":{"), 2u);
    EXPECT_EQ(json::parse(call(&Library::list_dids, h))["value"].size(), 2u);
  });
}

}  // namespace
}  // namespace velno::host
