// The filesystem store: layout, creation, crash-safe writes, the listing's
// filters and limit, and every failure text.
#include "storage/filesystem_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "base/cancellation.h"
#include "receipts/json_adapter.h"
#include "storage/file_names.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::read_file;

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "qm-store-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Uuid rid_of(uint8_t n) {
  Uuid id{};
  id.fill(n);
  id[6] = 0x40;
  id[8] = 0x80;
  return id;
}

struct ExecFields {
  uint8_t id;
  std::string trace = "trace-a";
  std::string workload = "w1";
  std::string timestamp = "2025-01-02T03:04:05Z";
  std::optional<std::string> policy_ref = std::nullopt;
  std::optional<std::string> change_epoch = std::nullopt;
  std::optional<Bytes32> pac = std::nullopt;
};

Receipt exec_receipt(const ExecFields& s) {
  const std::string h = "sha256:" + std::string(64, 'a');
  ExecutionPayload p;
  p.trace_id = s.trace;
  p.method_ref = {s.workload, "0.1.0", h};
  p.data_shape_hash = h;
  p.span_commitments = {h};
  p.roots = {h, h, h};
  p.change_epoch = s.change_epoch;
  p.pac = s.pac;
  Receipt r;
  r.rid = rid_of(s.id);
  r.version = "0.1.0";
  r.dom = h;
  r.cod = h;
  r.ctx.timestamp = s.timestamp;
  r.ctx.policy_ref = s.policy_ref;
  r.payload = std::move(p);
  r.hash = h;
  return r;
}

Receipt data_shape_receipt(uint8_t id) {
  Receipt r = exec_receipt({.id = id});
  r.payload = DataShapePayload{"sha256:" + std::string(64, 'b'), std::nullopt};
  return r;
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string file_name(const Receipt& r) {
  return uuid_to_string(r.rid) + ".json";
}

std::vector<Uuid> rids(const std::vector<Receipt>& receipts) {
  std::vector<Uuid> out;
  for (const auto& r : receipts) out.push_back(r.rid);
  return out;
}

std::shared_ptr<FilesystemStore> open_store(const std::string& base) {
  auto store = FilesystemStore::create(base);
  EXPECT_TRUE(store.has_value()) << (store ? "" : store.error().display());
  return store.value_or(nullptr);
}

// ---- Error texts and name rules ----

TEST(StorageError, DisplaysPrefixAndText) {
  EXPECT_EQ(StorageError::database("x").display(), "Database error: x");
  EXPECT_EQ(StorageError::serialization("x").display(), "Serialization error: x");
  EXPECT_EQ(StorageError::compression("x").display(), "Compression error: x");
  EXPECT_EQ(StorageError::not_found("x").display(), "Not found: x");
  EXPECT_EQ(StorageError::invalid_input("x").display(), "Invalid input: x");
  EXPECT_EQ(StorageError::io("x").display(), "I/O error: x");
}

TEST(FilesystemStore, JsonExtensionRule) {
  for (const char* yes :
       {"a.json", "..json", "x.y.json", "6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40.json"}) {
    EXPECT_TRUE(is_receipt_file_name(yes)) << yes;
  }
  for (const char* no : {".json", "json", "a.JSON", "a.json.tmp", "a.jsonx", "notes.txt", "a.",
                         ".a.json.tmp.12.ab", "a.json "}) {
    EXPECT_FALSE(is_receipt_file_name(no)) << no;
  }
}

// ---- Creation ----

TEST(FilesystemStore, CreatesMissingBaseAndReopensWithEarlierFiles) {
  TempDir tmp;
  const std::string base = tmp.path() + "/a/b/c";
  auto store = open_store(base);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->base_path(), base);
  EXPECT_EQ(store->receipts_dir(), base + "/receipts");
  EXPECT_TRUE(fs::is_directory(base + "/receipts"));
  ASSERT_TRUE(store->store_receipt(exec_receipt({.id = 1})));

  auto again = open_store(base + "/");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->receipts_dir(), base + "/receipts");
  auto listed = again->query_receipts({});
  ASSERT_TRUE(listed);
  EXPECT_EQ(rids(*listed), std::vector<Uuid>{rid_of(1)});
}

TEST(FilesystemStore, EmptyBaseMeansRelativeReceiptsDirectory) {
  TempDir tmp;
  const fs::path before = fs::current_path();
  fs::current_path(tmp.path());
  auto store = FilesystemStore::create("");
  fs::current_path(before);
  ASSERT_TRUE(store);
  EXPECT_EQ((*store)->receipts_dir(), "receipts");
  EXPECT_TRUE(fs::is_directory(tmp.path() + "/receipts"));
}

