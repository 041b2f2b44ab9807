#include "sim/storage/file_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <random>

#include "rig/rig.h"
#include "sim/storage/disk_store.h"
#include "sim/storage/fault_injection.h"
#include "sim/storage/memory_store.h"
#include "sim/storage/preference_store.h"
#include "startup/orvane.h"

namespace orvane::sim {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> folderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The store a device has: on disk, faults injected through the wrapper.
class FileStoreTest : public ::testing::Test {
 protected:
  rig::TemporaryRoot root_;
  DiskStore disk_{root_.path()};
  FaultInjectingStore files_{disk_};
};

TEST_F(FileStoreTest, PathsStayUnderTheRoot) {
  EXPECT_EQ(files_.hostPath("/var/mobile/x.plist"), root_.path() / "var/mobile/x.plist");
  EXPECT_EQ(files_.hostPath("//var/./mobile//x"), root_.path() / "var/mobile/x");
  EXPECT_FALSE(files_.hostPath("/var/../../etc/passwd"));
  EXPECT_FALSE(files_.hostPath("relative/path"));
  EXPECT_FALSE(files_.hostPath(""));
  EXPECT_FALSE(files_.hostPath(std::string("/a\0b", 4)));
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

TEST_F(FileStoreTest, AnInjectedFaultIsMetOnceAnOperationAndARemovalMeetsOnlyAReadOnlyFolder) {
  ASSERT_TRUE(files_.writeAtomically("/p/f", "old"));
  for (const FileFault fault : {FileFault::kWrite, FileFault::kFull, FileFault::kFlush, FileFault::kRename}) {
    files_.injectFault(fault, 2);
    EXPECT_TRUE(files_.remove("/p/f")) << "a removal is refused only by a read-only folder";
    // Two writes meet it, one each; the third does not.
    EXPECT_FALSE(files_.writeAtomically("/p/f", "new"));
    EXPECT_FALSE(files_.writeAtomically("/p/f", "new"));
    EXPECT_FALSE(files_.exists("/p/f"));
    EXPECT_TRUE(files_.writeAtomically("/p/f", "old"));
    EXPECT_EQ(files_.read("/p/f", 100), "old");
    EXPECT_TRUE(files_.temporaries().empty());
  }
  files_.injectFault(FileFault::kReadOnly, 1);
  EXPECT_FALSE(files_.remove("/p/f"));
  EXPECT_TRUE(files_.remove("/p/f"));
  // A source answers for the store: one question an operation.
  std::vector<FileOperation> asked;
  files_.setFaultSource([&asked](FileOperation operation) {
    asked.push_back(operation);
    return std::optional<FileFault>();
  });
  EXPECT_TRUE(files_.writeAtomically("/p/g", "x"));
  EXPECT_TRUE(files_.remove("/p/g"));
  EXPECT_EQ(asked, (std::vector<FileOperation>{FileOperation::kWrite, FileOperation::kRemoval}));
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

TEST_F(PreferenceStoreTest, AWriteKeepsOtherKeysAndWritesBinaryWhateverTheFileWas) {
  const std::string path = *PreferenceStore::domainPath("com.example");
  ASSERT_TRUE(files_.writeAtomically(
      path, *serializePlist(Value(Dictionary{{"other", Value(Array{Value(1)})}}), PlistFormat::kXml)));
  ASSERT_TRUE(prefs_.set("key", Value("v"), "com.example").written);
  auto stored = readDictionaryFile(files_, path);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->format, PlistFormat::kBinary);
  EXPECT_EQ(stored->dictionary, (Dictionary{{"other", Value(Array{Value(1)})}, {"key", Value("v")}}));

  ASSERT_TRUE(prefs_.set("key", std::nullopt, "com.example").written);
  EXPECT_EQ(prefs_.copy("key", "com.example"), std::nullopt);
  EXPECT_EQ(prefs_.copy("other", "com.example"), Value(Array{Value(1)}));
}

TEST_F(PreferenceStoreTest, ANewDomainIsBinaryAndBadDomainNamesAreRefused) {
  ASSERT_TRUE(prefs_.set("k", Value(1), "net.varnholt.orvane-warns").written);
  EXPECT_EQ(readDictionaryFile(files_, *PreferenceStore::domainPath("net.varnholt.orvane-warns"))->format,
            PlistFormat::kBinary);
  for (const char* bad : {"", ".", "..", "../x", "a/b"}) {
    EXPECT_FALSE(PreferenceStore::domainPath(bad)) << bad;
    EXPECT_FALSE(prefs_.set("k", Value(1), bad).written) << bad;
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
      for (int k = 0; k < kKeys; ++k)
        ok = prefs.set("w" + std::to_string(w) + "k" + std::to_string(k), Value(k), "shared").written && ok;
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

namespace orvane::sim {
namespace {

// Both ways of looking a path up: one openat2 beneath the root, and the folder-by-folder walk of
// a kernel without it.
class FileLookUpTest : public ::testing::TestWithParam<bool> {
 protected:
  FileLookUpTest() {
    if (GetParam()) files_.lookUpFolderByFolder();
  }
  rig::TemporaryRoot root_;
  DiskStore files_{root_.path()};
};
INSTANTIATE_TEST_SUITE_P(BothWays, FileLookUpTest, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "FolderByFolder" : "Openat2"; });

TEST_P(FileLookUpTest, SymbolicLinksAreNeverFollowedOutOfTheRootOrWithinIt) {
  rig::TemporaryRoot outside;
  {
    std::ofstream secret(outside.path() / "secret");
    secret << "outside";
  }
  ASSERT_TRUE(files_.writeAtomically("/inside/real", "inside"));
  fs::create_directory_symlink(outside.path(), root_.path() / "escape");
  fs::create_symlink(outside.path() / "secret", root_.path() / "inside" / "link-out");
  fs::create_symlink(root_.path() / "inside" / "real", root_.path() / "inside" / "link-in");

  for (const char* path : {"/escape/secret", "/inside/link-out", "/inside/link-in"}) {
    EXPECT_FALSE(files_.exists(path)) << path;
    EXPECT_FALSE(files_.read(path, 100)) << path;
  }
  EXPECT_FALSE(files_.writeAtomically("/escape/new", "x"));
  EXPECT_FALSE(files_.remove("/escape/secret"));
  EXPECT_FALSE(files_.isDirectory("/escape"));
  EXPECT_FALSE(files_.exists("/escape/../inside/real"));
  EXPECT_FALSE(fs::exists(outside.path() / "new"));
  EXPECT_TRUE(fs::exists(outside.path() / "secret"));
  // Replacing a link by a file is a write to the folder that holds it, which is inside.
  EXPECT_TRUE(files_.writeAtomically("/inside/link-out", "replaced"));
  EXPECT_EQ(files_.read("/inside/link-out", 100), "replaced");
  std::ifstream secret(outside.path() / "secret");
  std::string content;
  secret >> content;
  EXPECT_EQ(content, "outside");
}

TEST_P(FileLookUpTest, PathsAreFoundWhateverTheirSpellingAndRefusedPastWhatTheSystemTakes) {
  ASSERT_TRUE(files_.writeAtomically("//var/./mobile//Library/x.plist", "x"));
  EXPECT_EQ(files_.read("/var/mobile/Library/x.plist", 10), "x");
  EXPECT_TRUE(files_.exists("/var/mobile/./Library//x.plist/"));
  EXPECT_TRUE(files_.isDirectory("/var/mobile/"));
  ASSERT_TRUE(files_.writeAtomically("/top", "t"));  // a file directly under the root
  EXPECT_EQ(files_.read("/top", 10), "t");
  EXPECT_TRUE(files_.remove("/var/mobile/Library/x.plist"));
  EXPECT_FALSE(files_.exists("/var/mobile/Library/x.plist"));

  // A name longer than a folder entry can be, and a path longer than the system takes: refused,
  // nothing written, whether the path is plain or needs its segments rebuilt.
  const std::string longName(NAME_MAX + 1, 'n');
  EXPECT_FALSE(files_.writeAtomically("/var/" + longName + "/x", "x"));
  EXPECT_FALSE(files_.exists("/var/" + longName));
  std::string deep;
  while (deep.size() < PATH_MAX) deep += "/abcdefghij";
  for (const std::string& path : {deep + "/x", "/." + deep + "/x"}) {
    EXPECT_FALSE(files_.writeAtomically(path, "x")) << path.size();
    EXPECT_FALSE(files_.read(path, 10));
    EXPECT_FALSE(files_.hostPath(path));
  }
  EXPECT_FALSE(fs::exists(root_.path() / "abcdefghij"));
  // A long path within it (the root's own path added still within the system's limit, so that the
  // folder can be removed afterwards) is made and read back.
  const std::string within = deep.substr(0, PATH_MAX - 512) + "/x";
  ASSERT_TRUE(files_.writeAtomically(within, "deep"));
  EXPECT_EQ(files_.read(within, 10), "deep");
}

TEST_F(FileStoreTest, AWriterKilledAtAnyPointNeverBreaksALaterReadOrWrite) {
  // Each version of the file is one digit repeated: a read that mixes two versions shows at once.
  std::mt19937 random(7);
  int killedMidWrite = 0;
  for (int round = 0; round < 40; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      DiskStore files(root_.path());
      for (int i = 0;; ++i)
        files.writeAtomically("/p/settings.plist", std::string(200000 + i % 7, static_cast<char>('0' + i % 10)));
    }
    ::usleep(std::uniform_int_distribution<int>(200, 20000)(random));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!files_.temporaries().empty()) ++killedMidWrite;

    const auto bytes = files_.read("/p/settings.plist", 1 << 20);
    // Either the previous round's file, when no write of this round got in place, or a whole one.
    if (bytes && *bytes != "after") {
      ASSERT_GE(bytes->size(), 200000u);
      EXPECT_EQ(bytes->find_first_not_of(bytes->front()), std::string::npos) << "a torn file in round " << round;
    }
    ASSERT_TRUE(files_.writeAtomically("/p/settings.plist", "after"));
    ASSERT_EQ(files_.read("/p/settings.plist", 100), "after");
  }
  // The rounds did catch writers part-way, leaving temporaries that changed nothing above.
  EXPECT_GT(killedMidWrite, 0);
}

}  // namespace
}  // namespace orvane::sim

namespace orvane::sim {
namespace {

// A device kept in memory answers every operation as one on disk does, the disk being the oracle:
// the same random operations, faults among them, on both, over a few paths that collide (a file
// where a folder is wanted, a folder where a file is written, a name moved aside twice).
class FilesInMemory : public ::testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(Seeds, FilesInMemory, ::testing::Values(11u, 12u, 13u));

TEST_P(FilesInMemory, AnswerEveryOperationAsTheDiskDoes) {
  rig::TemporaryRoot root;
  DiskStore onDisk(root.path());
  MemoryStore inMemory;
  FaultInjectingStore disk(onDisk);
  FaultInjectingStore memory(inMemory);
  std::vector<std::string> paths;
  for (const char* a : {"a", "b"}) {
    paths.push_back(std::string("/") + a);
    for (const char* b : {"a", "b", "a.unreadable"}) {
      paths.push_back(std::string("/") + a + "/" + b);
      paths.push_back(std::string("/") + a + "/" + b + "/c");
    }
  }
  paths.push_back("//a/./b/");
  const FileFault faults[] = {FileFault::kWrite, FileFault::kFlush, FileFault::kRename, FileFault::kReadOnly,
                              FileFault::kFull};
  std::mt19937 random(GetParam());
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  for (int step = 0; step < 3000; ++step) {
    const std::string& path = paths[pick(paths.size())];
    if (pick(4) == 0) {
      const FileFault fault = faults[pick(std::size(faults))];
      disk.injectFault(fault, 1);
      memory.injectFault(fault, 1);
    }
    const std::string where = "step " + std::to_string(step) + " at " + path;
    switch (pick(7)) {
      case 0:
      case 1: {
        const std::string bytes(pick(8), static_cast<char>('0' + step % 10));
        EXPECT_EQ(disk.writeAtomically(path, bytes), memory.writeAtomically(path, bytes)) << "write, " << where;
        break;
      }
      case 2:
        EXPECT_EQ(disk.read(path, 4), memory.read(path, 4)) << "read, " << where;
        break;
      case 3:
        EXPECT_EQ(disk.exists(path), memory.exists(path)) << "exists, " << where;
        EXPECT_EQ(disk.isDirectory(path), memory.isDirectory(path)) << "isDirectory, " << where;
        break;
      case 4:
        EXPECT_EQ(disk.remove(path), memory.remove(path)) << "remove, " << where;
        break;
      case 5:
        EXPECT_EQ(disk.moveAside(path), memory.moveAside(path)) << "moveAside, " << where;
        break;
      default:
        EXPECT_EQ(disk.lockFolderOf(path).has_value(), memory.lockFolderOf(path).has_value()) << "lock, " << where;
        break;
    }
    disk.clearFaults();
    memory.clearFaults();
    if (HasFailure()) break;
  }
  EXPECT_TRUE(disk.temporaries().empty());
  EXPECT_TRUE(memory.temporaries().empty());
}

// The wrapper is the same around either store: a path no file may have draws no fault; a write
// handed a fault meets it in place of the wrapper's own, which is used up all the same; the observer
// hears only of writes put in place.
TEST(FaultInjectingStore, DrawsFaultsOnlyForFilePathsAndTellsOnlyWritesPutInPlace) {
  MemoryStore inMemory;
  FaultInjectingStore files(inMemory);
  std::vector<std::string> seen;
  files.setWriteObserver([&seen](std::string_view path, std::string_view) { seen.emplace_back(path); });
  files.injectFault(FileFault::kReadOnly, 1);
  EXPECT_FALSE(files.writeAtomically("/", "x"));
  EXPECT_FALSE(files.writeAtomically("/a/../b", "x"));
  EXPECT_FALSE(files.remove("relative"));
  EXPECT_FALSE(files.moveAside("/"));
  EXPECT_FALSE(files.writeAtomically("/p/f", "x")) << "the fault waits for the first path a file may have";
  EXPECT_TRUE(files.writeAtomically("/p/f", "x"));

  files.injectFault(FileFault::kFull, 1);
  EXPECT_FALSE(files.write("/p/f", "y", FileFault::kRename));
  EXPECT_TRUE(files.writeAtomically("/p/f", "z")) << "the injected fault went with the write handed another";
  EXPECT_EQ(files.read("/p/f", 10), "z");
  EXPECT_EQ(seen, (std::vector<std::string>{"/p/f", "/p/f"}));
  EXPECT_FALSE(files.hostPath("/p/f")) << "a store in memory has nothing on the host's disk";
}

// A device made to keep its files in memory installs the extension there, never in its folder, and
// refuses to hand its processes to OS processes of their own, which would read the folder.
TEST(FilesInMemory, StayInTheCommandsProcess) {
  rig::TemporaryRoot root;
  auto device = rig::makeDevice(root.path(), sim::Storage::kInMemory);
  EXPECT_TRUE(device->files().exists(kInstallPath));
  EXPECT_TRUE(fs::is_empty(root.path()));
  EXPECT_THROW(device->setSeparateProcesses(true), std::logic_error);
}

}  // namespace
}  // namespace orvane::sim
