// The preferences files on Linux: how a write replaces a document, damaged documents kept aside,
// refused folders, suite file names, and two processes writing one domain at once.
#include "platform/linux/system/preferences_storage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>

#include "support/recording_log.h"
#include "support/service_setters.h"
#include "support/temp_tree.h"
#include "tools/kw_user_defaults.h"

namespace trellis {
namespace {

namespace fs = std::filesystem;

// The real file operations, with each call journaled by the name of the file it is about (a
// temporary file's random part as XXXXXX); the temporary file's sync can be made to fail.
class JournalingFiles final : public lnx::DocumentFiles {
 public:
  std::vector<std::string> journal;
  bool failTemporarySync = false;

  int createTemporary(std::string& path) override {
    temporary_ = real_.createTemporary(path);
    journal.push_back("create " + name(path));
    return temporary_;
  }
  ssize_t write(int fd, const void* data, std::size_t size) override {
    journal.push_back(fd == temporary_ ? "write temporary" : "write ?");
    return real_.write(fd, data, size);
  }
  int sync(int fd) override {
    struct stat info {};
    const bool folder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    journal.push_back(fd == temporary_ ? "sync temporary" : folder ? "sync folder" : "sync ?");
    if (fd == temporary_ && failTemporarySync) {
      errno = EIO;
      return -1;
    }
    return real_.sync(fd);
  }
  int rename(const std::string& from, const std::string& to) override {
    journal.push_back("rename " + name(from) + " " + name(to));
    return real_.rename(from, to);
  }
  int unlink(const std::string& path) override {
    journal.push_back("unlink " + name(path));
    return real_.unlink(path);
  }

 private:
  static std::string name(const std::string& path) {
    std::string file = fs::path(path).filename().string();
    if (file.find(".tmp-") != std::string::npos) file.replace(file.size() - 6, 6, "XXXXXX");
    return file;
  }
  lnx::DocumentFiles& real_ = lnx::realDocumentFiles();
  int temporary_ = -1;
};

class PreferencesFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::setService(&Services::log, &log); }
  void TearDown() override { testing::setService(&Services::log, nullptr); }

  std::set<std::string> files() const {
    std::set<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) names.insert(entry.path().filename().string());
    return names;
  }

  testing::TempTree tree;
  const std::string folder = tree.path("config/trellis");
  const std::string document = folder + "/preferences.json";
  testing::RecordingLog log;
};

