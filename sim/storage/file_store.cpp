#include "sim/storage/file_store.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "sim/storage/disk_store.h"
#include "sim/storage/memory_store.h"

namespace orvane::sim {

namespace {

// Calls `each` with every segment of an absolute path, empty ones included ("//", a trailing "/").
template <class F>
void forEachSegment(std::string_view path, F each) {
  for (std::size_t pos = 1; pos <= path.size();) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    each(path.substr(pos, end - pos));
    pos = end + 1;
  }
}

}  // namespace

std::unique_ptr<FileStore> makeFileStore(const std::filesystem::path& root, Storage storage) {
  if (storage == Storage::kInMemory) return std::make_unique<MemoryStore>();
  auto disk = std::make_unique<DiskStore>(root);
  disk->setDurable(storage == Storage::kDurable);
  return disk;
}

RelativePath::Split RelativePath::split() const {
  const std::size_t slash = view().rfind('/');
  if (slash == std::string_view::npos) return {{}, text};
  return {view().substr(0, slash), text + slash + 1};
}

bool RelativePath::assign(std::string_view devicePath) {
  if (devicePath.empty() || devicePath.front() != '/') return false;
  if (devicePath.find('\0') != std::string_view::npos) return false;
  // The usual path has no empty, "." or ".." segment: it is itself less its first "/".
  if (devicePath.size() < sizeof text && devicePath.find("//") == std::string_view::npos &&
      devicePath.find("/.") == std::string_view::npos && devicePath.back() != '/') {
    size = devicePath.size() - 1;
    devicePath.copy(text, size, 1);
    text[size] = '\0';
    return true;
  }
  // Else ".." is refused and every empty or "." segment left out ("//var/./x" is "var/x").
  bool escapes = false;
  bool fits = true;
  size = 0;
  forEachSegment(devicePath, [&](std::string_view segment) {
    escapes = escapes || segment == "..";
    if (segment.empty() || segment == "." || !fits) return;
    const std::size_t slash = size > 0 ? 1 : 0;
    fits = size + slash + segment.size() < sizeof text;
    if (!fits) return;
    if (slash != 0) text[size++] = '/';
    segment.copy(text + size, segment.size());
    size += segment.size();
  });
  text[size] = '\0';
  return !escapes && fits;
}

bool isDevicePath(std::string_view devicePath) {
  RelativePath rel;
  return rel.assign(devicePath);
}

bool isFilePath(std::string_view devicePath) {
  RelativePath rel;
  return rel.assign(devicePath) && rel.size > 0;
}

// Appended piece by piece: GCC 12 at -O3 takes "literal" + std::string&& for an overlapping copy
// (-Wrestrict, a false positive).
std::string asideSuffix(int n) {
  std::string suffix = ".unreadable";
  if (n > 1) {
    suffix += '-';
    suffix += std::to_string(n);
  }
  return suffix;
}

FileStore::FolderLock::FolderLock(int folderFd) : fd_(folderFd) {
  if (fd_ >= 0) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

FileStore::FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace orvane::sim