TEST(FilesystemStore, CreationFailureNamesDirectoryAndOsError) {
  TempDir tmp;
  write_file(tmp.path() + "/file", "x");
  for (const std::string& base : {tmp.path() + "/file", tmp.path() + "/file/deeper"}) {
    auto store = FilesystemStore::create(base);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().display(), "I/O error: Failed to create receipts directory " + base +
                                           "/receipts: Not a directory (os error 20)");
  }
}

TEST(FilesystemStore, NulInBasePathIsRefusedWithoutTouchingTheFileSystem) {
  TempDir tmp;
  const std::string base = tmp.path() + "/a" + std::string(1, '\0') + "b";
  auto store = FilesystemStore::create(base);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().display(), "I/O error: Failed to create receipts directory " + base +
                                         "/receipts: file name contained an unexpected NUL byte");
  EXPECT_FALSE(fs::exists(tmp.path() + "/a"));
}

TEST(FilesystemStore, DirectoryAndFileModesFollowTheUmask) {
  TempDir tmp;
  const mode_t old = ::umask(027);
  auto store = FilesystemStore::create(tmp.path() + "/s");
  const bool stored = store && (*store)->store_receipt(exec_receipt({.id = 1})).has_value();
  ::umask(old);
  ASSERT_TRUE(stored);
  struct stat st;
  ASSERT_EQ(::stat((tmp.path() + "/s/receipts").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  ASSERT_EQ(
      ::stat(((*store)->receipts_dir() + "/" + file_name(exec_receipt({.id = 1}))).c_str(), &st),
      0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// ---- Writing ----

TEST(FilesystemStore, WritesExactlyTheJsonTextUnderTheRid) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  const Receipt a = exec_receipt({.id = 0xAB});
  const Receipt b = exec_receipt({.id = 0x01, .trace = "other"});
  ASSERT_TRUE(store->store_receipt(a));
  ASSERT_TRUE(store->store_receipt(a));
  ASSERT_TRUE(store->store_receipt(b));
  EXPECT_EQ(names_in(store->receipts_dir()), (std::set<std::string>{file_name(a), file_name(b)}));
  EXPECT_EQ(file_name(a), "abababab-abab-40ab-80ab-abababababab.json");
  EXPECT_EQ(read_file(store->receipts_dir() + "/" + file_name(a)), receipt_to_json(a).value());
}

TEST(FilesystemStore, SameRidReplacesTheFile) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->store_receipt(exec_receipt({.id = 7, .trace = "first"})));
  const Receipt second = exec_receipt({.id = 7, .trace = "second"});
  ASSERT_TRUE(store->store_receipt(second));
  auto listed = store->query_receipts({});
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ((*listed)[0], second);
  EXPECT_EQ(names_in(store->receipts_dir()).size(), 1u);
}

TEST(FilesystemStore, RemovedReceiptsDirectoryFailsBothWaysAndIsNotRecreated) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  fs::remove_all(store->receipts_dir());
  const Receipt r = exec_receipt({.id = 3});
  auto stored = store->store_receipt(r);
  ASSERT_FALSE(stored);
  EXPECT_EQ(stored.error().display(), "I/O error: Failed to write receipt to " +
                                          store->receipts_dir() + "/" + file_name(r) +
                                          ": No such file or directory (os error 2)");
  EXPECT_FALSE(fs::exists(store->receipts_dir()));
  auto listed = store->query_receipts({});
  ASSERT_FALSE(listed);
  EXPECT_EQ(listed.error().display(), "I/O error: Failed to read receipts directory " +
                                          store->receipts_dir() +
                                          ": No such file or directory (os error 2)");
  // The store stays usable once the directory is back.
  fs::create_directory(store->receipts_dir());
  EXPECT_TRUE(store->store_receipt(r));
}

TEST(FilesystemStore, FailedRenameLeavesNoTemporaryFile) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  const Receipt r = exec_receipt({.id = 9});
  fs::create_directory(store->receipts_dir() + "/" + file_name(r));
  auto stored = store->store_receipt(r);
  ASSERT_FALSE(stored);
  EXPECT_EQ(stored.error().display(), "I/O error: Failed to write receipt to " +
                                          store->receipts_dir() + "/" + file_name(r) +
                                          ": Is a directory (os error 21)");
  EXPECT_EQ(names_in(store->receipts_dir()), std::set<std::string>{file_name(r)});
}

// A write cut short (here by the file size limit, as a full disk would) keeps the
// earlier receipt whole and leaves no temporary file behind.
TEST(FilesystemStore, FailedWriteKeepsThePreviousReceipt) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  const Receipt first = exec_receipt({.id = 5, .trace = "first"});
  ASSERT_TRUE(store->store_receipt(first));
  const std::string path = store->receipts_dir() + "/" + file_name(first);
  const std::string before = read_file(path);

  rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto stored = store->store_receipt(exec_receipt({.id = 5, .trace = "second"}));
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(stored);
  EXPECT_EQ(stored.error().display(),
            "I/O error: Failed to write receipt to " + path + ": File too large (os error 27)");
  EXPECT_EQ(read_file(path), before);
  EXPECT_EQ(names_in(store->receipts_dir()), std::set<std::string>{file_name(first)});
}

