#include "storage/wallet_path.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>

#include "storage_fixture.hpp"

namespace velno::test {
namespace {

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

// The JSON form of one record, as the wallet file writes it.
std::string record_text(const InternalStorageRecord& r) {
  std::string whole = serialize_wallet(RecordMap{{"k", r}});
  return whole.substr(5, whole.size() - 6);  // strip {"k": and }
}

TEST(WalletPathJoin, Rule) {
  struct Case {
    const char* first;
    const char* second;
    const char* joined;
  } cases[] = {
      {"/h", "brox-wallet", "/h/brox-wallet"},
      {"/h/", "brox-wallet", "/h/brox-wallet"},
      {"", "b", "b"},
      {"/h", "/abs", "/abs"},
      {"/h/brox-wallet", "./w.json", "/h/brox-wallet/./w.json"},
      {"rel", "./w.json", "rel/./w.json"},
  };
  for (const Case& c : cases) EXPECT_EQ(join_path(c.first, c.second), c.joined) << c.first << " + " << c.second;
}

TEST_F(StorageTest, ResolveKeepsTheDotAndCreatesTheDirectoryAtEveryAccess) {
  LogCapture& log = LogCapture::install();
  const std::string dir = wallet_dir();
  EXPECT_EQ(resolve_wallet_path("w"), dir + "/./w.json");
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_TRUE(log.has("5 brox_fs::utils::wallet_path Directory " + dir + " does not exist. Create it"));
  EXPECT_TRUE(log.has("5 brox_fs::utils::wallet_path Constructed path: " + dir));

  std::filesystem::remove_all(dir);
  log.clear();
  ASSERT_TRUE(create_wallet_file("w").ok());
  EXPECT_TRUE(file_exists(dir + "/w.json"));
  EXPECT_TRUE(log.has("4 brox_fs::utils::wallet_path Try to create a file " + dir + "/./w.json"));

  // An existing directory is not created again; a home ending in "/" gets no second one.
  ASSERT_TRUE(set_local_dir(home_.path() + "/").ok());
  log.clear();
  EXPECT_EQ(resolve_wallet_path("w"), dir + "/./w.json");
  EXPECT_FALSE(log.has("5 brox_fs::utils::wallet_path Directory " + dir + " does not exist. Create it"));
  EXPECT_TRUE(log.has("5 brox_fs::utils::wallet_path Constructed path: " + dir));
}

TEST_F(StorageTest, ReadWalletFileContents) {
  const InternalStorageRecord a = make_record("a", {{"n", 1}});
  const InternalStorageRecord b = make_record("a", {{"n", 2}});
  struct Case {
    std::string content;
    std::size_t records;         // when it reads
    const char* error;           // else the kind's name and the message
    const char* message;
  } cases[] = {
      {"", 0, nullptr, nullptr},
      {"{}", 0, nullptr, nullptr},
      {" \t{}\r\n", 0, nullptr, nullptr},
      {"\n", 0, "JsonProcessing", "EOF while parsing a value at line 2 column 1"},
      {"null", 0, "JsonProcessing", "invalid type: null, expected a map at line 1 column 1"},
      {"[]", 0, "JsonProcessing", "invalid type: sequence, expected a map at line 1 column 1"},
      {"\"w\"", 0, "JsonProcessing", "invalid type: string \"w\", expected a map at line 1 column 1"},
      {"{} x", 0, "JsonProcessing", "trailing characters at line 1 column 4"},
      {"{\"\xff\":1}", 0, "IO", "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }"},
      {"{\"a::Did\":" + record_text(a) + ",\"other\":" + record_text(b) + "}", 2, nullptr, nullptr},
  };
  ASSERT_EQ(resolve_wallet_path(kName), wallet_file());
  for (const Case& c : cases) {
    write_file(wallet_file(), c.content);
    auto read = read_wallet_file(kName);
    if (c.error == nullptr) {
      ASSERT_TRUE(read.ok()) << c.content << ": " << read.error().raw_message();
      EXPECT_EQ(read->size(), c.records) << c.content;
    } else {
      ASSERT_FALSE(read.ok()) << c.content;
      EXPECT_EQ(kind_name(read.error().kind()), c.error) << c.content;
      EXPECT_EQ(read.error().raw_message(), c.message) << c.content;
    }
  }
  // Member names are the map keys as written; a later duplicate replaces the earlier.
  write_file(wallet_file(), "{\"x\":" + record_text(a) + ",\"x\":" + record_text(b) + ",\"A::Did\":" + record_text(a) + "}");
  auto read = read_wallet_file(kName);
  ASSERT_TRUE(read.ok()) << read.error().raw_message();
  ASSERT_EQ(read->size(), 2u);
  EXPECT_EQ(read->at("x"), b);
  EXPECT_EQ(read->at("A::Did").key.raw_key, "a");
}

TEST_F(StorageTest, ReadRefusesMissingFilesDirectoriesAndReadOnlyFiles) {
  auto missing = read_wallet_file(kName);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), DidErrorKind::IO);
  EXPECT_NE(missing.error().raw_message().find("NotFound"), std::string::npos) << missing.error().raw_message();

