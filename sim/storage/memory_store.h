// The device's files in this process's memory, for a throwaway device that no other process reads:
// writes never wait on the disk. Everything else is as on disk (disk_store.h): the same answers,
// folders made for a written path, faults met at the same steps, and no temporary is ever left; a
// folder lock locks nothing.
#pragma once

#include <map>

#include "sim/storage/file_store.h"

namespace orvane::sim {

class MemoryStore final : public FileStore {
 public:
  bool exists(std::string_view devicePath) const override;
  bool isDirectory(std::string_view devicePath) const override;
  std::optional<std::string> read(std::string_view devicePath, std::size_t maxBytes) const override;
  bool write(std::string_view devicePath, std::string_view bytes, std::optional<FileFault> fault) override;
  bool remove(std::string_view devicePath) override;
  std::optional<std::string> moveAside(std::string_view devicePath) override;
  std::vector<std::filesystem::path> temporaries() const override { return {}; }
  std::optional<std::filesystem::path> hostPath(std::string_view) const override { return std::nullopt; }
  std::optional<FolderLock> lockFolderOf(std::string_view devicePath) override;

 private:
  // Makes a folder and those above it, as a walk from the root making each would; false where a
  // file stands in the way (the folders above it stay made).
  bool makeFolders(std::string_view folder);
  // Renames a file or a folder with what it holds; `to` must not exist.
  void move(std::string_view from, std::string_view to);

  // Each file's bytes and each folder (nothing), by relative path: a file and a folder never share
  // a path, a folder holds what is beneath it.
  std::map<std::string, std::optional<std::string>, std::less<>> nodes_;
};

}  // namespace orvane::sim