TEST(FilesystemStore, UnwritableReceiptIsASerializationErrorAndWritesNothing) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  Receipt r = exec_receipt({.id = 2});
  CborMap map;
  map.entries.push_back({GenericValue(CborArray{}), GenericValue(1.0)});
  r.attest = GenericValue(std::move(map));
  auto stored = store->store_receipt(r);
  ASSERT_FALSE(stored);
  EXPECT_EQ(stored.error().display(), "Serialization error: JSON serialization failed: " +
                                          receipt_to_json(r).error().display());
  EXPECT_EQ(stored.error().display(),
            "Serialization error: JSON serialization failed: JSON serialization failed: key must "
            "be a string");
  EXPECT_TRUE(names_in(store->receipts_dir()).empty());
}

TEST(FilesystemStore, NoTemporaryFilesAfterManyWrites) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  std::set<std::string> expected;
  for (uint8_t i = 0; i < 40; ++i) {
    const Receipt r = exec_receipt({.id = static_cast<uint8_t>(i % 20)});
    ASSERT_TRUE(store->store_receipt(r));
    expected.insert(file_name(r));
  }
  EXPECT_EQ(names_in(store->receipts_dir()), expected);
}

// ---- Listing ----

TEST(FilesystemStore, IgnoresOtherNamesAndWarnsOncePerUnparseableFile) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->store_receipt(exec_receipt({.id = 1})));
  const std::string dir = store->receipts_dir();
  write_file(dir + "/notes.txt", "{");
  write_file(dir + "/.json", "{");
  write_file(dir + "/a.json.tmp.1.2", "{");
  fs::create_directory(dir + "/sub");
  write_file(dir + "/bad.json", "{");

  testing::internal::CaptureStderr();
  auto listed = store->query_receipts({});
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(listed);
  EXPECT_EQ(rids(*listed), std::vector<Uuid>{rid_of(1)});
  const std::string prefix =
      "Warning: Failed to parse receipt file " + dir + "/bad.json: JSON deserialization failed: ";
  EXPECT_EQ(err.rfind(prefix, 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  EXPECT_EQ(err.back(), '\n');
}

TEST(FilesystemStore, ReadFailuresFailTheWholeQuery) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"subdirectory", [](const std::string& d) { fs::create_directory(d + "/x.json"); },
       "I/O error: Failed to read receipt file: Is a directory (os error 21)"},
      {"invalid UTF-8",
       [](const std::string& d) { write_file(d + "/u.json", "{\"rid\":\"\xff\"}"); },
       "I/O error: Failed to read receipt file: stream did not contain valid UTF-8"},
      {"truncated sequence", [](const std::string& d) { write_file(d + "/u.json", "\xE2\x82"); },
       "I/O error: Failed to read receipt file: stream did not contain valid UTF-8"},
      {"dangling link",
       [](const std::string& d) { fs::create_symlink(d + "/gone", d + "/l.json"); },
       "I/O error: Failed to read receipt file: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    auto store = open_store(tmp.path());
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->store_receipt(exec_receipt({.id = 1})));
    c.make(store->receipts_dir());
    auto listed = store->query_receipts({});
    ASSERT_FALSE(listed) << c.what;
    EXPECT_EQ(listed.error().display(), c.message) << c.what;
  }
}

TEST(FilesystemStore, ReadsFilesPutThereByOtherMeans) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  const Receipt r = exec_receipt({.id = 4});
  // The file name is not interpreted: the identity comes from the content.
  write_file(store->receipts_dir() + "/anything.json", receipt_to_json(r).value());
  // A big file exercises the read path beyond the usual receipt size.
  Receipt big = exec_receipt({.id = 6, .trace = std::string(300000, 't')});
  write_file(store->receipts_dir() + "/big.json", receipt_to_json(big).value());
  auto listed = store->query_receipts({});
  ASSERT_TRUE(listed);
  std::set<Uuid> got;
  for (const auto& x : *listed) got.insert(x.rid);
  EXPECT_EQ(got, (std::set<Uuid>{rid_of(4), rid_of(6)}));
  for (const auto& x : *listed) EXPECT_EQ(x, x.rid == rid_of(4) ? r : big);
}

// ---- Filters ----

Bytes32 pac_of(uint8_t n) {
  Bytes32 b{};
  b.fill(n);
  return b;
}