  std::filesystem::create_directories(wallet_file("dir"));
  auto dir = read_wallet_file("dir");
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().kind(), DidErrorKind::IO);

  // A FIFO opened for reading and writing does not block, but a read of it would.
  ASSERT_EQ(::mkfifo(wallet_file("fifo").c_str(), 0600), 0);
  auto fifo = read_wallet_file("fifo");
  ASSERT_FALSE(fifo.ok());
  EXPECT_EQ(fifo.error().raw_message(), "Error { kind: InvalidInput, message: \"not a regular file\" }");

  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  write_file(wallet_file(), "{}");
  ::chmod(wallet_file().c_str(), 0400);
  auto read_only = read_wallet_file(kName);
  ASSERT_FALSE(read_only.ok());
  EXPECT_EQ(read_only.error().kind(), DidErrorKind::IO);
}

TEST_F(StorageTest, CreateMakesAnEmptyPrivateFileAndKeepsAnExistingOne) {
  ASSERT_TRUE(create_wallet_file(kName).ok());
  EXPECT_EQ(read_file(wallet_file()), "");
  EXPECT_EQ(mode_of(wallet_file()), 0600u);
  write_file(wallet_file(), "{}");
  ASSERT_TRUE(create_wallet_file(kName).ok());
  EXPECT_EQ(read_file(wallet_file()), "{}");

  // A name with a missing directory below "brox-wallet".
  auto nested = create_wallet_file("no/such");
  ASSERT_FALSE(nested.ok());
  EXPECT_EQ(nested.error().kind(), DidErrorKind::IO);
}

TEST_F(StorageTest, WriteReplacesTheFileWholeAndLeavesNoTemporaryFile) {
  LogCapture& log = LogCapture::install();
  ASSERT_TRUE(write_wallet_file({}, kName).ok());
  EXPECT_EQ(read_file(wallet_file()), "{}");
  EXPECT_TRUE(log.has("5 brox_fs::utils::wallet_path Write wallet file " + wallet_file()));

  const InternalStorageRecord r = make_record("did1", "v");
  ASSERT_TRUE(write_wallet_file({{"did1::Did", r}}, kName).ok());
  EXPECT_EQ(read_file(wallet_file()), "{\"did1::Did\":" + record_text(r) + "}");
  EXPECT_EQ(mode_of(wallet_file()), 0600u);
  EXPECT_EQ(dir_entries(wallet_dir()), std::vector<std::string>{std::string(kName) + ".json"});
}

