// The preferences files on Linux: values survive a new storage (as a new process would see them),
// two processes writing different keys lose none, every truncation and kind of corruption is read
// or moved aside (reported once), a suite name never leaves the folder, and writes leave no
// temporary files. Each case works in its own scratch folder; the two-writer case forks.
#include "platform/linux/system/preferences_storage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/system_log.h"
#include "support/service_setters.h"
#include "tools/kw_user_defaults.h"

namespace trellis {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class RecordingLog final : public SystemLog {
 public:
  void write(int, std::string_view line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class PreferencesFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "trellis-prefs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    folder_ = scratch_ + "/config/trellis";
    testing::setService(&Services::log, &log_);
  }
  void TearDown() override {
    testing::setService(&Services::log, nullptr);
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  std::vector<std::string> files() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder_, ignored)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }
  void put(const std::string& name, const std::string& bytes) const {
    fs::create_directories(folder_);
    std::ofstream(folder_ + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
  }

  std::string scratch_;
  std::string folder_;
  RecordingLog log_;
};

TEST_F(PreferencesFilesTest, ValuesWrittenAreReadUnchangedByANewStorage) {
  const Dictionary values{
      {"string", Value("tëxt \"quoted\"\n")},
      {"int64", Value(std::numeric_limits<std::int64_t>::min())},
      {"uint64", Value(std::numeric_limits<std::uint64_t>::max())},
      {"float", Value(0.1f)},
      {"double", Value(-0.1)},
      {"infinity", Value(std::numeric_limits<double>::infinity())},
      {"bool", Value(false)},
      {"date", Value(Date{1722416400.25})},
      {"data", Value(Bytes{0, 1, 254, 255})},
      {"nested", Value(Array{Value(Dictionary{{"k", Value(Array{Value(1), Value("x")})}}), Value(Bytes{})})},
      {"", Value("empty key")},
  };
  {
    lnx::FilePreferencesStorage storage(folder_);
    KwUserDefaults defaults(storage);
    defaults.setObjectsWithKeys(values);
    defaults.setGroupName("suite/one");
    defaults.setDoubleForGroupKey(2.5, "d");
  }
  lnx::FilePreferencesStorage again(folder_);
  auto standard = std::static_pointer_cast<lnx::FilePreferencesDomain>(again.standardDomain());
  EXPECT_EQ(standard->values(), values);
  EXPECT_EQ(PreferencesStore(again.suiteDomain("suite/one")).doubleForKey("d"), 2.5);
  EXPECT_EQ(files(), (std::vector<std::string>{".preferences.json.lock", ".suite.suite%2Fone.json.lock",
                                               "preferences.json", "suite.suite%2Fone.json"}))
      << "no temporary file is left behind";
  struct stat info {};
  ASSERT_EQ(::stat((folder_ + "/preferences.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(folder_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(PreferencesFilesTest, ARefusedWriteLeavesTheFileAsItWas) {
  lnx::FilePreferencesStorage storage(folder_);
  PreferencesStore store(storage.standardDomain());
  ASSERT_TRUE(store.setInteger(1, "kept"));
  const std::string before = contents(folder_ + "/preferences.json");
  EXPECT_FALSE(store.setObject(Value(std::string("\xff")), "not UTF-8"));
  EXPECT_FALSE(store.setObject(Value(Array{Value()}), "a null"));
  EXPECT_EQ(contents(folder_ + "/preferences.json"), before);
  EXPECT_EQ(files().size(), 2u);

  // A folder where the file should be: unreadable, so left alone; reads are empty, writes fail.
  fs::remove(folder_ + "/preferences.json");
  fs::create_directory(folder_ + "/preferences.json");
  EXPECT_EQ(store.integerForKey("kept"), 0);
  EXPECT_FALSE(store.setInteger(2, "kept"));
  EXPECT_TRUE(fs::is_directory(folder_ + "/preferences.json"));
  EXPECT_TRUE(log_.lines().empty());

  // No folder known: nothing is read or written anywhere.
  lnx::FilePreferencesStorage nowhere("");
  PreferencesStore lost(nowhere.standardDomain());
  EXPECT_FALSE(lost.setInteger(1, "k"));
  EXPECT_EQ(lost.integerForKey("k"), 0);
}

TEST_F(PreferencesFilesTest, EveryTruncationIsReadOrMovedAsideAndReportedOnce) {
  lnx::FilePreferencesStorage storage(folder_);
  PreferencesStore writer(storage.standardDomain());
  ASSERT_TRUE(writer.setObjects({{"a", Value(1)}, {"b", Value("two")}, {"c", Value(Array{Value(3.5f), Value(Bytes{7})})}}));
  const std::string document = contents(folder_ + "/preferences.json");
  ASSERT_GT(document.size(), 50u);

  for (std::size_t length = 0; length < document.size(); ++length) {
    SCOPED_TRACE(length);
    const std::string truncated = document.substr(0, length);
    fs::remove_all(folder_);
    put("preferences.json", truncated);
    const std::size_t linesBefore = log_.lines().size();

    lnx::FilePreferencesStorage fresh(folder_);
    auto domain = std::static_pointer_cast<lnx::FilePreferencesDomain>(fresh.standardDomain());
    EXPECT_TRUE(domain->values().empty());
    EXPECT_EQ(domain->valueForKey("a"), std::nullopt) << "read again: still empty";

    // Kept aside with its bytes, named with a timestamp; the domain file is gone; one line.
    std::vector<std::string> names = files();
    ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
    EXPECT_EQ(names[0], ".preferences.json.lock");
    EXPECT_THAT(names[1], ::testing::MatchesRegex("preferences\\.json\\.corrupt-[0-9]{8}T[0-9]{6}Z"));
    EXPECT_EQ(contents(folder_ + "/" + names[1]), truncated);
    const std::vector<std::string> lines = log_.lines();
    ASSERT_EQ(lines.size(), linesBefore + 1);
    EXPECT_THAT(lines.back(), StartsWith("preferences: " + folder_ + "/preferences.json could not be read ("));
    EXPECT_THAT(lines.back(), HasSubstr("); kept as " + folder_ + "/" + names[1] + ", starting empty"));

    // The domain works again from empty.
    PreferencesStore store(domain);
    EXPECT_TRUE(store.setInteger(5, "after"));
    EXPECT_EQ(PreferencesStore(fresh.standardDomain()).integerForKey("after"), 5);
  }
  // The whole document reads.
  fs::remove_all(folder_);
  put("preferences.json", document);
  EXPECT_EQ(PreferencesStore(lnx::FilePreferencesStorage(folder_).standardDomain()).stringForKey("b"), "two");
}

TEST_F(PreferencesFilesTest, CorruptDocumentsAreMovedAsideBeforeAWriteAndNeverOverwritten) {
  const char* documents[] = {
      "not json",
      R"({"format":"trellis-keyed-archive","version":2,"top":{}})",
      R"({"format":"trellis-keyed-archive","version":1,"top":{"values":{"string":"x"}}})",
      R"({"format":"trellis-keyed-archive","version":1,"top":{"values":{"dictionary":{"k":{"null":null}}}}})",
      R"({"format":"trellis-keyed-archive","version":1,"top":{"values":{"dictionary":{"k":{"int32":1.5}}}}})",
      R"({"format":"trellis-keyed-archive","version":1,"top":{}})",
  };
  int moved = 0;
  for (const char* document : documents) {
    SCOPED_TRACE(document);
    put("preferences.json", document);
    lnx::FilePreferencesStorage storage(folder_);
    PreferencesStore store(storage.standardDomain());
    ASSERT_TRUE(store.setInteger(1, "k"));  // the write moves it aside first, under the lock
    ++moved;
    EXPECT_EQ(PreferencesStore(storage.standardDomain()).integerForKey("k"), 1);
    std::size_t kept = 0;
    std::size_t holdingThis = 0;
    for (const std::string& name : files()) {
      if (name.rfind("preferences.json.corrupt-", 0) != 0) continue;
      ++kept;
      if (contents(folder_ + "/" + name) == document) ++holdingThis;
    }
    EXPECT_EQ(kept, static_cast<std::size_t>(moved)) << "each corrupt file kept under its own name";
    EXPECT_EQ(holdingThis, 1u);
    EXPECT_EQ(log_.lines().size(), static_cast<std::size_t>(moved));
  }
}

TEST_F(PreferencesFilesTest, SuiteNamesNeverLeaveTheFolder) {
  struct Row {
    const char* name;
    std::optional<std::string> file;
  } rows[] = {
      {"../x", "suite...%2Fx.json"},
      {"..", "suite....json"},
      {".", "suite...json"},
      {"a/b", "suite.a%2Fb.json"},
      {"/etc/passwd", "suite.%2Fetc%2Fpasswd.json"},
      {"50% off é", "suite.50%25%20off%20%C3%A9.json"},
      {"group.org.trellis_x-1", "suite.group.org.trellis_x-1.json"},
      {"", std::nullopt},
      {nullptr, std::nullopt},  // a name too long once encoded
  };
  const std::string tooLong(70, '/');
  for (const Row& row : rows) {
    const std::string name = row.name != nullptr ? row.name : tooLong;
    SCOPED_TRACE(name);
    EXPECT_EQ(lnx::suiteFileName(name), row.file);
  }
  EXPECT_EQ(lnx::suiteFileName(std::string(189, 'a')).value_or("").size(), 200u);
  EXPECT_EQ(lnx::suiteFileName(std::string(190, 'a')), std::nullopt);

  lnx::FilePreferencesStorage storage(folder_);
  KwUserDefaults defaults(storage);
  for (const char* name : {"../x", "../../x", "..", "/x"}) {
    defaults.setGroupName(name);
    defaults.setIntegerForGroupKey(7, "k");
    EXPECT_EQ(defaults.integerForGroupKey("k"), 7) << name;
  }
  EXPECT_EQ(defaults.addGroupWithName(tooLong), nullptr);
  // Everything stayed in the folder; nothing appeared beside or above it.
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_), fs::directory_iterator()), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_ + "/config"), fs::directory_iterator()), 1);
  EXPECT_EQ(files().size(), 8u);
}