class QueryFilters : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = open_store(tmp_.path());
    ASSERT_TRUE(store_);
    const std::vector<Receipt> receipts = {
        exec_receipt(
            {.id = 1, .trace = "t1", .workload = "w1", .timestamp = "2025-01-02T03:04:05Z"}),
        exec_receipt({.id = 2,
                      .trace = "t1",
                      .workload = "w2",
                      .timestamp = "2025-01-02T03:04:06.999+00:00",
                      .policy_ref = "pol:a/b@1.0.0"}),
        exec_receipt({.id = 3,
                      .trace = "t2",
                      .workload = "w1",
                      .timestamp = "2025-01-02T05:04:07+02:00",
                      .change_epoch = "e1",
                      .pac = pac_of(7)}),
        exec_receipt({.id = 4,
                      .trace = "t2",
                      .workload = "w2",
                      .timestamp = "not a time",
                      .policy_ref = "pol:a/b@1.0.0",
                      .change_epoch = "e2",
                      .pac = pac_of(8)}),
        data_shape_receipt(5),
    };
    for (const auto& r : receipts) ASSERT_TRUE(store_->store_receipt(r));
  }

  std::set<int> ids(ReceiptQuery q) {
    auto listed = store_->query_receipts(std::move(q));
    EXPECT_TRUE(listed);
    std::set<int> out;
    for (const auto& r : listed.value_or(std::vector<Receipt>{})) out.insert(r.rid[0]);
    return out;
  }

  TempDir tmp_;
  std::shared_ptr<FilesystemStore> store_;
};

constexpr int64_t kT5 = 1'735'787'045;  // 2025-01-02T03:04:05Z

TEST_F(QueryFilters, EachFieldAndTheirConjunction) {
  // The data shape receipt (5) carries "w1"-like data but no execution payload.
  EXPECT_EQ(ids({}), (std::set<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(ids({.trace_id = "t1"}), (std::set<int>{1, 2}));
  EXPECT_EQ(ids({.trace_id = "trace-a"}), (std::set<int>{}));
  EXPECT_EQ(ids({.workload_id = "w1"}), (std::set<int>{1, 3}));
  EXPECT_EQ(ids({.workload_id = "w1", .trace_id = "t2"}), (std::set<int>{3}));
  EXPECT_EQ(ids({.workload_id = "W1"}), (std::set<int>{}));
  EXPECT_EQ(ids({.policy_ref = "pol:a/b@1.0.0"}), (std::set<int>{2, 4}));
  EXPECT_EQ(ids({.change_epoch = "e1"}), (std::set<int>{3}));
  EXPECT_EQ(ids({.change_epoch = ""}), (std::set<int>{}));
  EXPECT_EQ(ids({.pac = pac_of(8)}), (std::set<int>{4}));
  EXPECT_EQ(ids({.pac = pac_of(9)}), (std::set<int>{}));
  EXPECT_EQ(ids({.policy_ref = "pol:a/b@1.0.0", .pac = pac_of(7)}), (std::set<int>{}));
}

TEST_F(QueryFilters, TimeBoundsAreInclusiveWholeSecondsInUtc) {
  // Timestamps: 1 at kT5, 2 at kT5+1 (fraction dropped), 3 at kT5+2 (offset +02:00),
  // 4 unparseable, 5 at kT5.
  EXPECT_EQ(ids({.start_time = kT5}), (std::set<int>{1, 2, 3, 5}));
  EXPECT_EQ(ids({.start_time = kT5 + 1}), (std::set<int>{2, 3}));
  EXPECT_EQ(ids({.end_time = kT5 + 1}), (std::set<int>{1, 2, 5}));
  EXPECT_EQ(ids({.start_time = kT5 + 1, .end_time = kT5 + 1}), (std::set<int>{2}));
  EXPECT_EQ(ids({.start_time = kT5 + 2, .end_time = kT5 + 2}), (std::set<int>{3}));
  EXPECT_EQ(ids({.start_time = kT5 + 3}), (std::set<int>{}));
  EXPECT_EQ(ids({.start_time = kT5 + 1, .end_time = kT5}), (std::set<int>{}));
  EXPECT_EQ(ids({.start_time = INT64_MIN}), (std::set<int>{1, 2, 3, 5}));
  EXPECT_EQ(ids({.trace_id = "t2", .end_time = INT64_MAX}), (std::set<int>{3}));
}

TEST_F(QueryFilters, LimitKeepsTheFirstMatchesInListingOrder) {
  auto all = store_->query_receipts({});
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 5u);
  for (uint64_t limit : {0u, 1u, 2u, 5u, 6u}) {
    auto limited = store_->query_receipts({.limit = limit});
    ASSERT_TRUE(limited);
    const size_t n = std::min<size_t>(limit, 5);
    EXPECT_EQ(rids(*limited), rids(std::vector<Receipt>(all->begin(), all->begin() + n)));
  }
  auto filtered = store_->query_receipts({.workload_id = "w2", .limit = 1});
  ASSERT_TRUE(filtered);
  ASSERT_EQ(filtered->size(), 1u);
  EXPECT_EQ(std::get<ExecutionPayload>((*filtered)[0].payload).method_ref.method_id, "w2");
}

// ---- Concurrency ----

// Writers through one store and readers through another over the same directory:
// a reader never meets a partly written receipt (no warning, never a short list).
TEST(FilesystemStore, ReadersNeverSeeAPartialReceipt) {
  TempDir tmp;
  auto writer = open_store(tmp.path());
  auto reader = open_store(tmp.path());
  ASSERT_TRUE(writer && reader);
  for (uint8_t i = 0; i < 8; ++i) ASSERT_TRUE(writer->store_receipt(exec_receipt({.id = i})));

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread write_thread([&] {
    for (int round = 0; round < 15; ++round) {
      for (uint8_t i = 0; i < 8; ++i) {
        const std::string trace(static_cast<size_t>(100 + (round * 37 + i) % 3000), 'x');
        if (!writer->store_receipt(exec_receipt({.id = i, .trace = trace}))) ++failures;
      }
    }
    done = true;
  });
  testing::internal::CaptureStderr();
  int queries = 0;
  while (!done || queries == 0) {
    auto listed = reader->query_receipts({});
    if (!listed || listed->size() != 8) ++failures;
    ++queries;
  }
  write_thread.join();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(err, "");
}

TEST(FilesystemStore, OneStoreSharedByThreads) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (uint8_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uint8_t i = 0; i < 25; ++i) {
        if (!store->store_receipt(exec_receipt({.id = static_cast<uint8_t>(t * 25 + i)}))) {
          ++failures;
        }
        if (!store->query_receipts({.limit = 3})) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  auto listed = store->query_receipts({});
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->size(), 100u);
}

