#include "sim/file_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace orvane::sim {

namespace fs = std::filesystem;

FileStore::FileStore(fs::path root) : root_(std::move(root)) {
  std::error_code ec;
  fs::create_directories(root_, ec);
}

std::optional<fs::path> FileStore::resolve(std::string_view devicePath) const {
  if (devicePath.empty() || devicePath.front() != '/') return std::nullopt;
  if (devicePath.find('\0') != std::string_view::npos) return std::nullopt;
  fs::path out = root_;
  std::size_t pos = 1;
  while (pos <= devicePath.size()) {
    std::size_t end = devicePath.find('/', pos);
    if (end == std::string_view::npos) end = devicePath.size();
    std::string_view segment = devicePath.substr(pos, end - pos);
    if (segment == "..") return std::nullopt;
    if (!segment.empty() && segment != ".") out /= std::string(segment);
    pos = end + 1;
  }
  return out;
}

std::optional<fs::path> FileStore::folderOf(std::string_view devicePath) const {
  auto path = resolve(devicePath);
  if (!path || *path == root_) return std::nullopt;
  return path->parent_path();
}

bool FileStore::exists(std::string_view devicePath) const {
  auto path = resolve(devicePath);
  std::error_code ec;
  return path && fs::exists(*path, ec);
}

std::optional<std::string> FileStore::read(std::string_view devicePath, std::size_t maxBytes) const {
  auto path = resolve(devicePath);
  if (!path) return std::nullopt;
  const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> out;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= maxBytes) {
    std::string bytes;
    char buf[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (n == 0) {
        out = std::move(bytes);
        break;
      }
      if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) break;  // grew while we read
      bytes.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return out;
}

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

bool FileStore::writeAtomically(std::string_view devicePath, std::string_view bytes) {
  auto path = resolve(devicePath);
  if (!path || *path == root_) return false;
  std::error_code ec;
  fs::create_directories(path->parent_path(), ec);
  std::string temp = (path->parent_path() / ("." + path->filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = writeAll(fd, bytes) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temp.c_str(), path->c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool FileStore::remove(std::string_view devicePath) {
  auto path = resolve(devicePath);
  if (!path || *path == root_) return false;
  std::error_code ec;
  return fs::remove(*path, ec);
}

FileStore::FolderLock::FolderLock(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ >= 0) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

FileStore::FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace orvane::sim