TEST_F(PreferencesFilesTest, TwoProcessesWritingDifferentKeysLoseNone) {
  // Each write is one locked read-modify-write of the whole document, so the cost grows with the
  // domain: the keys go in batches, which still makes dozens of writes of each process overlap.
  constexpr int kKeys = 1000;
  constexpr int kBatch = 50;
  fs::create_directories(folder_);
  std::vector<pid_t> children;
  for (const char* prefix : {"a", "b"}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The child writes through its own storage, as another process would, and reports by status.
      lnx::FilePreferencesStorage storage(folder_);
      PreferencesStore store(storage.standardDomain());
      int failures = 0;
      for (int first = 0; first < kKeys; first += kBatch) {
        Dictionary batch;
        for (int i = first; i < first + kBatch; ++i) batch.emplace(prefix + std::to_string(i), Value(std::int64_t{i}));
        failures += store.setObjects(batch) ? 0 : 1;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write failed in child " << child;
  }
  lnx::FilePreferencesStorage storage(folder_);
  const Dictionary values = std::static_pointer_cast<lnx::FilePreferencesDomain>(storage.standardDomain())->values();
  EXPECT_EQ(values.size(), 2u * kKeys);
  int wrong = 0;
  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < kKeys; ++i) {
      auto it = values.find(std::string(prefix) + std::to_string(i));
      if (it == values.end() || it->second != Value(std::int64_t{i})) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(files().size(), 2u) << "no temporary file is left behind";
}

}  // namespace
}  // namespace trellis