// ---- File names ----

// Temporary names are recognised as such and never as receipts, whatever the
// rid; receipt names are never taken for temporary ones.
TEST(FileNames, TemporaryNamesAreNeverReceiptNames) {
  std::set<std::string> seen;
  for (uint8_t n : {uint8_t{0x00}, uint8_t{0x01}, uint8_t{0x7f}, uint8_t{0xab}, uint8_t{0xff}}) {
    const std::string receipt = receipt_file_name(rid_of(n));
    EXPECT_TRUE(is_receipt_file_name(receipt)) << receipt;
    EXPECT_FALSE(is_temp_file_name(receipt)) << receipt;
    for (int i = 0; i < 50; ++i) {
      const std::string temp = temp_file_name(uuid_to_string(rid_of(n)));
      EXPECT_TRUE(is_temp_file_name(temp)) << temp;
      EXPECT_FALSE(is_receipt_file_name(temp)) << temp;
      EXPECT_TRUE(seen.insert(temp).second) << temp;
    }
  }
  // The form earlier versions left behind is recognised too.
  EXPECT_TRUE(is_temp_file_name(".abababab-abab-40ab-80ab-abababababab.json.tmp.12.ab"));
  EXPECT_FALSE(is_temp_file_name(".json"));
  EXPECT_FALSE(is_temp_file_name(".abababab-abab-40ab-80ab-abababababab.json"));
}

// ---- Faults and kills ----

Receipt receipt_with_rid(uint32_t a, uint32_t b) {
  Receipt r = exec_receipt({.id = 0});
  for (int i = 0; i < 4; ++i) {
    r.rid[i] = static_cast<uint8_t>(a >> (8 * i));
    r.rid[10 + i] = static_cast<uint8_t>(b >> (8 * i));
  }
  return r;
}

// Every name in the directory is a receipt name, and every receipt lists without
// a warning.
void expect_only_whole_receipts(const std::shared_ptr<FilesystemStore>& store) {
  size_t files = 0;
  for (const auto& name : names_in(store->receipts_dir())) {
    EXPECT_TRUE(is_receipt_file_name(name)) << name;
    ++files;
  }
  testing::internal::CaptureStderr();
  auto listed = store->query_receipts({});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->size(), files);
}

// Writers killed at random points of a store: of new receipts (nothing is ever
// named before it is whole), then of receipts that replace others (where only the
// instant between link and rename holds a temporary name, which the next store
// opened over the directory removes).
TEST(FilesystemStore, KilledWritersLeaveNothingBehind) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  for (uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(store->store_receipt(receipt_with_rid(0, i)));
  for (const bool replacing : {false, true}) {
    for (uint32_t round = 1; round <= 12; ++round) {
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        auto child = FilesystemStore::create(tmp.path());
        for (uint32_t i = 0;; ++i) {
          Receipt r = replacing ? receipt_with_rid(0, i % 4) : receipt_with_rid(round, i);
          std::get<ExecutionPayload>(r.payload).trace_id = std::string(100 + i % 5000, 'x');
          if (!child || !(*child)->store_receipt(r)) ::_exit(1);
        }
      }
      ::usleep(3000 + round * 1500);
      ::kill(pid, SIGKILL);
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own";
    }
    if (replacing) {
      for (const auto& name : names_in(store->receipts_dir())) {
        EXPECT_TRUE(is_receipt_file_name(name) || is_temp_file_name(name)) << name;
      }
      ASSERT_TRUE(open_store(tmp.path()));
    }
    expect_only_whole_receipts(store);
  }
}

