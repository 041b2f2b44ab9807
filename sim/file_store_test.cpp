#include "sim/file_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/scenario.h"
#include "sim/preference_store.h"

namespace orvane::sim {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> folderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FileStoreTest : public ::testing::Test {
 protected:
  cli::TemporaryRoot root_;
  FileStore files_{root_.path()};
};

TEST_F(FileStoreTest, PathsStayUnderTheRoot) {
  EXPECT_EQ(files_.resolve("/var/mobile/x.plist"), root_.path() / "var/mobile/x.plist");
  EXPECT_EQ(files_.resolve("//var/./mobile//x"), root_.path() / "var/mobile/x");
  EXPECT_FALSE(files_.resolve("/var/../../etc/passwd"));
  EXPECT_FALSE(files_.resolve("relative/path"));
  EXPECT_FALSE(files_.resolve(""));
  EXPECT_FALSE(files_.resolve(std::string("/a\0b", 4)));
  EXPECT_FALSE(files_.writeAtomically("/..", "x"));
}

TEST_F(FileStoreTest, ARewriteReplacesWholeAndLeavesNoTemporary) {
  ASSERT_TRUE(files_.writeAtomically("/p/f.plist", std::string(10000, 'a')));
  ASSERT_TRUE(files_.writeAtomically("/p/f.plist", "short"));
  EXPECT_EQ(files_.read("/p/f.plist", 100), "short");
  EXPECT_EQ(folderEntries(root_.path() / "p"), std::vector<std::string>{"f.plist"});
}

TEST_F(FileStoreTest, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  ASSERT_TRUE(files_.writeAtomically("/p/f", "old"));
  // The target is a folder that is not empty: the final rename must fail.
  ASSERT_TRUE(files_.writeAtomically("/p/dir/inner", "x"));
  EXPECT_FALSE(files_.writeAtomically("/p/dir", "new"));
  EXPECT_EQ(files_.read("/p/f", 100), "old");
  EXPECT_EQ(folderEntries(root_.path() / "p"), (std::vector<std::string>{"dir", "f"}));
}

TEST_F(FileStoreTest, ReadRefusesFoldersAndOversizedFiles) {
  ASSERT_TRUE(files_.writeAtomically("/p/big", std::string(101, 'x')));
  EXPECT_FALSE(files_.read("/p/big", 100));
  EXPECT_FALSE(files_.read("/p", 100));
  EXPECT_FALSE(files_.read("/missing", 100));
}

class PreferenceStoreTest : public FileStoreTest {
 protected:
  PreferenceStore prefs_{files_};
};

TEST_F(PreferenceStoreTest, AWriteKeepsOtherKeysAndTheFilesFormat) {
  const std::string path = *PreferenceStore::domainPath("com.example");
  ASSERT_TRUE(files_.writeAtomically(path, serializePlist(Value(Dictionary{{"other", Value(Array{Value(1)})}}),
                                                          PlistFormat::kXml)));
  ASSERT_TRUE(prefs_.set("key", Value("v"), "com.example"));
  auto stored = readDictionaryFile(files_, path);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->format, PlistFormat::kXml);
  EXPECT_EQ(stored->dictionary, (Dictionary{{"other", Value(Array{Value(1)})}, {"key", Value("v")}}));

  ASSERT_TRUE(prefs_.set("key", std::nullopt, "com.example"));
  EXPECT_EQ(prefs_.copy("key", "com.example"), std::nullopt);
  EXPECT_EQ(prefs_.copy("other", "com.example"), Value(Array{Value(1)}));
}

TEST_F(PreferenceStoreTest, ANewDomainIsBinaryAndBadDomainNamesAreRefused) {
  ASSERT_TRUE(prefs_.set("k", Value(1), "net.varnholt.orvane-warns"));
  EXPECT_EQ(readDictionaryFile(files_, *PreferenceStore::domainPath("net.varnholt.orvane-warns"))->format,
            PlistFormat::kBinary);
  for (const char* bad : {"", ".", "..", "../x", "a/b"}) {
    EXPECT_FALSE(PreferenceStore::domainPath(bad)) << bad;
    EXPECT_FALSE(prefs_.set("k", Value(1), bad)) << bad;
    EXPECT_EQ(prefs_.copy("k", bad), std::nullopt) << bad;
  }
}

TEST_F(PreferenceStoreTest, ProcessesWritingDifferentKeysAtOnceLoseNone) {
  constexpr int kWriters = 4;
  constexpr int kKeys = 40;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      PreferenceStore prefs(files_);
      bool ok = true;
      for (int k = 0; k < kKeys; ++k) ok = prefs.set("w" + std::to_string(w) + "k" + std::to_string(k), Value(k), "shared") && ok;
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(prefs_.read("shared").size(), static_cast<std::size_t>(kWriters * kKeys));
}

}  // namespace
}  // namespace orvane::sim