TEST_F(StorageTest, FailedWritesLeaveNoTemporaryFile) {
  // The wallet path names a directory: the rename fails.
  std::filesystem::create_directories(wallet_file("dir"));
  auto onto_dir = write_wallet_file({}, "dir");
  ASSERT_FALSE(onto_dir.ok());
  EXPECT_EQ(onto_dir.error().kind(), DidErrorKind::IO);
  EXPECT_EQ(dir_entries(wallet_dir()), std::vector<std::string>{"dir.json"});

  // "brox-wallet" is a regular file: the directory cannot be made, and the write fails.
  std::filesystem::remove_all(wallet_dir());
  write_file(wallet_dir(), "");
  LogCapture& log = LogCapture::install();
  auto blocked = write_wallet_file({}, kName);
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.error().kind(), DidErrorKind::IO);
  EXPECT_TRUE(log.has("1 brox_fs::utils::wallet_path Couldn't create dir " + wallet_dir()));
  EXPECT_EQ(read_file(wallet_dir()), "");
}

// The JSON writer would replace bytes that are not UTF-8 with U+FFFD: the file would not
// give back what it was given, so the write is refused, whichever text holds them.
TEST_F(StorageTest, WriteRefusesTextsThatAreNotUtf8InsteadOfAlteringThem) {
  const InternalStorageRecord kept = make_record("k\xef\xbf\xbd", {{"\xc3\xa9", "\xef\xbf\xbd"}});
  const RecordMap good{{"k\xef\xbf\xbd::Did", kept}};
  ASSERT_TRUE(write_wallet_file(good, kName).ok());
  const std::string before = read_file(wallet_file());
  EXPECT_EQ(*read_wallet_file(kName), good);

  InternalStorageRecord tagged = make_record("k", 1);
  tagged.tags = Tags{{"t", "v\xff"}};
  const struct {
    const char* where;
    RecordMap records;
  } cases[] = {
      {"member name", {{"k\xff::Did", make_record("k", 1)}}},
      {"record key", {{"k::Did", make_record("k\xff", 1)}}},
      {"tag", {{"k::Did", tagged}}},
      {"nested data", {{"k::Did", make_record("k", {{"a", {1, "v\xff"}}})}}},
      {"data member name", {{"k::Did", make_record("k", {{"\xff", 1}})}}},
  };
  for (const auto& c : cases) {
    RecordMap records = good;
    records.insert(c.records.begin(), c.records.end());
    auto written = write_wallet_file(records, kName);
    ASSERT_FALSE(written.ok()) << c.where;
    EXPECT_EQ(written.error().kind(), DidErrorKind::EncodingError) << c.where;
    EXPECT_NE(written.error().raw_message().find("invalid utf-8 sequence of 1 bytes from index "), std::string::npos)
        << c.where << ": " << written.error().raw_message();
    EXPECT_EQ(read_file(wallet_file()), before) << c.where;
    EXPECT_EQ(dir_entries(wallet_dir()), std::vector<std::string>{std::string(kName) + ".json"}) << c.where;
  }
}

// Opening removes the temporary files of this wallet and of its undo file, as earlier
// versions named them too, and leaves everything else.
TEST_F(StorageTest, OpeningRemovesTheLeftOverTemporaryFilesOfItsWalletOnly) {
  LogCapture& log = LogCapture::install();
  std::filesystem::create_directories(wallet_dir());
  const std::string outside = home_.path() + "/outside.json";
  write_file(outside, "outside");
  const struct {
    const char* name;
    bool removed;
  } files[] = {
      {"qxdwallet_t.json.123.4.5678.tmp", true},
      {"qxdwallet_t-undo.json.9.0.1.tmp", true},
      {"qxdwallet_t-undo.json", false},
      {"qxdwallet_tt.json.1.2.3.tmp", false},
      {"qxdwallet_t.json.1.2.tmp", false},
      {"qxdwallet_t.json.1.2.x.tmp", false},
      {"qxdwallet_t.json.1..3.tmp", false},
      {"qxdwallet_t.json.1.2.3.tmp.bak", false},
      {".velno-tmp-0000000000000000-0000000000000000-0000000000000000", false},  // not this wallet's digest
  };
  for (const auto& f : files) write_file(wallet_dir() + "/" + f.name, "{}");
  // Named like left-overs, but not files: kept, and a link's target untouched.
  std::filesystem::create_directories(wallet_dir() + "/qxdwallet_t.json.7.8.9.tmp");
  ASSERT_EQ(::symlink(outside.c_str(), (wallet_dir() + "/qxdwallet_t.json.4.5.6.tmp").c_str()), 0);

  BroxFileSystemStorage storage(kName);
  ASSERT_TRUE(storage.open(kName).ok());
  for (const auto& f : files) EXPECT_EQ(file_exists(wallet_dir() + "/" + f.name), !f.removed) << f.name;
  EXPECT_TRUE(std::filesystem::is_directory(wallet_dir() + "/qxdwallet_t.json.7.8.9.tmp"));
  EXPECT_TRUE(std::filesystem::is_symlink(wallet_dir() + "/qxdwallet_t.json.4.5.6.tmp"));
  EXPECT_EQ(read_file(outside), "outside");
  EXPECT_TRUE(log.has("3 brox_fs::utils::wallet_path Removed left-over temporary file " + wallet_dir() +
                      "/./qxdwallet_t.json.123.4.5678.tmp"));
}

