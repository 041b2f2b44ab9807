// The device's files, as three small things that wrap each other: a store on disk (disk_store.h),
// one in memory (memory_store.h), and a wrapper that injects faults into either (fault_injection.h).
// Each answers the same questions the same way; the memory store is held to the disk by a test of
// random operations.
//
// Every path is an absolute device path ("/var/mobile/x.plist"); none can name anything outside the
// device: ".." is refused. Rewrites are atomic: a reader sees the old bytes or the new, never a mix,
// and a failed write leaves the old file.
#pragma once

#include <climits>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::sim {

// Faults a write can meet, to test that nothing is lost when writing fails.
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
  FileStore() = default;
  virtual ~FileStore() = default;
  FileStore(const FileStore&) = delete;
  FileStore& operator=(const FileStore&) = delete;

  // Whether anything (a file, a folder) is at the path; false for a path not allowed.
  virtual bool exists(std::string_view devicePath) const = 0;
  virtual bool isDirectory(std::string_view devicePath) const = 0;
  // The file's bytes; nothing when missing, unreadable, not a regular file or over `maxBytes`.
  // Never blocks: a FIFO or a device at the path reads as nothing at once.
  virtual std::optional<std::string> read(std::string_view devicePath, std::size_t maxBytes) const = 0;
  // Replaces the file whole (creating its folders); false, with the old file intact, on failure.
  bool writeAtomically(std::string_view devicePath, std::string_view bytes) {
    return write(devicePath, bytes, std::nullopt);
  }
  // The same write meeting `fault` (when there is one) at the step where a write meets it: the
  // folder, writing, the storage filling up, flushing, putting in place.
  virtual bool write(std::string_view devicePath, std::string_view bytes, std::optional<FileFault> fault) = 0;
  // Removes a file (never a folder).
  virtual bool remove(std::string_view devicePath) = 0;
  // Renames what is at a device path to "NAME.unreadable" (or "NAME.unreadable-2", and so on, never
  // over an earlier one) in the same folder; the new device path, or nothing when it could not.
  virtual std::optional<std::string> moveAside(std::string_view devicePath) = 0;
  // The temporary files that failed or interrupted writes could have left, as device paths.
  virtual std::vector<std::filesystem::path> temporaries() const = 0;
  // The host file a device path names, for the system's own calls (the loader's dlopen); nothing
  // when the path is not allowed or the store keeps its files off the host's disk.
  virtual std::optional<std::filesystem::path> hostPath(std::string_view devicePath) const = 0;

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
  virtual std::optional<FolderLock> lockFolderOf(std::string_view devicePath) = 0;
};

// Where a device keeps its files: under its root, each write flushed to storage as on a real device
// or not (a throwaway device: the rename alone keeps readers from ever seeing half a file), or in
// memory (a throwaway device whose files no other process reads).
enum class Storage { kDurable, kOnDisk, kInMemory };
std::unique_ptr<FileStore> makeFileStore(const std::filesystem::path& root, Storage storage);

// A device path made relative to the root ("var/mobile/x.plist"), NUL-terminated for the system's
// calls, on the caller's stack: a look-up allocates nothing. What every store shares.
struct RelativePath {
  std::size_t size = 0;
  char text[PATH_MAX];
  std::string_view view() const { return {text, size}; }
  struct Split {
    std::string_view folder;  // "var/mobile"; empty for a file directly under the root
    const char* name;         // "x.plist": the path's tail, so NUL-terminated too
  };
  Split split() const;
  // Makes a device path relative to the root; false when it is not allowed (not absolute, "..", a
  // NUL, or longer than the system takes). "//var/./x" is "var/x"; "/" is empty.
  bool assign(std::string_view devicePath);
};

// Whether a path is a device path at all (absolute, no "..", within the system's limits), and
// whether it is one a file may have (one of those, and not the root itself).
bool isDevicePath(std::string_view devicePath);
bool isFilePath(std::string_view devicePath);

// What a name moved aside takes after it: ".unreadable", then ".unreadable-2", and so on.
std::string asideSuffix(int n);

}  // namespace orvane::sim