// Temporary files are removed only when their writer is gone: a name whose lock
// is held stays, and so does anything not named like a temporary file.
TEST(FilesystemStore, RemovesOnlyAbandonedTemporaryFiles) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  const std::string dir = store->receipts_dir();
  const std::string rid = uuid_to_string(rid_of(1));
  const std::string abandoned = temp_file_name(rid), held = temp_file_name(rid);
  write_file(dir + "/" + abandoned, "{\"partial");
  write_file(dir + "/" + held, "{\"partial");
  write_file(dir + "/.other.json.tmp.1.2", "x");
  const int fd = ::open((dir + "/" + held).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  ASSERT_TRUE(open_store(tmp.path()));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{held, ".other.json.tmp.1.2"}));
  ::close(fd);
  // Listing removes it as well, once its writer is gone.
  ASSERT_TRUE(store->query_receipts({}));
  EXPECT_EQ(names_in(dir), std::set<std::string>{".other.json.tmp.1.2"});
}

// A PosixIo that lacks features or fails one kind of call with EIO, and counts
// directory syncs.
class FaultyIo : public PosixIo {
 public:
  bool no_unnamed_files = false;
  bool no_link_by_descriptor = false;
  std::string failing;  // "write", "fsync", "linkat" or "renameat"
  int directory_syncs = 0;

  int open(const char* path, int flags, mode_t mode) override {
    const int fd = PosixIo::open(path, flags, mode);
    if (fd >= 0 && (flags & O_DIRECTORY)) directories_.insert(fd);
    return fd;
  }
  int openat(int dir, const char* name, int flags, mode_t mode) override {
    if (no_unnamed_files && (flags & O_TMPFILE) == O_TMPFILE) return fail(EOPNOTSUPP);
    return PosixIo::openat(dir, name, flags, mode);
  }
  ssize_t write(int fd, const void* buf, size_t len) override {
    return failing == "write" ? fail(EIO) : PosixIo::write(fd, buf, len);
  }
  int fsync(int fd) override {
    if (directories_.count(fd)) {
      ++directory_syncs;
    } else if (failing == "fsync") {
      return fail(EIO);
    }
    return PosixIo::fsync(fd);
  }
  int close(int fd) override {
    directories_.erase(fd);
    return PosixIo::close(fd);
  }
  int linkat(int od, const char* on, int nd, const char* nn, int flags) override {
    if (no_link_by_descriptor && (flags & AT_EMPTY_PATH)) return fail(ENOENT);
    return failing == "linkat" ? fail(EIO) : PosixIo::linkat(od, on, nd, nn, flags);
  }
  int renameat(int od, const char* on, int nd, const char* nn) override {
    return failing == "renameat" ? fail(EIO) : PosixIo::renameat(od, on, nd, nn);
  }
  int mkdir(const char* path, mode_t mode) override {
    return failing == "mkdir" ? fail(EIO) : PosixIo::mkdir(path, mode);
  }
  DIR* fdopendir(int fd) override {
    if (failing == "fdopendir") {
      errno = EIO;
      return nullptr;
    }
    return PosixIo::fdopendir(fd);
  }
  struct dirent* readdir(DIR* dir) override {
    if (failing == "readdir") {
      errno = EIO;
      return nullptr;
    }
    return PosixIo::readdir(dir);
  }
  int fstatat(int dir, const char* name, struct stat* st, int flags) override {
    return failing == "fstatat" ? fail(EIO) : PosixIo::fstatat(dir, name, st, flags);
  }
  // With `locks_held`, every file is locked through a second open file before the store
  // asks for its lock, as another process holding it would.
  int flock(int fd, int operation) override {
    if (locks_held && (operation & LOCK_EX)) {
      const std::string path = "/proc/self/fd/" + std::to_string(fd);
      const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (other >= 0 && ::flock(other, LOCK_EX | LOCK_NB) != 0) ::close(other);
    }
    return PosixIo::flock(fd, operation);
  }
  bool locks_held = false;

 private:
  static int fail(int err) {
    errno = err;
    return -1;
  }
  std::set<int> directories_;
};

struct WriteWay {
  const char* name;
  bool no_unnamed_files;
  bool no_link_by_descriptor;
};

class StoreWriteWays : public ::testing::TestWithParam<WriteWay> {};

