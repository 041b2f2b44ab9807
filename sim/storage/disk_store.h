// The device's files under one root folder on the host. No path can name anything outside it: every
// access resolves beneath the root without following a symbolic link. A rewrite is a temporary file
// in the same folder, flushed (when durable), then put in place of the old one (exchanged with it,
// the old one then removed; renamed when there is none); a failed write leaves no temporary.
#pragma once

#include <random>

#include "sim/storage/file_store.h"

namespace orvane::sim {

class DiskStore final : public FileStore {
 public:
  explicit DiskStore(std::filesystem::path root);
  ~DiskStore() override;

  const std::filesystem::path& root() const { return root_; }

  // Looks paths up as on a kernel without openat2 (before 5.6): the folders one by one, each
  // opened without following a link. Tests take both ways.
  void lookUpFolderByFolder() { hasOpenat2_ = false; }
  // Whether a write is flushed to storage before it is put in place (the default).
  void setDurable(bool durable) { durable_ = durable; }

  bool exists(std::string_view devicePath) const override;
  bool isDirectory(std::string_view devicePath) const override;
  std::optional<std::string> read(std::string_view devicePath, std::size_t maxBytes) const override;
  bool write(std::string_view devicePath, std::string_view bytes, std::optional<FileFault> fault) override;
  bool remove(std::string_view devicePath) override;
  std::optional<std::string> moveAside(std::string_view devicePath) override;
  std::vector<std::filesystem::path> temporaries() const override;
  std::optional<std::filesystem::path> hostPath(std::string_view devicePath) const override;
  std::optional<FolderLock> lockFolderOf(std::string_view devicePath) override;

 private:
  // Opens a path beneath the root without following symbolic links; -1 on failure.
  int openBeneath(const RelativePath& relative, int flags) const;
  // Opens (and with `create`, makes) the folders of a relative path one by one, refusing links.
  int openFolder(std::string_view relativeFolder, bool create) const;
  // Writes a temporary beside the file, meeting `fault` on the way; false, with none left, when
  // it could not be put in place.
  bool writeBeside(int dir, const char* name, std::string_view bytes, std::optional<FileFault> fault);

  std::filesystem::path root_;
  int rootFd_ = -1;
  // Draws temporary names: seeded once from the system's entropy (O_EXCL catches a name taken).
  std::minstd_rand names_;
  // Whether the kernel has openat2; learnt from the first call that finds it missing.
  mutable bool hasOpenat2_ = true;
  bool durable_ = true;
};

}  // namespace orvane::sim
