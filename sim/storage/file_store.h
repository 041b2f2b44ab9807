// The device's files: every absolute device path lives under one root folder on the host, and no
// path can name anything outside it: ".." is refused, and every access resolves beneath the root
// without following a symbolic link. Rewrites are atomic: a temporary file in the same folder,
// flushed (when durable), then put in place of the old one (exchanged with it, the old one then
// removed; renamed when there is none); a failed write leaves the old file and no temporary.
#pragma once

#include <climits>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::sim {

// Faults the file layer can be told to have, to test that nothing is lost when writing fails.
enum class FileFault {
  kWrite,     // writing the temporary file fails at once
  kFlush,     // flushing it to storage fails
  kRename,    // putting it in place fails
  kReadOnly,  // the folder cannot be written at all
  kFull,      // the storage fills up half-way through the write
  // The writer is killed (SIGKILL) once its bytes are written and flushed, before they are put in
  // place. Only the device injects it, into a process in an OS process of its own.
  kKilledMidWrite,
};

// What meets a fault: a write meets any, a removal or a move aside a read-only folder only.
enum class FileOperation { kWrite, kRemoval };

class FileStore {
 public:
  explicit FileStore(std::filesystem::path root);
  ~FileStore();
  FileStore(const FileStore&) = delete;
  FileStore& operator=(const FileStore&) = delete;

  const std::filesystem::path& root() const { return root_; }

  // The host path of a device path, or nothing when the path is not absolute or has ".." in it.
  std::optional<std::filesystem::path> resolve(std::string_view devicePath) const;

  bool exists(std::string_view devicePath) const;
  bool isDirectory(std::string_view devicePath) const;
  // The file's bytes; nothing when missing, unreadable, not a regular file or over `maxBytes`.
  // Never blocks: a FIFO or a device at the path reads as nothing at once.
  std::optional<std::string> read(std::string_view devicePath, std::size_t maxBytes) const;
  // Replaces the file whole (creating its folders); false, with the old file intact, on failure.
  bool writeAtomically(std::string_view devicePath, std::string_view bytes);
  bool remove(std::string_view devicePath);

  // Keeps the device's files in this process's memory rather than under the root, for a throwaway
  // device that no other process reads: writes never wait on the disk. Everything else is as on
  // disk: the same answers, folders made for a written path, faults met in the same order, and no
  // temporary is ever left. Asked before the first write; a folder lock then locks nothing.
  void keepInMemory();
  bool inMemory() const { return memory_ != nullptr; }

  // Looks paths up as on a kernel without openat2 (before 5.6): the folders one by one, each
  // opened without following a link. Tests take both ways.
  void lookUpFolderByFolder() { hasOpenat2_ = false; }

  // Whether a write is flushed to storage before it is put in place (the default). A throwaway
  // device need not be: the rename alone keeps readers from ever seeing half a file.
  void setDurable(bool durable) { durable_ = durable; }

  // The next `times` writes (every write, when negative) meet the fault; removals meet a read-only
  // folder too. Each write (or removal) that meets it uses one up, whatever else it meets.
  void injectFault(FileFault fault, int times = -1) {
    fault_ = fault;
    faultTimes_ = times;
  }
  void clearFaults() { fault_.reset(); }
  // The injected fault one operation meets, used up; nothing when it meets none. Asks `source`
  // instead when one is set (the store of a separate process draws the device's faults: one
  // question an operation).
  std::optional<FileFault> faultOf(FileOperation operation);
  void setFaultSource(std::function<std::optional<FileFault>(FileOperation)> source) {
    faultSource_ = std::move(source);
  }
  // Told of every write that has been put in place (for tests that need to see what was written).
  void setWriteObserver(std::function<void(std::string_view devicePath, std::string_view bytes)> observer) {
    writeObserver_ = std::move(observer);
  }
  // The temporary files that failed or interrupted writes could have left, anywhere under the root,
  // as device paths.
  std::vector<std::filesystem::path> temporaries() const;
  // Renames what is at a device path to "NAME.unreadable" (or "NAME.unreadable-2", and so on, never
  // over an earlier one) in the same folder; the new device path, or nothing when it could not.
  std::optional<std::string> moveAside(std::string_view devicePath);

  // An exclusive lock on the folder of a device path, held while it lives, shared with every other
  // process of the host that locks the same folder.
  class FolderLock {
   public:
    // Takes over an open descriptor of the folder (or -1, which locks nothing).
    explicit FolderLock(int folderFd);
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    FolderLock(FolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FolderLock& operator=(FolderLock&&) = delete;
    ~FolderLock();

   private:
    int fd_ = -1;
  };
  // Locks the folder of a device path, creating it first; nothing when the path is not allowed.
  std::optional<FolderLock> lockFolderOf(std::string_view devicePath);

 private:
  // A path relative to the root ("var/mobile/x.plist"), NUL-terminated for the system's calls, on
  // the caller's stack: a look-up allocates nothing.
  struct Relative {
    std::size_t size = 0;
    char text[PATH_MAX];
    std::string_view view() const { return {text, size}; }
    struct Split {
      std::string_view folder;  // "var/mobile"; empty for a file directly under the root
      const char* name;         // "x.plist": the path's tail, so NUL-terminated too
    };
    Split split() const;
  };
  // Makes a device path relative to the root; false when it is not allowed (not absolute, "..",
  // a NUL, or longer than the system takes).
  bool relative(std::string_view devicePath, Relative& out) const;
  // Opens a path beneath the root without following symbolic links; -1 on failure.
  int openBeneath(const Relative& relative, int flags) const;
  // Opens (and with `create`, makes) the folders of a relative path one by one, refusing links.
  int openFolder(std::string_view relativeFolder, bool create) const;

  // The files of a device kept in memory (keepInMemory).
  class Memory;

  std::filesystem::path root_;
  int rootFd_ = -1;
  std::unique_ptr<Memory> memory_;
  // Draws temporary names: seeded once from the system's entropy (O_EXCL catches a name taken).
  std::minstd_rand names_;
  // Whether the kernel has openat2; learnt from the first call that finds it missing.
  mutable bool hasOpenat2_ = true;
  std::optional<FileFault> fault_;
  std::function<std::optional<FileFault>(FileOperation)> faultSource_;
  std::function<void(std::string_view, std::string_view)> writeObserver_;
  int faultTimes_ = 0;
  bool durable_ = true;
};

}  // namespace orvane::sim