// Restores the file-size limit and SIGXFSZ when the test ends.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = saved_;
    lim.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
  }
  ~FileSizeLimit() { lift(); }
  void lift() {
    if (lifted_) return;
    lifted_ = true;
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = SIG_DFL;
  bool lifted_ = false;
};

TEST_F(StorageTest, WriteFailingPartWayKeepsTheOldWalletByteForByte) {
  RecordMap records{{"a::Did", make_record("a", "small")}};
  ASSERT_TRUE(write_wallet_file(records, kName).ok());
  const std::string old = read_file(wallet_file());

  records.emplace("b::Did", make_record("b", std::string(8192, 'x')));
  FileSizeLimit limit(4096);  // the first write call is cut short, the next fails
  auto failed = write_wallet_file(records, kName);
  limit.lift();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), DidErrorKind::IO);
  EXPECT_NE(failed.error().raw_message().find("code: " + std::to_string(EFBIG)), std::string::npos)
      << failed.error().raw_message();
  EXPECT_EQ(read_file(wallet_file()), old);
  EXPECT_EQ(dir_entries(wallet_dir()), std::vector<std::string>{std::string(kName) + ".json"});

  ASSERT_TRUE(write_wallet_file(records, kName).ok());
  auto read = read_wallet_file(kName);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, records);
}

// A writer killed at any moment leaves the wallet of one completed write, and never one
// older than the last write it finished.
TEST_F(StorageTest, KilledWriterLeavesACompleteWallet) {
  std::mt19937 rng(20261210);
  long next = 0;
  for (int round = 0; round < 40; ++round) {
    int acks[2];
    ASSERT_EQ(::pipe(acks), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(acks[0]);
      BroxFileSystemStorage storage(kName);
      if (!storage.open(kName).ok()) ::_exit(2);
      for (long seq = next;; ++seq) {
        if (!storage.add_record(make_record("rec-" + std::to_string(seq), seq)).ok()) ::_exit(3);
        if (::write(acks[1], &seq, sizeof seq) != sizeof seq) ::_exit(4);
      }
    }
    ::close(acks[1]);
    long acked = -1, seq;
    ASSERT_EQ(::read(acks[0], &acked, sizeof acked), static_cast<ssize_t>(sizeof acked)) << "writer failed";
    ::usleep(std::uniform_int_distribution<useconds_t>(0, 4000)(rng));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself: " << status;
    while (::read(acks[0], &seq, sizeof seq) == static_cast<ssize_t>(sizeof seq)) acked = seq;
    ::close(acks[0]);

    auto read = read_wallet_file(kName);
    ASSERT_TRUE(read.ok()) << "round " << round << ": " << read.error().raw_message();
    const long last = static_cast<long>(read->size()) - 1;
    ASSERT_GE(last, acked) << "round " << round;
    for (long i = 0; i <= last; ++i) {
      auto found = read->find("rec-" + std::to_string(i) + "::Did");
      ASSERT_NE(found, read->end()) << "round " << round << " lacks record " << i;
      EXPECT_EQ(found->second.record_object, i);
    }
    next = last + 1;
  }
}

}  // namespace
}  // namespace velno::test
