// The filesystem store: layout, creation, crash-safe writes, the listing's
// filters and limit, and every failure text.
#include "storage/filesystem_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "receipts/json_adapter.h"
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
  EXPECT_TRUE(store.has_value()) << (store ? "" : store.error().message());
  return store.value_or(nullptr);
}

// ---- Error texts and name rules ----

TEST(StorageError, DisplaysPrefixAndText) {
  EXPECT_EQ(StorageError::database("x").message(), "Database error: x");
  EXPECT_EQ(StorageError::serialization("x").message(), "Serialization error: x");
  EXPECT_EQ(StorageError::compression("x").message(), "Compression error: x");
  EXPECT_EQ(StorageError::not_found("x").message(), "Not found: x");
  EXPECT_EQ(StorageError::invalid_input("x").message(), "Invalid input: x");
  EXPECT_EQ(StorageError::io("x").message(), "I/O error: x");
}

TEST(FilesystemStore, JsonExtensionRule) {
  for (const char* yes :
       {"a.json", "..json", "x.y.json", "6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40.json"}) {
    EXPECT_TRUE(has_json_extension(yes)) << yes;
  }
  for (const char* no : {".json", "json", "a.JSON", "a.json.tmp", "a.jsonx", "notes.txt", "a.",
                         ".a.json.tmp.12.ab", "a.json "}) {
    EXPECT_FALSE(has_json_extension(no)) << no;
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
    EXPECT_EQ(store.error().message(), "I/O error: Failed to create receipts directory " + base +
                                           "/receipts: Not a directory (os error 20)");
  }
}

TEST(FilesystemStore, NulInBasePathIsRefusedWithoutTouchingTheFileSystem) {
  TempDir tmp;
  const std::string base = tmp.path() + "/a" + std::string(1, '\0') + "b";
  auto store = FilesystemStore::create(base);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().message(), "I/O error: Failed to create receipts directory " + base +
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
  EXPECT_EQ(stored.error().message(), "I/O error: Failed to write receipt to " +
                                          store->receipts_dir() + "/" + file_name(r) +
                                          ": No such file or directory (os error 2)");
  EXPECT_FALSE(fs::exists(store->receipts_dir()));
  auto listed = store->query_receipts({});
  ASSERT_FALSE(listed);
  EXPECT_EQ(listed.error().message(), "I/O error: Failed to read receipts directory " +
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
  EXPECT_EQ(stored.error().message(), "I/O error: Failed to write receipt to " +
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
  EXPECT_EQ(stored.error().message(),
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
  EXPECT_EQ(stored.error().message(), "Serialization error: JSON serialization failed: " +
                                          receipt_to_json(r).error().message());
  EXPECT_EQ(stored.error().message(),
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
    EXPECT_EQ(listed.error().message(), c.message) << c.what;
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

}  // namespace
}  // namespace quillmere