// Every way of writing, with each call failing in turn: a write either succeeds
// with the whole text under the name or fails with the call's error text, keeps
// the earlier receipt whole, and leaves no other file.
TEST_P(StoreWriteWays, FailuresKeepTheEarlierReceiptAndLeaveNothing) {
  for (const char* failing : {"", "write", "fsync", "linkat", "renameat"}) {
    TempDir tmp;
    FaultyIo io;
    io.no_unnamed_files = GetParam().no_unnamed_files;
    io.no_link_by_descriptor = GetParam().no_link_by_descriptor;
    auto created = FilesystemStore::create(tmp.path(), io);
    ASSERT_TRUE(created);
    auto& store = *created;
    const Receipt first = exec_receipt({.id = 1, .trace = "first"});
    ASSERT_TRUE(store->store_receipt(first));
    io.failing = failing;
    int failures = 0;
    for (const Receipt& r : {exec_receipt({.id = 1, .trace = "second"}), exec_receipt({.id = 2})}) {
      const std::string path = store->receipts_dir() + "/" + file_name(r);
      auto stored = store->store_receipt(r);
      if (stored) {
        EXPECT_EQ(read_file(path), receipt_to_json(r).value()) << failing;
        continue;
      }
      ++failures;
      EXPECT_EQ(stored.error().display(), "I/O error: Failed to write receipt to " + path +
                                              ": Input/output error (os error 5)")
          << failing;
      if (r.rid == first.rid) {
        EXPECT_EQ(read_file(path), receipt_to_json(first).value()) << failing;
      } else {
        EXPECT_FALSE(fs::exists(path)) << failing;
      }
    }
    const bool links = !GetParam().no_unnamed_files;
    EXPECT_EQ(failures > 0, *failing != '\0' && (links || std::string(failing) != "linkat"))
        << failing;
    for (const auto& name : names_in(store->receipts_dir())) {
      EXPECT_TRUE(is_receipt_file_name(name)) << failing << " left " << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, StoreWriteWays,
                         ::testing::Values(WriteWay{"UnnamedFile", false, false},
                                           WriteWay{"UnnamedFileLinkedThroughProc", false, true},
                                           WriteWay{"TemporaryName", true, false}),
                         [](const auto& p) { return std::string(p.param.name); });

// Creating, listing and looking up fail with the failing call's error text, named for
// the directory where the text names one.
TEST(FilesystemStore, DirectoryCallFailuresGiveTheirTexts) {
  TempDir tmp;
  FaultyIo io;
  io.failing = "mkdir";
  auto refused = FilesystemStore::create(tmp.path() + "/new", io);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(), "I/O error: Failed to create receipts directory " +
                                           tmp.path() +
                                           "/new/receipts: Input/output error (os error 5)");
  io.failing = "";
  auto created = FilesystemStore::create(tmp.path(), io);
  ASSERT_TRUE(created);
  auto& store = *created;
  ASSERT_TRUE(store->store_receipt(exec_receipt({.id = 1})));
  std::string hex = uuid_to_string(rid_of(1));
  std::erase(hex, '-');
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"fdopendir", "I/O error: Failed to read receipts directory " + store->receipts_dir() +
                        ": Input/output error (os error 5)"},
      {"readdir", "I/O error: Failed to read directory entry: Input/output error (os error 5)"},
  };
  for (const auto& [failing, message] : cases) {
    io.failing = failing;
    auto listed = store->query_receipts({});
    ASSERT_FALSE(listed) << failing;
    EXPECT_EQ(listed.error().display(), message);
    auto found = store->find_by_rid_prefix(hex.substr(0, 3), 10);
    ASSERT_FALSE(found) << failing;
    EXPECT_EQ(found.error().display(), message);
  }
  // A whole rid is looked up by its name alone.
  io.failing = "fstatat";
  auto found = store->find_by_rid_prefix(hex, 10);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().display(),
            "I/O error: Failed to read receipt file: Input/output error (os error 5)");
  io.failing = "";
  found = store->find_by_rid_prefix(hex, 10);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].rid, rid_of(1));
}