TEST_F(PreferencesFilesTest, AWriteSyncsItsTemporaryFileBeforeTheRenameAndTheFolderAfter) {
  JournalingFiles journaled;
  lnx::FilePreferencesStorage storage(folder, journaled);
  KwUserDefaults defaults(storage);
  defaults.setObjectsWithKeys({{"k", Value(1)}, {"text", Value("tëxt")}});
  const std::vector<std::string> write = {"create .preferences.json.tmp-XXXXXX", "write temporary", "sync temporary",
                                          "rename .preferences.json.tmp-XXXXXX preferences.json", "sync folder"};
  EXPECT_EQ(journaled.journal, write);
  defaults.setGroupName("suite/one");
  defaults.setDoubleForGroupKey(2.5, "d");
  EXPECT_EQ(files(), (std::set<std::string>{".preferences.json.lock", ".suite.suite%2Fone.json.lock",
                                            "preferences.json", "suite.suite%2Fone.json"}));
  struct stat info {};
  ASSERT_EQ(::stat(document.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A failed sync: no rename, the temporary file removed, the document as it was.
  const std::string before = tree.read("config/trellis/preferences.json");
  PreferencesStore store(storage.standardDomain());
  journaled.journal.clear();
  journaled.failTemporarySync = true;
  EXPECT_FALSE(store.setInteger(2, "k"));
  EXPECT_EQ(journaled.journal, (std::vector<std::string>{"create .preferences.json.tmp-XXXXXX", "write temporary",
                                                         "sync temporary", "unlink .preferences.json.tmp-XXXXXX"}));
  EXPECT_EQ(tree.read("config/trellis/preferences.json"), before);
  EXPECT_EQ(files().size(), 4u);
  EXPECT_EQ(store.integerForKey("k"), 1);
  EXPECT_EQ(log.take(), std::vector<std::string>{"preferences: could not write " + document + ": Input/output error"});
  EXPECT_EQ(lnx::lastPreferencesFailure(), "could not write " + document + ": Input/output error");

  // Values no document can hold are refused before any file is made.
  journaled.journal.clear();
  EXPECT_FALSE(store.setObject(Value(std::string("\xff")), "not UTF-8"));
  EXPECT_FALSE(store.setObject(Value(Array{Value()}), "a null"));
  EXPECT_TRUE(journaled.journal.empty());
  EXPECT_THAT(log.take(), ::testing::ElementsAre("preferences: could not write " + document +
                                                 ": the values cannot be written as a preferences document"));
}

TEST_F(PreferencesFilesTest, WhatCannotBeReadIsLeftAloneAndNoFolderStoresNothing) {
  // A folder where the file should be: it reads as empty, writes fail, and it stays.
  fs::create_directories(document);
  PreferencesStore store(lnx::FilePreferencesStorage(folder).standardDomain());
  EXPECT_EQ(store.integerForKey("kept"), 0);
  EXPECT_FALSE(store.setInteger(2, "kept"));
  EXPECT_TRUE(fs::is_directory(document));
  PreferencesStore lost(lnx::FilePreferencesStorage("").standardDomain());
  EXPECT_FALSE(lost.setInteger(1, "k"));
  EXPECT_EQ(lost.integerForKey("k"), 0);
  EXPECT_EQ(log.take(), (std::vector<std::string>{
                            "preferences: could not write " + document + ": it could not be read: Is a directory",
                            "preferences: could not write /preferences.json: No such file or directory"}));
}

// Like ssh and gpg: a folder that others may write to, or that another user owns, is neither read
// nor written, and says why.
TEST_F(PreferencesFilesTest, AFolderOthersMayWriteToOrAnotherUserOwnsIsRefused) {
  const std::string mine = "refusing " + folder + ": ";
  // Run as root, the folder is handed to nobody; run as anyone else, a folder of root's stands in.
  const bool root = ::geteuid() == 0;
  const std::string owned = root ? folder : "/usr";
  const struct Row {
    std::string folder;
    std::function<void()> spoil;
    std::string refusal;
  } rows[] = {
      {folder, [&] { ::chmod(folder.c_str(), 0770); }, mine + "others may write to it (mode 0770); make it yours alone (chmod go-w)"},
      {folder, [&] { ::chmod(folder.c_str(), 0702); }, mine + "others may write to it (mode 0702); make it yours alone (chmod go-w)"},
      {owned, [&] { if (root) { ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0); } },
       "refusing " + owned + ": it belongs to user " + (root ? "65534" : "0") + ", not to this user (" +
           std::to_string(::geteuid()) + ")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.refusal);
    lnx::FilePreferencesStorage storage(row.folder);
    PreferencesStore store(storage.standardDomain());
    if (row.folder == folder) {
      ASSERT_TRUE(store.setInteger(1, "k"));
      ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    }
    row.spoil();
    const std::string before = row.folder == folder ? tree.read("config/trellis/preferences.json") : "";
    PreferencesStore again(storage.standardDomain());
    EXPECT_EQ(again.objectForKey("k"), std::nullopt);
    EXPECT_EQ(again.objectForKey("k"), std::nullopt);
    EXPECT_FALSE(again.setInteger(2, "k"));
    EXPECT_EQ(log.take(), (std::vector<std::string>{"preferences: " + row.refusal,
                                                    "preferences: could not write " + row.folder +
                                                        "/preferences.json: " + row.refusal}));
    if (row.folder == folder) {
      EXPECT_EQ(tree.read("config/trellis/preferences.json"), before);
      ASSERT_EQ(::chown(folder.c_str(), ::geteuid(), ::getegid()), 0);
      ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    }
  }
}

TEST_F(PreferencesFilesTest, DocumentsThatDoNotReadAreKeptAsideReportedOnceAndNeverOverwritten) {
  lnx::FilePreferencesStorage storage(folder);
  ASSERT_TRUE(PreferencesStore(storage.standardDomain()).setObjects({{"a", Value(1)}, {"b", Value("two")}}));
  const std::string whole = tree.read("config/trellis/preferences.json");
  std::vector<std::string> damaged;
  for (std::size_t length = 0; length < whole.size(); ++length) damaged.push_back(whole.substr(0, length));
  for (const char* top : {R"("top":{"values":{"dictionary":{"k":{"null":null}}}})",
                          R"("top":{"values":{"dictionary":{"k":{"int32":1.5}}}})", R"("top":{})"}) {
    damaged.push_back(std::string(R"({"format":"trellis-keyed-archive","version":1,)") + top + "}");
  }
  damaged.push_back(R"({"format":"trellis-keyed-archive","version":2,"top":{}})");

  std::set<std::string> kept = files();
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    SCOPED_TRACE(damaged[i]);
    tree.write("config/trellis/preferences.json", damaged[i]);
    auto domain = std::static_pointer_cast<lnx::FilePreferencesDomain>(storage.standardDomain());
    if (i % 2 == 0) {  // read first; odd ones are moved aside by the write
      EXPECT_TRUE(domain->values().empty());
      EXPECT_EQ(domain->valueForKey("a"), std::nullopt) << "read again: still empty";
    }
    EXPECT_TRUE(PreferencesStore(domain).setInteger(5, "after"));
    EXPECT_EQ(PreferencesStore(storage.standardDomain()).integerForKey("after"), 5);

    // Kept beside it under a name of its own, with its bytes, and one line.
    std::vector<std::string> added;
    for (const std::string& name : files()) {
      if (kept.insert(name).second) added.push_back(name);
    }
    ASSERT_EQ(added.size(), 1u);
    EXPECT_THAT(added[0], ::testing::MatchesRegex("preferences\\.json\\.corrupt-[0-9]{8}T[0-9]{6}Z(-[0-9]+)?"));
    EXPECT_EQ(tree.read("config/trellis/" + added[0]), damaged[i]);
    ASSERT_EQ(log.lines().size(), i + 1);
    EXPECT_THAT(log.lines().back(), ::testing::StartsWith("preferences: " + document + " could not be read ("));
    EXPECT_THAT(log.lines().back(), ::testing::EndsWith("); kept as " + folder + "/" + added[0] + ", starting empty"));
    // The last few stay, so that names within one second take a counter; the rest go.
    if (i + 5 < damaged.size() && fs::remove(folder + "/" + added[0])) kept.erase(added[0]);
  }
}

TEST_F(PreferencesFilesTest, SuiteNamesNeverLeaveTheFolder) {
  const std::string tooLong(70, '/');
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"../x", "suite...%2Fx.json"},
      {"..", "suite....json"},
      {"a/b", "suite.a%2Fb.json"},
      {"50% off é", "suite.50%25%20off%20%C3%A9.json"},
      {"group.org.trellis_x-1", "suite.group.org.trellis_x-1.json"},
      {std::string(189, 'a'), "suite." + std::string(189, 'a') + ".json"},  // 200 bytes
      {std::string(190, 'a'), std::nullopt},
      {tooLong, std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [name, file] : rows) EXPECT_EQ(lnx::suiteFileName(name), file) << name;

  lnx::FilePreferencesStorage storage(folder);
  EXPECT_EQ(KwUserDefaults(storage).addGroupWithName(tooLong), nullptr);
}

TEST_F(PreferencesFilesTest, TwoProcessesWritingDifferentKeysLoseNone) {
  // Each write is one locked read-modify-write of the whole document: batches of keys keep the
  // cost down while dozens of writes of each process still overlap.
  constexpr int kKeys = 600, kBatch = 30;
  fs::create_directories(folder);
  std::vector<pid_t> children;
  for (const char* prefix : {"a", "b"}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      PreferencesStore store(lnx::FilePreferencesStorage(folder).standardDomain());
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
  Dictionary expected;
  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < kKeys; ++i) expected.emplace(prefix + std::to_string(i), Value(std::int64_t{i}));
  }
  lnx::FilePreferencesStorage storage(folder);
  EXPECT_EQ(std::static_pointer_cast<lnx::FilePreferencesDomain>(storage.standardDomain())->values(), expected);
  EXPECT_EQ(files().size(), 2u) << "no temporary file is left behind";
}

}  // namespace
}  // namespace trellis
