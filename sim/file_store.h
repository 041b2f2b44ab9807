// The device's files: every absolute device path lives under one root folder on the host, and no
// path can name anything outside it. Rewrites are atomic: a temporary file in the same folder,
// flushed, then renamed over the old one; a failed write leaves the old file and no temporary.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::sim {

class FileStore {
 public:
  explicit FileStore(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }

  // The host path of a device path, or nothing when the path is not absolute or has ".." in it.
  std::optional<std::filesystem::path> resolve(std::string_view devicePath) const;

  bool exists(std::string_view devicePath) const;
  // The file's bytes; nothing when missing, unreadable, not a regular file or over `maxBytes`.
  std::optional<std::string> read(std::string_view devicePath, std::size_t maxBytes) const;
  // Replaces the file whole (creating its folders); false, with the old file intact, on failure.
  bool writeAtomically(std::string_view devicePath, std::string_view bytes);
  bool remove(std::string_view devicePath);

  // An exclusive lock on the folder of a device path, held while it lives, shared with every other
  // process of the host that locks the same folder.
  class FolderLock {
   public:
    explicit FolderLock(const std::filesystem::path& folder);
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();

   private:
    int fd_ = -1;
  };
  std::optional<std::filesystem::path> folderOf(std::string_view devicePath) const;

 private:
  std::filesystem::path root_;
};

}  // namespace orvane::sim