// A writer waiting for the lock of its temporary file (held by another open file) stops
// when its interruption check says so, fails with EINTR's text and leaves no file behind.
// In a child process, so that a wait that never ends fails the test instead of hanging it.
TEST(FilesystemStore, LockWaitStopsWhenInterrupted) {
  TempDir tmp;
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    FaultyIo io;
    io.no_unnamed_files = true;
    io.locks_held = true;
    auto store = FilesystemStore::create(tmp.path(), io);
    if (!store) ::_exit(2);
    CancelToken token;
    const Interruption interrupt{.token = &token};
    const InterruptionScope scope(interrupt);
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      token.cancel();
    });
    auto stored = (*store)->store_receipt(exec_receipt({.id = 1}));
    canceller.join();
    const std::string path = (*store)->receipts_dir() + "/" + file_name(exec_receipt({.id = 1}));
    const bool right =
        !stored && stored.error().display() == "I/O error: Failed to write receipt to " + path +
                                                   ": Interrupted system call (os error 4)";
    ::_exit(right && names_in((*store)->receipts_dir()).empty() ? 0 : 1);
  }
  int status = 0;
  for (int waited_ms = 0; ::waitpid(pid, &status, WNOHANG) == 0; waited_ms += 10) {
    if (waited_ms > 20'000) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      FAIL() << "the lock wait did not stop";
    }
    ::usleep(10'000);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A batch writes every receipt as a single store would, with one directory sync;
// a receipt that cannot be written stops the batch, and what came before it is
// kept (and synced).
TEST(FilesystemStore, BatchStoresEachFileAndSyncsTheDirectoryOnce) {
  TempDir tmp;
  FaultyIo io;
  auto created = FilesystemStore::create(tmp.path(), io);
  ASSERT_TRUE(created);
  auto& store = *created;
  std::vector<Receipt> batch;
  for (uint8_t i = 1; i <= 20; ++i)
    batch.push_back(exec_receipt({.id = static_cast<uint8_t>(i % 15)}));
  ASSERT_TRUE(store->store_receipts(batch));
  EXPECT_EQ(io.directory_syncs, 1);
  EXPECT_EQ(names_in(store->receipts_dir()).size(), 15u);
  for (size_t i = 5; i < batch.size(); ++i) {
    EXPECT_EQ(read_file(store->receipts_dir() + "/" + file_name(batch[i])),
              receipt_to_json(batch[i]).value());
  }

  std::vector<Receipt> broken = {exec_receipt({.id = 30}), exec_receipt({.id = 31}),
                                 exec_receipt({.id = 32})};
  CborMap map;
  map.entries.push_back({GenericValue(CborArray{}), GenericValue(1.0)});
  broken[1].attest = GenericValue(std::move(map));
  io.directory_syncs = 0;
  auto stored = store->store_receipts(broken);
  ASSERT_FALSE(stored);
  EXPECT_EQ(stored.error().kind, StorageError::Kind::Serialization);
  EXPECT_EQ(io.directory_syncs, 1);
  EXPECT_TRUE(fs::exists(store->receipts_dir() + "/" + file_name(broken[0])));
  EXPECT_FALSE(fs::exists(store->receipts_dir() + "/" + file_name(broken[2])));
  EXPECT_TRUE(store->store_receipts({}));
}

// ---- Hostile directory entries ----

// An entry that never ends (a link to /dev/zero) is read only up to a bound and
// skipped with a warning; a FIFO whose writer has written nothing reads as empty.
TEST(FilesystemStore, EndlessEntriesAreReadWithABound) {
  if (!fs::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->store_receipt(exec_receipt({.id = 1})));
  const std::string dir = store->receipts_dir();
  fs::create_symlink("/dev/zero", dir + "/zero.json");
  ASSERT_EQ(::mkfifo((dir + "/fifo.json").c_str(), 0600), 0);
  const int writer = ::open((dir + "/fifo.json").c_str(), O_RDWR | O_CLOEXEC);  // keeps it open
  ASSERT_GE(writer, 0);
  testing::internal::CaptureStderr();
  auto listed = store->query_receipts({});
  const std::string err = testing::internal::GetCapturedStderr();
  ::close(writer);
  ASSERT_TRUE(listed) << listed.error().display();
  EXPECT_EQ(rids(*listed), std::vector<Uuid>{rid_of(1)});
  EXPECT_NE(err.find("Warning: Skipped receipt file " + dir +
                     "/zero.json: not a regular file, and longer than 16777216 bytes\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Warning: Failed to parse receipt file " + dir + "/fifo.json: "),
            std::string::npos)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
}

// Control characters in the file name and in the parser's message are escaped:
// one unparseable file gives exactly one line, and no escape sequence reaches
// the terminal.
TEST(FilesystemStore, WarningLineEscapesControlCharacters) {
  TempDir tmp;
  auto store = open_store(tmp.path());
  ASSERT_TRUE(store);
  const std::string dir = store->receipts_dir();
  const std::string name = "a\x1b[2J\rWarning: Failed to parse receipt file forged\n\xC2\x9B.json";
  write_file(dir + "/" + name, "{\"\x1b\r\n\":1}");
  testing::internal::CaptureStderr();
  ASSERT_TRUE(store->query_receipts({}));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Warning: Failed to parse receipt file " + dir +
                          "/a\\u{1b}[2J\\rWarning: Failed to parse receipt file "
                          "forged\\n\\u{9b}.json: JSON deserialization failed: ",
                      0),
            0u)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(err.find_first_of("\x1b\r"), std::string::npos) << err;
  EXPECT_EQ(err.find("\xC2\x9B"), std::string::npos) << err;
}

}  // namespace
}  // namespace quillmere
